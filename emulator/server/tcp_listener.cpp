#include "emulator/server/tcp_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tovrel::server {
namespace {

constexpr int kBacklog = 8;

struct AddressListDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::uint16_t PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    sockaddr_in6 v6;
    std::memcpy(&v6, &address, sizeof v6);
    return ntohs(v6.sin6_port);
  }
  sockaddr_in v4;
  std::memcpy(&v4, &address, sizeof v4);
  return ntohs(v4.sin_port);
}

// Binds and listens on one resolved address; 0 or the errno number of the step that failed.
std::uint32_t ListenOn(const addrinfo& address, net::Socket& listener) {
  listener = net::Socket(::socket(address.ai_family, address.ai_socktype, address.ai_protocol));
  if (!listener.IsOpen()) {
    return static_cast<std::uint32_t>(errno);
  }
  const int fd = static_cast<int>(listener.Get());
  // A restarted server can take its port back while old connections linger in TIME_WAIT.
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (::bind(fd, address.ai_addr, address.ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
    const auto error = static_cast<std::uint32_t>(errno);
    listener.Close();
    return error;
  }
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    const auto error = static_cast<std::uint32_t>(errno);
    listener.Close();
    return error;
  }
  return 0;
}

}  // namespace

net::Socket ListenTcp(const std::string& host, std::uint16_t port, std::uint16_t& bound_port,
                      std::uint32_t& error) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = ENOENT;
    return net::Socket();
  }
  const std::unique_ptr<addrinfo, AddressListDeleter> list(found);
  error = 0;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    net::Socket listener;
    const std::uint32_t failed = ListenOn(*address, listener);
    if (failed != 0) {
      if (error == 0) {
        error = failed;  // the first address's reason is the one worth telling
      }
      continue;
    }
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (getsockname(static_cast<int>(listener.Get()), reinterpret_cast<sockaddr*>(&local),
                    &length) != 0) {
      error = static_cast<std::uint32_t>(errno);
      return net::Socket();
    }
    bound_port = PortOf(local);
    error = 0;
    return listener;
  }
  return net::Socket();
}

std::string PeerName(const net::Socket& connection) {
  sockaddr_storage peer;
  socklen_t length = sizeof peer;
  if (getpeername(static_cast<int>(connection.Get()), reinterpret_cast<sockaddr*>(&peer),
                  &length) != 0) {
    return "unknown";
  }
  char text[INET6_ADDRSTRLEN] = {};
  const char* written = nullptr;
  if (peer.ss_family == AF_INET6) {
    sockaddr_in6 v6;
    std::memcpy(&v6, &peer, sizeof v6);
    written = inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
  } else {
    sockaddr_in v4;
    std::memcpy(&v4, &peer, sizeof v4);
    written = inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  }
  if (written == nullptr) {
    return "unknown";
  }
  return JoinHostPort(text, PortOf(peer));
}

std::string JoinHostPort(const std::string& host, std::uint16_t port) {
  const bool bracket = host.find(':') != std::string::npos;
  return (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace tovrel::server
