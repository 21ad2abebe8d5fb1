// The passage of time, injected wherever the program pauses, polls or waits, so that tests run
// on a virtual clock and never really sleep.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace tovrel {

class Clock {
 public:
  using Micros = std::uint64_t;

  virtual ~Clock() = default;

  // Monotonic time since an arbitrary origin.
  virtual Micros Now() = 0;
  // Lets the given time pass.
  virtual void SleepFor(Micros duration) = 0;

  void Sleep(std::uint32_t milliseconds) { SleepFor(Micros{milliseconds} * 1000u); }
};

// The real, monotonic clock.
class SystemClock final : public Clock {
 public:
  Micros Now() override {
    auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<Micros>(
        std::chrono::duration_cast<std::chrono::microseconds>(since_origin).count());
  }
  void SleepFor(Micros duration) override {
    std::this_thread::sleep_for(std::chrono::microseconds(duration));
  }
};

// A clock that only moves when told to: a sleep advances it at once. Single-threaded use.
class VirtualClock final : public Clock {
 public:
  Micros Now() override { return now_; }
  void SleepFor(Micros duration) override {
    now_ += duration;
    slept_ += duration;
  }

  // Total time slept through this clock, for tests that check pauses.
  Micros TotalSlept() const { return slept_; }
  void Advance(Micros duration) { now_ += duration; }

 private:
  Micros now_ = 0;
  Micros slept_ = 0;
};

}  // namespace tovrel
