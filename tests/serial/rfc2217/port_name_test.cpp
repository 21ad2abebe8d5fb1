// The pure rules of the RFC 2217 client: the port names it takes.
#include <gtest/gtest.h>

#include <string>

#include "serial/rfc2217/port_name.h"
#include "tests/support/case_name.h"

namespace tovrel::rfc2217 {
namespace {

struct NameCase {
  const char* name;
  bool valid;
  const char* host;
  std::uint16_t port;
};

class PortNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(PortNameTest, Parses) {
  RemotePortAddress address;
  const NameCase& c = GetParam();
  ASSERT_EQ(ParseRfc2217PortName(c.name, address), c.valid) << c.name;
  if (c.valid) {
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, PortNameTest,
    ::testing::Values(
        NameCase{"rfc2217://127.0.0.1:2217", true, "127.0.0.1", 2217},
        NameCase{"RFC2217://devsrv-3.lab:7001", true, "devsrv-3.lab", 7001},
        NameCase{"rfc2217://[::1]:65535", true, "::1", 65535},
        NameCase{"rfc2217://h:1", true, "h", 1}, NameCase{"rfc2217://host:0", false, "", 0},
        NameCase{"rfc2217://host:65536", false, "", 0}, NameCase{"rfc2217://host:", false, "", 0},
        NameCase{"rfc2217://host", false, "", 0}, NameCase{"rfc2217://:2217", false, "", 0},
        NameCase{"rfc2217://", false, "", 0}, NameCase{"rfc2217://host:22x", false, "", 0},
        NameCase{"rfc2217://host:+22", false, "", 0},
        NameCase{"rfc2217://host:2217/", false, "", 0},
        NameCase{"rfc2217://host:2217?logging=debug", false, "", 0},
        NameCase{"rfc2217://ho st:2217", false, "", 0},
        NameCase{"rfc2217://a:b:2217", false, "", 0}, NameCase{"rfc2217://[::1]2217", false, "", 0},
        NameCase{"rfc2217://[]:2217", false, "", 0},
        NameCase{"rfc2217://[host]:2217", false, "", 0}, NameCase{"telnet://host:23", false, "", 0},
        NameCase{"COM2", false, "", 0}, NameCase{"", false, "", 0}),
    NameBy([](const NameCase& c) { return std::string(c.name); }));

TEST(PortName, SchemeCheckHandlesShortAndNullNames) {
  EXPECT_FALSE(IsRfc2217PortName(nullptr));
  EXPECT_FALSE(IsRfc2217PortName("rfc"));
  EXPECT_TRUE(IsRfc2217PortName("Rfc2217://x"));
}

}  // namespace
}  // namespace tovrel::rfc2217
