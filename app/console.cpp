#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace tovrel {

StandardOutputSink::StandardOutputSink() {
  PrepareStandardOutput();
}

void StandardOutputSink::Write(const char* bytes, std::size_t count) {
  if (count != 0) {
    std::fwrite(bytes, 1, count, stdout);
  }
}

void StandardOutputSink::Flush() {
  std::fflush(stdout);
}

void StandardErrorSink::Write(const char* bytes, std::size_t count) {
  if (count != 0) {
    std::fwrite(bytes, 1, count, stderr);
  }
}

void StandardErrorSink::Flush() {
  std::fflush(stderr);
}

namespace {
class DiscardingSink final : public OutputSink {
 public:
  void Write(const char* /*bytes*/, std::size_t /*count*/) override {}
};
}  // namespace

OutputSink& DiscardedOutput() {
  static DiscardingSink sink;
  return sink;
}

Console::Console(OutputSink& output, bool write_through)
    : sink(output), writeThrough(write_through) {}

Console::~Console() {
  Flush();
}

void Console::Print(const char* format, ...) {
  if (format == nullptr) {
    return;
  }
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    // One byte more for the terminating zero vsnprintf always writes.
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    const int written = std::vsnprintf(text.data(), text.size(), format, args);
    if (written == length) {
      Emit(std::string_view(text.data(), static_cast<std::size_t>(length)));
    }
  }
  va_end(args);
}

void Console::Flush() {
  if (!pending.empty()) {
    sink.Write(pending.data(), pending.size());
    pending.clear();
  }
  sink.Flush();
}

void Console::Emit(std::string_view text) {
  const std::string translated = WithPlatformLineEnds(text);
  if (writeThrough) {
    sink.Write(translated.data(), translated.size());
    sink.Flush();
    return;
  }
  pending += translated;
  // Every line end in the text goes out now; the platform's line end ends in '\n' everywhere.
  const std::size_t last_line_end = pending.rfind('\n');
  if (last_line_end != std::string::npos) {
    sink.Write(pending.data(), last_line_end + 1);
    pending.erase(0, last_line_end + 1);
    sink.Flush();
  }
}

std::string WithPlatformLineEnds(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (c == '\n') {
      result += kLineEnd;
    } else {
      result += c;
    }
  }
  return result;
}

}  // namespace tovrel
