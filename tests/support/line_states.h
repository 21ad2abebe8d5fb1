// The line states and time-outs the serial tests build again and again, and their members
// gathered for comparing.
#pragma once

#include <array>
#include <cstdint>

#include "core/serial_types.h"

namespace tovrel {

// The device port's flag word: CTS output flow, received NULs dropped, RTS handshake, DTR off.
inline constexpr std::uint32_t kDeviceFlags = 0x2804;

// 8 data bits, no parity, one stop bit at `baud_rate`, with `flags` and the usual XON/XOFF
// characters.
inline DCB LineState8N1(std::uint32_t baud_rate, std::uint32_t flags = 0) {
  DCB state;
  state.BaudRate = baud_rate;
  state.flags = flags;
  state.ByteSize = 8;
  state.Parity = NOPARITY;
  state.StopBits = ONESTOPBIT;
  state.XonChar = 0x11;
  state.XoffChar = 0x13;
  return state;
}

// `baud_rate`, `byte_size`, `parity`, `stop_bits` and `flags`; the other members as they start.
inline DCB Frame(std::uint32_t baud_rate, std::uint8_t byte_size, std::uint8_t parity,
                 std::uint8_t stop_bits, std::uint32_t flags) {
  DCB state;
  state.BaudRate = baud_rate;
  state.ByteSize = byte_size;
  state.Parity = parity;
  state.StopBits = stop_bits;
  state.flags = flags;
  return state;
}

// The line state the device port sets.
inline DCB DeviceLineState(std::uint32_t baud_rate) {
  return LineState8N1(baud_rate, kDeviceFlags);
}

inline COMMTIMEOUTS WriteTimeouts(std::uint32_t multiplier, std::uint32_t constant) {
  COMMTIMEOUTS timeouts;
  timeouts.WriteTotalTimeoutMultiplier = multiplier;
  timeouts.WriteTotalTimeoutConstant = constant;
  return timeouts;
}

// The read members as given, the write members from `writes`.
inline COMMTIMEOUTS ReadTimeouts(std::uint32_t interval, std::uint32_t multiplier,
                                 std::uint32_t constant, COMMTIMEOUTS writes = COMMTIMEOUTS{}) {
  writes.ReadIntervalTimeout = interval;
  writes.ReadTotalTimeoutMultiplier = multiplier;
  writes.ReadTotalTimeoutConstant = constant;
  return writes;
}

// The time-outs of `timeouts`, ours or the platform's structure, in their order there: for
// comparing them all at once.
template <typename Timeouts>
std::array<std::uint32_t, 5> TimeoutsOf(const Timeouts& timeouts) {
  return {timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
          timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
          timeouts.WriteTotalTimeoutConstant};
}

// The members of `state` that Frame sets, in its order: speed, frame and flag word.
inline std::array<std::uint32_t, 5> FrameOf(const DCB& state) {
  return {state.BaudRate, state.ByteSize, state.Parity, state.StopBits, state.flags};
}

}  // namespace tovrel
