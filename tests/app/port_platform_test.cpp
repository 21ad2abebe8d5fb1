// Which platform a port name selects, for the names the program understands itself.
#include "app/port_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>

#include "core/clock.h"
#include "tests/support/case_name.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {
namespace {

struct NameCase {
  const char* name;
  const char* port_name;
  bool opens;
};

using tovrel::case_printing::operator<<;

class EmulatedPortName : public ::testing::TestWithParam<NameCase> {};

TEST_P(EmulatedPortName, OpensOnlyWhenItIsThePlainPrefix) {
  VirtualClock clock;
  PortPlatform platform = SelectPortPlatform(GetParam().port_name, 38400, clock);
  ASSERT_NE(platform.device, nullptr);
  PortHandle port = INVALID_HANDLE_VALUE;
  EXPECT_EQ(static_cast<bool>(platform.api->OpenPort(GetParam().port_name, port)),
            GetParam().opens);
  EXPECT_EQ(port != INVALID_HANDLE_VALUE, GetParam().opens);
}

INSTANTIATE_TEST_SUITE_P(Names, EmulatedPortName,
                         ::testing::Values(NameCase{"Plain", "sim://", true},
                                           NameCase{"Word", "sim://bogus", false},
                                           NameCase{"Slash", "sim:///", false},
                                           NameCase{"Blank", "sim:// ", false}),
                         CaseName());

// The scheme of a network port is read in any case, by the platform choice as by the parser: an
// upper-case name reaches the server (here, a port nobody listens on), not the device files.
TEST(NetworkPortName, SchemeInUpperCaseSelectsTheNetwork) {
  VirtualClock clock;
  PortPlatform platform = SelectPortPlatform("RFC2217://127.0.0.1:1", 38400, clock);
  EXPECT_EQ(platform.device, nullptr);
  EXPECT_TRUE(OpenFailsWith(*platform.api, "RFC2217://127.0.0.1:1",
                            static_cast<std::uint32_t>(ECONNREFUSED)));
}

}  // namespace
}  // namespace tovrel
