// A diagnostic record of what the program does on the wire, for when an update fails in the
// field. Injected like the clock: the port classes, the backends and the update write lines to
// it, and the default one takes nothing and costs a test of one flag per call site.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__GNUC__) || defined(__clang__)
#define TOVREL_TRACE_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define TOVREL_TRACE_FORMAT(format_index, first_arg)
#endif

namespace tovrel {

class Trace {
 public:
  virtual ~Trace() = default;

  // False for the trace that records nothing: callers test it before formatting anything dear.
  bool Enabled() const { return enabled_; }
  // One line, printf-style, without a line end. Does nothing when the trace is off.
  void Line(const char* format, ...) TOVREL_TRACE_FORMAT(2, 3);

 protected:
  explicit Trace(bool enabled) : enabled_(enabled) {}
  // Takes one formatted line.
  virtual void Write(const std::string& line) = 0;

 private:
  bool enabled_;
};

// The trace that records nothing.
Trace& NoTrace();

// `count` bytes as hex pairs, then as text between bars with every byte outside printable
// ASCII shown as a dot: "1b 21 65 |.!e|".
std::string HexAndText(const std::uint8_t* bytes, std::size_t count);

}  // namespace tovrel
