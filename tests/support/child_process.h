// A program run as a separate process with its standard output and error captured, for as long
// as a test needs it: started, watched while it runs, signalled, and waited for within a limit.
// A child still running when the object goes is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tovrel::testing {

using SteadyClock = std::chrono::steady_clock;

struct ProcessResult {
  int exit_status = -1;  // -1 when it did not exit normally (killed, or failed to start)
  bool timed_out = false;
  std::string standard_output;
  std::string standard_error;
  std::chrono::milliseconds elapsed{0};
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts command[0] (a path) with the whole command as its arguments. With `output_file` its
  // standard output goes to that file (created or emptied) instead of being captured.
  bool Start(const std::vector<std::string>& command, const std::string& output_file = "");
  // Collects output until `ready` holds for the standard output so far, or the limit passes.
  bool WaitForOutput(const std::function<bool(const std::string&)>& ready,
                     std::chrono::milliseconds limit);
  void Signal(int signal_number);
  // Waits for the exit, killing the child when the limit passes first.
  ProcessResult Wait(std::chrono::milliseconds limit);

  const std::string& Output() const { return result_.standard_output; }
  // The running child's process id; -1 before it started and once it has been waited for.
  pid_t Pid() const { return pid_; }

 private:
  // Reads what the pipes hold, waiting up to `wait_ms` for something to come.
  void Collect(int wait_ms);
  // Waits for the exit until `deadline`, then kills; true when it exited by itself.
  bool Reap(SteadyClock::time_point deadline);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  SteadyClock::time_point started_;
  ProcessResult result_;
};

// Runs a program to its end.
ProcessResult RunProcess(const std::vector<std::string>& command, std::chrono::milliseconds limit);

}  // namespace tovrel::testing
