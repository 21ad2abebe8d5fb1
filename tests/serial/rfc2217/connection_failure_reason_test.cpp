// The reason line for each way a remote port does not open.
#include "serial/rfc2217/connection_failure_reason.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/support/case_name.h"

namespace tovrel::rfc2217 {
namespace {

struct ReasonCase {
  const char* name;
  int error_number;
  std::string reason;
};

class ConnectionReason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(ConnectionReason, SaysWhy) {
  EXPECT_EQ(ConnectionFailureReason(static_cast<std::uint32_t>(GetParam().error_number)),
            GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ConnectionReason,
    ::testing::Values(
        ReasonCase{"Refused", ECONNREFUSED,
                   "connection refused: nothing listens on that port of the host"},
        ReasonCase{"HostUnreachable", EHOSTUNREACH, "host unreachable"},
        ReasonCase{"NetworkUnreachable", ENETUNREACH, "network unreachable"},
        ReasonCase{"TimedOut", ETIMEDOUT, "connection timed out: the server did not answer"},
        ReasonCase{"NotResolved", ENOENT, "host name not resolved"},
        ReasonCase{"BadName", EINVAL, "not a port name of the form rfc2217://host:port"},
        ReasonCase{"NoComPortOption", EPROTONOSUPPORT,
                   "the server does not offer RFC 2217 (COM-PORT-OPTION)"},
        ReasonCase{"Reset", ECONNRESET, "the server closed the connection"},
        ReasonCase{"Other", EIO, ErrnoText(EIO)}),
    CaseName());

}  // namespace
}  // namespace tovrel::rfc2217
