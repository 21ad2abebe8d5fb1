#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tovrel::testing {
namespace {

// Appends what `fd` holds; closes it and sets it to -1 at its end.
void ReadAvailable(int& fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR)) {
      continue;
    }
    if (n == 0 || errno != EAGAIN) {
      close(fd);
      fd = -1;
    }
    return;
  }
}

int MillisecondsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Reap(SteadyClock::now() + std::chrono::seconds(5));
  }
  for (int fd : {out_, err_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

bool ChildProcess::Start(const std::vector<std::string>& command, const std::string& output_file) {
  int out[2];
  int err[2];
  if (command.empty() || pipe(out) != 0) {
    return false;
  }
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& word : command) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  const int file = output_file.empty()
                       ? -1
                       : open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  started_ = SteadyClock::now();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(file >= 0 ? file : out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (file >= 0) {
    close(file);
  }
  out_ = out[0];
  err_ = err[0];
  if (!output_file.empty()) {
    close(out_);  // nothing comes this way
    out_ = -1;
  }
  for (int fd : {out_, err_}) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);  // not for the children started after this one
  }
  return pid_ > 0;
}

void ChildProcess::Collect(int wait_ms) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (poll(fds, 2, wait_ms) <= 0) {
    return;
  }
  if (out_ >= 0 && fds[0].revents != 0) {
    ReadAvailable(out_, result_.standard_output);
  }
  if (err_ >= 0 && fds[1].revents != 0) {
    ReadAvailable(err_, result_.standard_error);
  }
}

bool ChildProcess::WaitForOutput(const std::function<bool(const std::string&)>& ready,
                                 std::chrono::milliseconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  for (;;) {
    if (ready(result_.standard_output)) {
      return true;
    }
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || (out_ < 0 && err_ < 0)) {
      return false;
    }
    Collect(left);
  }
}

void ChildProcess::Signal(int signal_number) {
  if (pid_ > 0) {
    kill(pid_, signal_number);
  }
}

bool ChildProcess::Reap(SteadyClock::time_point deadline) {
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      break;
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      return false;
    }
    if (MillisecondsLeft(deadline) == 0) {
      // Out of time: a killed child is reaped at once.
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
      result_.exit_status = -1;
      return false;
    }
    usleep(2000);
  }
  result_.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  return true;
}

ProcessResult ChildProcess::Wait(std::chrono::milliseconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  while ((out_ >= 0 || err_ >= 0) && MillisecondsLeft(deadline) > 0) {
    Collect(MillisecondsLeft(deadline));
  }
  if (pid_ > 0 && !Reap(deadline)) {
    result_.timed_out = true;
  }
  // Whatever was written before the end.
  for (int round = 0; round < 100 && (out_ >= 0 || err_ >= 0); ++round) {
    Collect(10);
  }
  result_.elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started_);
  return result_;
}

ProcessResult RunProcess(const std::vector<std::string>& command, std::chrono::milliseconds limit) {
  ChildProcess child;
  if (!child.Start(command)) {
    return ProcessResult();
  }
  return child.Wait(limit);
}

}  // namespace tovrel::testing
