#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace tovrel::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Reads what is there; false once the pipe has reached its end.
bool Drain(int fd, std::string& into) {
  std::array<char, 4096> buffer;
  const ssize_t n = read(fd, buffer.data(), buffer.size());
  if (n > 0) {
    into.append(buffer.data(), static_cast<std::size_t>(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& command, std::chrono::seconds limit) {
  ProcessResult result;
  int out[2];
  int err[2];
  if (pipe(out) != 0) {
    return result;
  }
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  std::vector<char*> argv;
  for (const std::string& word : command) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);

  const auto started = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);

  const auto deadline = started + limit;
  bool out_open = child > 0;
  bool err_open = child > 0;
  while (out_open || err_open) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      kill(child, SIGKILL);
      break;
    }
    const short wanted = POLLIN;
    pollfd fds[2] = {{out[0], out_open ? wanted : short{0}, 0},
                     {err[0], err_open ? wanted : short{0}, 0}};
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
      break;
    }
    if (out_open && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      out_open = Drain(out[0], result.standard_output);
    }
    if (err_open && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      err_open = Drain(err[0], result.standard_error);
    }
  }
  close(out[0]);
  close(err[0]);
  if (child > 0) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
      result.exit_status = WEXITSTATUS(status);
    }
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  return result;
}

}  // namespace tovrel::testing
