#include "serial/rfc2217/connection_failure_reason.h"

#include <cerrno>
#include <cstring>

namespace tovrel::rfc2217 {

std::string ConnectionFailureReason(std::uint32_t error_number) {
  switch (static_cast<int>(error_number)) {
    case ECONNREFUSED:
      return "connection refused: nothing listens on that port of the host";
    case EHOSTUNREACH:
      return "host unreachable";
    case ENETUNREACH:
      return "network unreachable";
    case ETIMEDOUT:
      return "connection timed out: the server did not answer";
    case ENOENT:
      return "host name not resolved";
    case EINVAL:
      return "not a port name of the form rfc2217://host:port";
    case EPROTONOSUPPORT:
      return "the server does not offer RFC 2217 (COM-PORT-OPTION)";
    case ECONNRESET:
    case EPIPE:
      return "the server closed the connection";
    default:
      return ErrnoText(error_number);
  }
}

std::string ErrnoText(std::uint32_t error_number) {
  // Called once per run on a failure path, never concurrently.
  const char* text = std::strerror(static_cast<int>(error_number));
  return text != nullptr ? std::string(text) : "error " + std::to_string(error_number);
}

}  // namespace tovrel::rfc2217
