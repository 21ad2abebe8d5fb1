#include "serial/rfc2217/far_line_estimate.h"

#include <algorithm>

namespace tovrel::rfc2217 {
namespace {

constexpr std::uint64_t kBitsPerByte = 10;  // start, eight data bits, stop
constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;

std::uint64_t RateOrDefault(std::uint32_t baud_rate) {
  return baud_rate != 0 ? baud_rate : 9600;
}

}  // namespace

void FarLineEstimate::Account(std::uint32_t bytes, std::uint32_t baud_rate, TimePoint now) {
  if (bytes == 0) {
    return;
  }
  const Duration duration(std::uint64_t{bytes} * kBitsPerByte * kMicrosecondsPerSecond /
                          RateOrDefault(baud_rate));
  if (held_) {
    left_ += duration;
    return;
  }
  busy_until_ = std::max(busy_until_, now) + duration;
}

void FarLineEstimate::SetHeld(bool held, std::uint32_t baud_rate, TimePoint now) {
  if (held == held_) {
    return;
  }
  if (held) {
    const std::uint64_t byte_micros =
        kBitsPerByte * kMicrosecondsPerSecond / RateOrDefault(baud_rate);
    const auto left = static_cast<std::uint64_t>(Left(now).count());
    left_ = Duration(byte_micros == 0 ? left : left - left % byte_micros);
  } else {
    busy_until_ = now + left_;
    left_ = Duration::zero();
  }
  held_ = held;
}

void FarLineEstimate::Discard(TimePoint now) {
  busy_until_ = now;
  left_ = Duration::zero();
}

FarLineEstimate::Duration FarLineEstimate::Left(TimePoint now) const {
  if (held_) {
    return left_;
  }
  if (now >= busy_until_) {
    return Duration::zero();
  }
  return std::chrono::ceil<Duration>(busy_until_ - now);
}

std::uint64_t FarLineEstimate::BytesLeft(std::uint32_t baud_rate, TimePoint now) const {
  const auto micros = static_cast<std::uint64_t>(Left(now).count());
  const std::uint64_t rate = RateOrDefault(baud_rate);
  const std::uint64_t per_byte = kBitsPerByte * kMicrosecondsPerSecond;
  // Split so that neither product can overflow, however long the line is held.
  return micros / per_byte * rate + (micros % per_byte * rate + per_byte - 1) / per_byte;
}

}  // namespace tovrel::rfc2217
