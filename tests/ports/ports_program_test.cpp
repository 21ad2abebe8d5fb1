// The real tovrel-ports program: its list of a fake machine, its errors and exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fake_system_tree.h"
#include "tests/support/case_name.h"
#include "tests/support/child_process.h"

namespace tovrel::ports {
namespace {

using tovrel::testing::ProcessResult;
using tovrel::testing::RunProcess;

ProcessResult Ports(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TOVREL_PORTS_BINARY);
  return RunProcess(arguments, std::chrono::seconds(10));
}

TEST(PortsProgram, ListsTheMachineUnderRoot) {
  const std::string root = testing::BuildFakeMachine("ports-program-machine");
  // The test's user may open the nodes it made (and root may open any).
  const ProcessResult run = Ports({"--root", root});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.standard_error, "");
  EXPECT_EQ(run.standard_output.substr(0, run.standard_output.find('\n') + 1),
            "PORT           ACCESS   DRIVER    VID:PID    SERIAL                MANUFACTURER      "
            "        PRODUCT                               BY-ID\n");
  EXPECT_NE(run.standard_output.find("\n/dev/ttyS0     yes      serial    -          -"),
            std::string::npos)
      << run.standard_output;
  EXPECT_NE(run.standard_output.find("\n/dev/ttyUSB10  missing  cp210x"), std::string::npos)
      << run.standard_output;
  const std::string json = Ports({"--json", "--root", root}).standard_output;
  EXPECT_EQ(json.substr(0, 2), "[\n");
  EXPECT_NE(
      json.find("\n{\"port\":\"/dev/ttyUSB10\",\"access\":\"missing\",\"driver\":\"cp210x\","
                "\"vid_pid\":\"10c4:ea60\",\"serial\":\"0001\",\"manufacturer\":\"Silicon "
                "Labs\",\"product\":\"CP2102 USB to UART Bridge Controller\",\"by_id\":null}\n]\n"),
      std::string::npos)
      << json;
}

struct FailureCase {
  std::string name;
  std::vector<std::string> arguments;
  int exit_status;
  std::string standard_error;
};

using tovrel::case_printing::operator<<;

class PortsProgramFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PortsProgramFailureTest, SaysWhyOnStandardError) {
  const ProcessResult run = Ports(GetParam().arguments);
  EXPECT_EQ(run.exit_status, GetParam().exit_status);
  EXPECT_EQ(run.standard_output, "");
  EXPECT_EQ(run.standard_error, GetParam().standard_error);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PortsProgramFailureTest,
    ::testing::Values(
        FailureCase{"MissingRoot",
                    {"--root=/nonexistent/tovrel"},
                    1,
                    "tovrel-ports: cannot read /nonexistent/tovrel/sys/class/tty: No such file or "
                    "directory\n"},
        FailureCase{
            "RootWithoutDirectory",
            {"--root"},
            2,
            "tovrel-ports: option '--root' needs a directory\nTry 'tovrel-ports --help'.\n"},
        FailureCase{"UnknownOption",
                    {"--all"},
                    2,
                    "tovrel-ports: unknown option '--all'\nTry 'tovrel-ports --help'.\n"},
        FailureCase{"Argument",
                    {"/dev/ttyUSB0"},
                    2,
                    "tovrel-ports: unexpected argument '/dev/ttyUSB0'\nTry 'tovrel-ports "
                    "--help'.\n"}),
    CaseName());

}  // namespace
}  // namespace tovrel::ports
