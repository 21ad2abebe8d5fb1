#include "pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tovrel::posix_serial {

PseudoTerminal::PseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    error_ = std::string("pseudo-terminal: ") + std::strerror(errno);
    return;
  }
  char path[128] = {};
  if (::ptsname_r(master_, path, sizeof path) != 0) {
    error_ = std::string("ptsname: ") + std::strerror(errno);
    return;
  }
  slave_path_ = path;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  observer_ = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (observer_ < 0) {
    error_ = std::string("open slave: ") + std::strerror(errno);
  }
}

PseudoTerminal::~PseudoTerminal() {
  if (observer_ >= 0) {
    ::close(observer_);
  }
  CloseMaster();
}

bool PseudoTerminal::Send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    pollfd wait{master_, POLLOUT, 0};
    ::poll(&wait, 1, 10);
  }
  return true;
}

bool PseudoTerminal::Send(const std::string& bytes) {
  return Send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> PseudoTerminal::Receive(std::size_t count, int timeout_ms) {
  std::vector<std::uint8_t> received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint8_t chunk[4096];
  while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
    const std::size_t want = std::min(sizeof chunk, count - received.size());
    const ssize_t n = ::read(master_, chunk, want);
    if (n > 0) {
      received.insert(received.end(), chunk, chunk + n);
      continue;
    }
    pollfd wait{master_, POLLIN, 0};
    ::poll(&wait, 1, 10);
  }
  return received;
}

bool PseudoTerminal::WaitForInputAtPort(int timeout_ms) {
  pollfd wait{observer_, POLLIN, 0};
  return ::poll(&wait, 1, timeout_ms) == 1 && (wait.revents & POLLIN) != 0;
}

termios PseudoTerminal::PortSettings() const {
  termios settings{};
  ::tcgetattr(observer_, &settings);
  return settings;
}

void PseudoTerminal::CloseMaster() {
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
  }
}

}  // namespace tovrel::posix_serial
