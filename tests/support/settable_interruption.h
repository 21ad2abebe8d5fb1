// A stop request raised from another thread, as a signal or console handler raises one.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "serial/interruption.h"

namespace tovrel::testing {

class SettableInterruption final : public Interruption {
 public:
  ~SettableInterruption() override {
    if (raiser_.joinable()) {
      raiser_.join();
    }
  }
  void Raise() { raised_ = true; }
  // Raises the request `delay_ms` from now, on a thread of its own.
  void RaiseAfter(int delay_ms) {
    raiser_ = std::thread([this, delay_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      Raise();
    });
  }
  bool Requested() override { return raised_; }

 private:
  std::atomic<bool> raised_{false};
  std::thread raiser_;
};

}  // namespace tovrel::testing
