#include "rfc2217/native_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tovrel::net::native {
namespace {

// The peer's close, seen even while input is not looked for (Linux); elsewhere only a hang-up of
// both directions is.
constexpr short kPollHangUp =
#if defined(POLLRDHUP)
    POLLRDHUP;
#else
    0;
#endif

// Sends never raise SIGPIPE: Linux says so on each send, the BSDs once on the socket.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

#if defined(SO_NOSIGPIPE)
void SetNoSigPipe(Descriptor socket) {
  int on = 1;
  (void)setsockopt(socket, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);  // then sends say so too
}
#else
void SetNoSigPipe(Descriptor) {}
#endif

}  // namespace

std::uint32_t LastError() {
  return static_cast<std::uint32_t>(errno);
}

bool SetNonBlocking(Descriptor socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

void Close(Descriptor socket) {
  (void)close(socket);  // nothing to be done about a failed close
}

bool ConnectInProgress(std::uint32_t error) {
  return error == EINPROGRESS || error == EINTR;
}

void NoSigPipe(Descriptor socket) {
  SetNoSigPipe(socket);
}

int SendFlags() {
  return kSendFlags;
}

std::uint32_t PendingConnectError(Descriptor socket) {
  int code = 0;
  socklen_t length = sizeof code;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &code, &length) != 0) {
    return LastError();
  }
  return static_cast<std::uint32_t>(code);
}

std::uint32_t ResolveError(int result) {
  return result == EAI_SYSTEM ? LastError() : static_cast<std::uint32_t>(ENOENT);
}

bool Wait(Descriptor socket, bool want_read, bool want_write, std::uint32_t timeout_ms,
          Readiness& ready, std::uint32_t& error) {
  pollfd entry;
  entry.fd = socket;
  entry.events =
      static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0) | kPollHangUp);
  entry.revents = 0;
  const int limit = static_cast<int>(std::min<std::uint32_t>(timeout_ms, INT_MAX));
  const int result = ::poll(&entry, 1, limit);
  if (result < 0) {
    error = LastError();
    return error == EINTR;
  }
  const bool broken = (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  ready.readable = (entry.revents & POLLIN) != 0 || broken;
  ready.writable = (entry.revents & POLLOUT) != 0 || broken;
  ready.hung_up = (entry.revents & (kPollHangUp | POLLHUP)) != 0;
  return true;
}

std::uint32_t StartLibrary() {
  return 0;
}

void StopLibrary() {}

}  // namespace tovrel::net::native
