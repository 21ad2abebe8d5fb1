#include "app/terminal_text.h"

#include <cstddef>
#include <cstdint>

namespace tovrel {
namespace {

// The length of the well-formed multi-byte UTF-8 sequence at `text[at]`, with the code point it
// stands for, or 0.
std::size_t MultiByteSequenceAt(std::string_view text, std::size_t at, std::uint32_t& code) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t length = 0;
  code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<std::uint8_t>(text[at + i]);
    if ((next & 0xC0u) != 0x80u) {
      return 0;
    }
    code = (code << 6) | (next & 0x3Fu);
  }
  // Overlong forms, surrogates, beyond U+10FFFF.
  const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (code < smallest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
    return 0;
  }
  return length;
}

// The length of the well-formed UTF-8 sequence at `text[at]` that is not a C1 control, or 0.
std::size_t PrintableSequenceAt(std::string_view text, std::size_t at) {
  std::uint32_t code = 0;
  const std::size_t length = MultiByteSequenceAt(text, at, code);
  return code >= 0x80 && code <= 0x9F ? 0 : length;
}

void AppendEscaped(std::string& out, std::uint8_t byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

}  // namespace

std::string TextForConsole(std::string_view raw, bool terminal) {
  if (!terminal) {
    return std::string(raw);
  }
  std::string shown;
  shown.reserve(raw.size());
  for (std::size_t at = 0; at < raw.size();) {
    const auto byte = static_cast<std::uint8_t>(raw[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += raw[at++];
      continue;
    }
    const std::size_t sequence = byte >= 0x80 ? PrintableSequenceAt(raw, at) : 0;
    if (sequence > 0) {
      shown.append(raw, at, sequence);
      at += sequence;
      continue;
    }
    AppendEscaped(shown, byte);
    ++at;
  }
  return shown;
}

std::string QuotedValue(std::string_view value) {
  constexpr std::size_t kLongestShown = 80;
  const bool cut = value.size() > kLongestShown;
  return "\"" + TextForConsole(value.substr(0, kLongestShown), true) + (cut ? "...\"" : "\"");
}

bool IsWellFormedUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length =
        static_cast<std::uint8_t>(text[at]) < 0x80 ? 1 : MultiByteSequenceAt(text, at, code);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

}  // namespace tovrel
