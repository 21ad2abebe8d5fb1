// How a byte travels on the modelled serial line: the format its sender used and how long it takes.
#pragma once

#include <cstdint>

#include "core/clock.h"
#include "core/serial_types.h"

namespace tovrel {

// What a receiver must share with the sender to understand a byte: the speed, the data bits and
// the parity. Stop bits are left out: a receiver set for one stop bit reads two just as well.
struct LineFormat {
  std::uint32_t baud = 38400;
  std::uint8_t data_bits = 8;
  std::uint8_t parity = NOPARITY;

  friend bool operator==(const LineFormat& a, const LineFormat& b) {
    return a.baud == b.baud && a.data_bits == b.data_bits && a.parity == b.parity;
  }
  friend bool operator!=(const LineFormat& a, const LineFormat& b) { return !(a == b); }
};

// What a receiver makes of a byte sent in a format it is not using. Never NUL (a NUL-discarding
// receiver would hide it) and never ESC (it must not start a command).
inline constexpr std::uint8_t kGarbledByte = 0xFF;

// One byte is 10 bit times (start bit, 8 data bits, stop bit), rounded up to whole microseconds:
// 1042 us at 9600, 261 us at 38400, 87 us at 115200, 44 us at 230400.
constexpr Clock::Micros ByteTimeMicros(std::uint32_t baud) {
  return baud == 0 ? Clock::Micros{10'000'000}
                   : (Clock::Micros{10'000'000} + baud - 1u) / Clock::Micros{baud};
}

}  // namespace tovrel
