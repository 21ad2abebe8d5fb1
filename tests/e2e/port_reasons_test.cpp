// The real program on ports that do not open: the message on standard output stays as it is, the
// reason goes to standard error, and the wire trace goes where TOVREL_TRACE says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace tovrel {
namespace {

using testing::ProcessResult;
using testing::RunProcess;

const std::string kUsage = testing::kUsageText;

ProcessResult Tovrel(const std::string& port) {
  return RunProcess({TOVREL_BINARY, "image.bin", port}, std::chrono::seconds(10));
}

// Sets TOVREL_TRACE for the programs this test starts.
class TraceVariable {
 public:
  explicit TraceVariable(const std::string& value) { ::setenv("TOVREL_TRACE", value.c_str(), 1); }
  ~TraceVariable() { ::unsetenv("TOVREL_TRACE"); }
};

TEST(PortReasons, BusyPortNamesTheProcessHoldingItsLock) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string port = ::ptsname(master);
  const int held = ::open(port.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  const ProcessResult run = Tovrel(port);
  ::close(held);
  ::close(master);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"" + port + "\"\n" + kUsage);
  EXPECT_EQ(run.standard_error, "tovrel: " + port +
                                    ": busy: another program has it open (process " +
                                    std::to_string(::getpid()) + ")\n");
}

TEST(PortReasons, TraceFileHoldsTheFailureAndStandardOutputIsUnchanged) {
  const std::string path = ::testing::TempDir() + "tovrel-reasons-trace.txt";
  const TraceVariable variable(path);
  const ProcessResult run = Tovrel("/dev/null");
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"/dev/null\"\n" + kUsage);
  EXPECT_EQ(run.standard_error, "tovrel: /dev/null: not a serial port\n");
  std::ifstream file(path);
  const std::string trace((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(trace.find(" ms  open \"/dev/null\"\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" ms  failed: error 100 (open failed), system error 25 ("),
            std::string::npos)
      << trace;
}

TEST(PortReasons, TraceFileThatCannotBeOpenedIsReportedOnce) {
  const TraceVariable variable("/nonexistent-directory/trace.txt");
  const ProcessResult run = Tovrel("sim://bogus");
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"sim://bogus\"\n" + kUsage);
  EXPECT_EQ(run.standard_error,
            "tovrel: cannot write the trace to \"/nonexistent-directory/trace.txt\": No such file "
            "or directory\n"
            "tovrel: sim://bogus: no such device\n");
}

TEST(PortReasons, RefusedRemotePort) {
  const ProcessResult run = Tovrel("rfc2217://127.0.0.1:1");
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"rfc2217://127.0.0.1:1\"\n" + kUsage);
  EXPECT_EQ(run.standard_error,
            "tovrel: rfc2217://127.0.0.1:1: connection refused: nothing listens on that port of "
            "the host\n");
}

}  // namespace
}  // namespace tovrel
