// How long a backend that emulates the Win32 time-outs may wait in a read, a write and a drain,
// worked out from the Win32-shaped time-outs. Pure arithmetic, so the rules are checked without
// a port, a socket or a clock. Used by the POSIX and the RFC 2217 backends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/serial_types.h"

namespace tovrel {

// The all-ones value that gives some COMMTIMEOUTS members a special meaning.
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// Where the Win32 time-outs would wait without any limit (a read with all time-outs 0, a read
// with only an interval time-out while no byte has come, a write with both write time-outs 0),
// the wait ends after this long instead, and the call returns short as after any time-out.
// Five minutes: far above the longest wait the program itself sets up (200 ms per byte plus
// 10 s for a 256-byte write, about 61 s), yet nothing can hang.
inline constexpr std::uint64_t kDefaultUnlimitedWaitCapMs = 300000;

// Shortest time a drain is given, on top of twice the line time of the queued bytes.
inline constexpr std::uint64_t kMinimumDrainMs = 100;

enum class ReadMode {
  kReturnAtOnce,    // interval all ones, both totals 0: hand over what has arrived, never wait
  kUntilFirstByte,  // interval and multiplier all ones, constant between: wait for any byte
  kUntilCount,      // wait for every byte, within the total and interval limits
};

struct ReadPlan {
  ReadMode mode = ReadMode::kUntilCount;
  // Limit on the whole read, counted from its start; unused with kReturnAtOnce.
  std::uint64_t total_ms = 0;
  // Longest gap allowed between two bytes once the first has come; 0 for no such limit.
  std::uint64_t interval_ms = 0;
};

ReadPlan PlanRead(const COMMTIMEOUTS& timeouts, std::uint32_t count, std::uint64_t cap_ms);

// Limit on one write of `count` bytes: multiplier × count + constant, or `cap_ms` when both are 0.
std::uint64_t WriteLimitMs(const COMMTIMEOUTS& timeouts, std::uint64_t count, std::uint64_t cap_ms);

// Limit on waiting for `queued` output bytes to leave: the write limit for that many bytes, but
// never less than twice their line time at `baud_rate` (10 bit times a byte) plus
// kMinimumDrainMs, so that short write time-outs cannot cut off a drain that is progressing.
std::uint64_t DrainLimitMs(const COMMTIMEOUTS& timeouts, std::uint64_t queued,
                           std::uint32_t baud_rate, std::uint64_t cap_ms);

// Removes the NUL bytes from `bytes` in place, keeping the order of the rest. Returns how many
// bytes remain at the front.
std::size_t DropNulBytes(std::uint8_t* bytes, std::size_t length);

}  // namespace tovrel
