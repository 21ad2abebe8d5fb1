#include "app/decimal.h"

#include <limits>

namespace tovrel {
namespace {

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// Two's complement reading of the 32 accumulated bits, written out so that it does not depend on
// how the compiler converts an out-of-range unsigned value.
std::int32_t ToSigned(std::uint32_t bits) {
  constexpr std::uint32_t kSignBit = 0x80000000u;
  if (bits < kSignBit) {
    return static_cast<std::int32_t>(bits);
  }
  return static_cast<std::int32_t>(bits - kSignBit) + std::numeric_limits<std::int32_t>::min();
}

// `at(i)` yields byte i, `has(i)` whether byte i exists. Both callers share this one reading.
template <typename HasByte, typename ByteAt>
std::int32_t Read(HasByte has, ByteAt at) {
  std::size_t i = 0;
  while (has(i) && IsBlank(at(i))) {
    ++i;
  }
  bool negative = false;
  if (has(i) && (at(i) == '+' || at(i) == '-')) {
    negative = at(i) == '-';
    ++i;
  }
  std::uint32_t value = 0;
  while (has(i) && IsDigit(at(i))) {
    // Unsigned arithmetic: wrapping past 2^32 is defined and is exactly the wanted behaviour.
    value = value * 10u + static_cast<std::uint32_t>(at(i) - '0');
    ++i;
  }
  if (negative) {
    value = 0u - value;
  }
  return ToSigned(value);
}

}  // namespace

std::int32_t ParseDecimal(const char* text) {
  if (text == nullptr) {
    return 0;
  }
  // The terminating zero is neither blank, sign nor digit, so it ends every loop in Read; no byte
  // past it is ever examined.
  return Read([text](std::size_t i) { return text[i] != '\0'; },
              [text](std::size_t i) { return static_cast<unsigned char>(text[i]); });
}

std::int32_t ParseDecimal(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr) {
    return 0;
  }
  return Read([length](std::size_t i) { return i < length; },
              [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); });
}

}  // namespace tovrel
