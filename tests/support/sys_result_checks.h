// Assertions on a SysResult that show the error number when they fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "core/serial_types.h"
#include "serial/sys_result.h"

namespace tovrel {

inline ::testing::AssertionResult Succeeded(const SysResult& result) {
  if (result) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "failed with error " << result.Error();
}

inline ::testing::AssertionResult FailedWith(const SysResult& result, std::uint32_t error) {
  if (!result && result.Error() == error) {
    return ::testing::AssertionSuccess();
  }
  if (result) {
    return ::testing::AssertionFailure() << "succeeded, expected error " << error;
  }
  return ::testing::AssertionFailure()
         << "failed with error " << result.Error() << ", expected " << error;
}

// The open of `name` fails with `error` and gives no handle.
template <typename Api>
::testing::AssertionResult OpenFailsWith(Api& api, const char* name, std::uint32_t error) {
  // -1, our INVALID_HANDLE_VALUE, spelt out: in a Windows test that name is <windows.h>'s.
  constexpr PortHandle kNoPort = -1;
  PortHandle port = 0;
  const SysResult opened = api.OpenPort(name, port);
  if (port != kNoPort) {
    return ::testing::AssertionFailure() << "the open gave a handle";
  }
  return FailedWith(opened, error);
}

}  // namespace tovrel
