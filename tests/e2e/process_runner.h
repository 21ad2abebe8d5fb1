// Runs a program to completion with its standard output and standard error captured, killing it
// if it outlives a deadline.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tovrel::testing {

struct ProcessResult {
  int exit_status = -1;  // -1 when it did not exit normally (killed, or failed to start)
  bool timed_out = false;
  std::string standard_output;
  std::string standard_error;
  std::chrono::milliseconds elapsed{0};
};

ProcessResult RunProcess(const std::vector<std::string>& command, std::chrono::seconds limit);

}  // namespace tovrel::testing
