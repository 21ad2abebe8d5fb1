#include "serial/trace.h"

#include <cstdarg>
#include <cstdio>

namespace tovrel {
namespace {

class NullTrace final : public Trace {
 public:
  NullTrace() : Trace(false) {}

 protected:
  void Write(const std::string& /*line*/) override {}
};

}  // namespace

void Trace::Line(const char* format, ...) {
  if (!enabled_ || format == nullptr) {
    return;
  }
  char small[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof small) {
    va_end(again);
    Write(std::string(small, static_cast<std::size_t>(length)));
    return;
  }
  std::string line(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(&line[0], line.size(), format, again);
  va_end(again);
  line.resize(static_cast<std::size_t>(length));
  Write(line);
}

Trace& NoTrace() {
  static NullTrace none;
  return none;
}

std::string HexAndText(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 4 + 2);
  for (std::size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
    out += ' ';
  }
  out += '|';
  for (std::size_t i = 0; i < count; ++i) {
    out += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
  }
  out += '|';
  return out;
}

}  // namespace tovrel
