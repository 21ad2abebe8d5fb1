#include "app/wire_trace.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tovrel {
namespace {

// A file of our own, closed with the trace. Each line is flushed: one system call a line is
// nothing beside the serial line's own pace.
class TraceFileSink final : public OutputSink {
 public:
  explicit TraceFileSink(std::FILE* file) : file_(file) {}
  ~TraceFileSink() override { std::fclose(file_); }
  void Write(const char* bytes, std::size_t count) override { std::fwrite(bytes, 1, count, file_); }
  void Flush() override { std::fflush(file_); }

 private:
  std::FILE* file_;
};

}  // namespace

ClockedTrace::ClockedTrace(Clock& clock, OutputSink& sink)
    : Trace(true), clock_(clock), sink_(sink), start_(clock.Now()) {}

void ClockedTrace::Write(const std::string& line) {
  const Clock::Micros since = clock_.Now() - start_;
  char stamp[32];
  const int length = std::snprintf(stamp, sizeof stamp, "%7" PRIu64 ".%03" PRIu64 " ms  ",
                                   static_cast<std::uint64_t>(since / 1000),
                                   static_cast<std::uint64_t>(since % 1000));
  std::string text(stamp, length > 0 ? static_cast<std::size_t>(length) : 0u);
  text += line;
  text += '\n';
  sink_.Write(text.data(), text.size());
  sink_.Flush();
}

WireTrace::WireTrace(const char* destination, Clock& clock, OutputSink& diagnostics) {
  if (destination == nullptr || destination[0] == '\0') {
    return;
  }
  if (std::strcmp(destination, "-") == 0) {
    trace_ = std::make_unique<ClockedTrace>(clock, diagnostics);
    return;
  }
  // Text mode: a line feed is the platform's line end in the file.
  std::FILE* file = std::fopen(destination, "w");
  if (file == nullptr) {
    const std::string line = std::string("tovrel: cannot write the trace to \"") + destination +
                             "\": " + std::strerror(errno) + "\n";
    diagnostics.Write(line.data(), line.size());
    diagnostics.Flush();
    return;
  }
  file_ = std::make_unique<TraceFileSink>(file);
  trace_ = std::make_unique<ClockedTrace>(clock, *file_);
}

WireTrace::~WireTrace() {
  // The trace refers to the file: it goes first.
  trace_.reset();
  file_.reset();
}

}  // namespace tovrel
