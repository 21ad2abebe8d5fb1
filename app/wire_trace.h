// The wire trace the environment asks for: TOVREL_TRACE names a file, or "-" for standard error.
// Each line is stamped with the time since the trace began, in milliseconds to the microsecond,
// and reaches its destination whole as soon as it is written, so that a process killed outright
// leaves everything traced up to its last line.
#pragma once

#include <memory>
#include <string>

#include "app/console.h"
#include "core/clock.h"
#include "serial/trace.h"

namespace tovrel {

inline constexpr char kTraceVariable[] = "TOVREL_TRACE";

// Lines stamped by `clock`, each handed to `sink` with its line end and flushed.
class ClockedTrace final : public Trace {
 public:
  ClockedTrace(Clock& clock, OutputSink& sink);

 protected:
  void Write(const std::string& line) override;

 private:
  Clock& clock_;
  OutputSink& sink_;
  Clock::Micros start_;
};

// The trace of one run and what it writes to.
class WireTrace {
 public:
  // `destination` is the variable's value: null or empty for no trace, "-" for standard error,
  // anything else a file, created or emptied. A file that cannot be opened is reported on
  // `diagnostics` in one line, and the run goes on without a trace.
  WireTrace(const char* destination, Clock& clock, OutputSink& diagnostics);
  ~WireTrace();
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;

  Trace& Get() { return trace_ ? *trace_ : NoTrace(); }

 private:
  std::unique_ptr<OutputSink> file_;
  std::unique_ptr<Trace> trace_;
};

}  // namespace tovrel
