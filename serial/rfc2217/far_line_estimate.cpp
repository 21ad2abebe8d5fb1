#include "serial/rfc2217/far_line_estimate.h"

#include <algorithm>

namespace tovrel::rfc2217 {
namespace {

constexpr std::uint64_t kBitsPerByte = 10;  // start, eight data bits, stop
constexpr std::uint64_t kMicrosPerSecond = 1'000'000;
constexpr std::uint64_t kBitMicros = kBitsPerByte * kMicrosPerSecond;  // a byte at one baud

std::uint64_t RateOrDefault(std::uint32_t baud_rate) {
  return baud_rate != 0 ? baud_rate : 9600;
}

}  // namespace

void FarLineEstimate::Account(std::uint32_t bytes, std::uint32_t baud_rate, Micros now) {
  if (bytes == 0) {
    return;
  }
  const Micros duration = std::uint64_t{bytes} * kBitMicros / RateOrDefault(baud_rate);
  if (held_) {
    left_ += duration;
    return;
  }
  busy_until_ = std::max(busy_until_, now) + duration;
}

void FarLineEstimate::SetHeld(bool held, std::uint32_t baud_rate, Micros now) {
  if (held == held_) {
    return;
  }
  if (held) {
    // A byte starts the moment it is accounted, so of the bytes left the first is under way.
    const std::uint64_t waiting = BytesLeft(baud_rate, now);
    left_ = waiting <= 1 ? 0 : (waiting - 1) * kBitMicros / RateOrDefault(baud_rate);
  } else {
    busy_until_ = now + left_;
    left_ = 0;
  }
  held_ = held;
}

void FarLineEstimate::Discard(Micros now) {
  busy_until_ = now;
  left_ = 0;
}

FarLineEstimate::Micros FarLineEstimate::Left(Micros now) const {
  if (held_) {
    return left_;
  }
  return now >= busy_until_ ? 0 : busy_until_ - now;
}

std::uint64_t FarLineEstimate::BytesLeft(std::uint32_t baud_rate, Micros now) const {
  const Micros micros = Left(now);
  const std::uint64_t rate = RateOrDefault(baud_rate);
  // Split so that neither product can overflow, however long the line is held.
  return micros / kBitMicros * rate + (micros % kBitMicros * rate + kBitMicros - 1) / kBitMicros;
}

}  // namespace tovrel::rfc2217
