#include "serial/rfc2217/port_name.h"

#include <cctype>
#include <cstring>

#include "core/ascii_case.h"
#include "core/whole_number.h"

namespace tovrel::rfc2217 {
namespace {

constexpr char kScheme[] = "rfc2217://";
constexpr std::size_t kSchemeLength = sizeof kScheme - 1;
// The longest host name DNS allows.
constexpr std::size_t kMaxHostLength = 253;

bool IsHostCharacter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) != 0 || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Character(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isxdigit(u) != 0 || c == ':' || c == '.';
}

}  // namespace

bool IsRfc2217PortName(const char* name) {
  return StartsWithIgnoringCase(name, kScheme);
}

bool ParseRfc2217PortName(const char* name, RemotePortAddress& address) {
  if (!IsRfc2217PortName(name)) {
    return false;
  }
  const std::string rest(name + kSchemeLength);
  std::string host;
  std::string port_text;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return false;
    }
    host = rest.substr(1, close - 1);
    port_text = rest.substr(close + 2);
    if (host.find(':') == std::string::npos) {
      return false;
    }
    for (char c : host) {
      if (!IsIpv6Character(c)) {
        return false;
      }
    }
  } else {
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos) {
      return false;
    }
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
    for (char c : host) {
      if (!IsHostCharacter(c)) {
        return false;
      }
    }
  }
  if (host.empty() || host.size() > kMaxHostLength) {
    return false;
  }
  std::uint64_t port = 0;
  if (!ReadWholeNumber(port_text, 1, 65535, port)) {
    return false;
  }
  address.host = host;
  address.port = static_cast<std::uint16_t>(port);
  return true;
}

}  // namespace tovrel::rfc2217
