// The reason line for the Win32 error numbers an open gives (the Win32 backend, the emulated
// port's link).
#include "serial/win32_open_failure_reason.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/case_name.h"

namespace tovrel {
namespace {

struct ReasonCase {
  const char* name;
  std::uint32_t error_number;
  std::string reason;
};

class Win32Reason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(Win32Reason, SaysWhy) {
  EXPECT_EQ(Win32OpenFailureReason(GetParam().error_number, "system text"), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, Win32Reason,
    ::testing::Values(ReasonCase{"FileNotFound", 2, "no such device"},
                      ReasonCase{"PathNotFound", 3, "no such device"},
                      ReasonCase{
                          "AccessDenied", 5,
                          "access denied: another program has it open, or the user may not use it"},
                      ReasonCase{"SharingViolation", 32, "busy: another program has it open"},
                      ReasonCase{"InvalidName", 123, "not a valid port name"},
                      ReasonCase{"Other", 31, "system text"}),
    CaseName());

}  // namespace
}  // namespace tovrel
