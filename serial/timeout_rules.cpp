#include "serial/timeout_rules.h"

#include <algorithm>

namespace tovrel {
namespace {

// Multiplier × count + constant, in 64 bits so that no product of two 32-bit values wraps.
std::uint64_t TotalMs(std::uint32_t multiplier, std::uint32_t constant, std::uint64_t count) {
  return std::uint64_t{multiplier} * count + constant;
}

}  // namespace

ReadPlan PlanRead(const COMMTIMEOUTS& timeouts, std::uint32_t count, std::uint64_t cap_ms) {
  const std::uint32_t interval = timeouts.ReadIntervalTimeout;
  const std::uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const std::uint32_t constant = timeouts.ReadTotalTimeoutConstant;
  ReadPlan plan;
  if (interval == kMaxDword && multiplier == 0 && constant == 0) {
    plan.mode = ReadMode::kReturnAtOnce;
    return plan;
  }
  if (interval == kMaxDword && multiplier == kMaxDword && constant != 0 && constant != kMaxDword) {
    plan.mode = ReadMode::kUntilFirstByte;
    plan.total_ms = constant;
    return plan;
  }
  plan.mode = ReadMode::kUntilCount;
  plan.total_ms =
      (multiplier == 0 && constant == 0) ? cap_ms : TotalMs(multiplier, constant, count);
  // An all-ones interval outside the two special cases is an interval of about 49 days:
  // no practical limit.
  plan.interval_ms = (interval == kMaxDword) ? 0 : interval;
  return plan;
}

std::uint64_t WriteLimitMs(const COMMTIMEOUTS& timeouts, std::uint64_t count,
                           std::uint64_t cap_ms) {
  const std::uint32_t multiplier = timeouts.WriteTotalTimeoutMultiplier;
  const std::uint32_t constant = timeouts.WriteTotalTimeoutConstant;
  if (multiplier == 0 && constant == 0) {
    return cap_ms;
  }
  return TotalMs(multiplier, constant, count);
}

std::uint64_t DrainLimitMs(const COMMTIMEOUTS& timeouts, std::uint64_t queued,
                           std::uint32_t baud_rate, std::uint64_t cap_ms) {
  const std::uint32_t multiplier = timeouts.WriteTotalTimeoutMultiplier;
  const std::uint32_t constant = timeouts.WriteTotalTimeoutConstant;
  const std::uint64_t from_timeouts =
      (multiplier == 0 && constant == 0) ? cap_ms : TotalMs(multiplier, constant, queued);
  // A rate of 0 (unknown speed) is taken as the slowest rate a port offers.
  const std::uint64_t rate = std::max<std::uint64_t>(baud_rate, 50);
  const std::uint64_t line_ms = (queued * 10u * 1000u + rate - 1) / rate;
  return std::max(from_timeouts, 2 * line_ms + kMinimumDrainMs);
}

std::size_t DropNulBytes(std::uint8_t* bytes, std::size_t length) {
  std::uint8_t* const end = std::remove(bytes, bytes + length, std::uint8_t{0});
  return static_cast<std::size_t>(end - bytes);
}

}  // namespace tovrel
