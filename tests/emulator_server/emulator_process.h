// The real tovrel-emulator program, started on a free loopback port for one test.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tovrel::testing {

class EmulatorProcess {
 public:
  // Starts it with --listen 127.0.0.1:0 and `options`, and reads the port from its banner.
  explicit EmulatorProcess(const std::vector<std::string>& options);

  // 0 when it did not start listening within five seconds.
  std::uint16_t Port() const { return port_; }
  std::string PortName() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  ChildProcess& Process() { return process_; }
  // Waits until its log holds `text`.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds limit);

 private:
  ChildProcess process_;
  std::uint16_t port_ = 0;
};

}  // namespace tovrel::testing
