// The outcome of one call below the port classes: success, or failure with the system's error
// number that says why (errno, GetLastError, or for a remote port the connection's errno-style
// number). The one way the platform interface, its backends and the RFC 2217 connection fail;
// the port classes turn it into their program error codes. It must be looked at: a call that is
// best effort by design says so with an explicit (void) and a word of why.
#pragma once

#include <cstdint>

namespace tovrel {

class [[nodiscard]] SysResult {
 public:
  static constexpr SysResult Ok() { return SysResult(true, 0); }
  static constexpr SysResult Failed(std::uint32_t error) { return SysResult(false, error); }

  constexpr explicit operator bool() const { return ok_; }
  // The system's error number of a failure; 0 after a success.
  constexpr std::uint32_t Error() const { return error_; }

 private:
  constexpr SysResult(bool ok, std::uint32_t error) : ok_(ok), error_(error) {}

  bool ok_;
  std::uint32_t error_;
};

}  // namespace tovrel
