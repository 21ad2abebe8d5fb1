// The reason line for each way a terminal does not open, and finding the holder of a busy port's
// lock in the system's lock table. Root may open any device, so permission is only tested here.
#include "serial/posix/open_failure_reason.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/support/case_name.h"

namespace tovrel::posix_serial {
namespace {

struct ReasonCase {
  const char* name;
  int error_number;
  long holder;
  std::string reason;
};

class PosixOpenFailureReason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(PosixOpenFailureReason, SaysWhy) {
  EXPECT_EQ(OpenFailureReason(GetParam().error_number, GetParam().holder), GetParam().reason);
}

const std::string kPermission =
#if defined(__linux__)
    "permission denied: the user needs to be in the port's group, usually dialout "
    "(sudo adduser $USER dialout, then log in again)";
#else
    "permission denied: the user may not open the port";
#endif

INSTANTIATE_TEST_SUITE_P(
    Errors, PosixOpenFailureReason,
    ::testing::Values(ReasonCase{"Access", EACCES, 0, kPermission},
                      ReasonCase{"Perm", EPERM, 0, kPermission},
                      ReasonCase{"FlockHeld", EWOULDBLOCK, 4321,
                                 "busy: another program has it open (process 4321)"},
                      ReasonCase{"ExclusiveMode", EBUSY, 0, "busy: another program has it open"},
                      ReasonCase{"Missing", ENOENT, 0, "no such device"},
                      ReasonCase{"Unplugged", ENXIO, 0, "no such device"},
                      ReasonCase{"NoDevice", ENODEV, 0, "no such device"},
                      ReasonCase{"NotATerminal", ENOTTY, 0, "not a serial port"},
                      ReasonCase{"Other", EIO, 0, SystemErrorText(EIO)}),
    CaseName());

TEST(LockHolder, FoundByDeviceAndInodeWaitersSkipped) {
  const std::string table =
      "1: POSIX  ADVISORY  WRITE 111 08:01:999 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 4321 00:05:1234 0 EOF\n"
      "2: -> FLOCK  ADVISORY  WRITE 5555 00:05:1234 0 EOF\n"
      "3: FLOCK  ADVISORY  WRITE 777 00:1a:1234 0 EOF\n";
  EXPECT_EQ(LockHolderInProcLocks(table, 0x00, 0x05, 1234), 4321);
  EXPECT_EQ(LockHolderInProcLocks(table, 0x00, 0x1a, 1234), 777);
  EXPECT_EQ(LockHolderInProcLocks(table, 0x08, 0x01, 999), 111);
  EXPECT_EQ(LockHolderInProcLocks(table, 0x00, 0x05, 4), 0);
  EXPECT_EQ(LockHolderInProcLocks("garbage\n\n", 0, 5, 1234), 0);
}

}  // namespace
}  // namespace tovrel::posix_serial
