#include "serial/interruption.h"

#include <algorithm>

namespace tovrel {
namespace {

class Uninterrupted final : public Interruption {
 public:
  bool Requested() override { return false; }
};

}  // namespace

Interruption& NoInterruption() {
  static Uninterrupted never;
  return never;
}

bool SleepUnlessInterrupted(Clock& clock, Interruption& stop, std::uint32_t milliseconds) {
  std::uint32_t left = milliseconds;
  while (!stop.Requested()) {
    if (left == 0) {
      return true;
    }
    const std::uint32_t step = std::min(left, kInterruptionLookMs);
    clock.Sleep(step);
    left -= step;
  }
  return false;
}

}  // namespace tovrel
