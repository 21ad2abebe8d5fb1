// How a port name given becomes the one opened: the Windows device namespace for COM ports, and
// the name of the one listed adapter a usb: name matches.
#include "app/port_names.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "serial/native_serial_api.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {
namespace {

TEST(Win32DevicePath, PrefixesEveryComPortAndNothingElse) {
  EXPECT_EQ(Win32DevicePath("com12"), R"(\\.\com12)");
  for (const char* unchanged : {R"(\\.\COM12)", "COM", "COM1X", "/dev/ttyS0", "rfc2217://h:1"}) {
    EXPECT_EQ(Win32DevicePath(unchanged), unchanged);
  }
}

// The name of the system's own port, opened through the real backend: under wine, .ci/windows.sh
// links a pseudo-terminal as COM5 and the prefix must reach it.
TEST(SystemPortNames, OpenAComPortUnderTheNameTheyGiveIt) {
  const char* name = std::getenv("TOVREL_ECHO_COM_PORT");
  if (name == nullptr) {
    GTEST_SKIP() << "needs TOVREL_ECHO_COM_PORT: a COM port (.ci/windows.sh)";
  }
  std::string opened, reason;
  ASSERT_TRUE(MakeSystemPortNames()->Resolve(name, opened, reason)) << reason;
  EXPECT_EQ(opened, std::string(R"(\\.\)") + name);
  const auto api = MakeNativeSerialApi();
  PortHandle port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(api->OpenPort(opened.c_str(), port)));
  EXPECT_TRUE(Succeeded(api->ClosePort(port)));
}

}  // namespace
}  // namespace tovrel
