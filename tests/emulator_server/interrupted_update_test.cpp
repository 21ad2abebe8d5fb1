// The real tovrel stopped by a signal while it updates the real tovrel-emulator over loopback,
// in real time: the message and the exit status, what the device holds, how the port was left,
// and a second run that gets the port straight after.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "emulator_process.h"
#include "tests/support/case_name.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace tovrel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::size_t kImageBytes = 65536;  // 17 s on the line at 38400 baud
const std::string kId = "Product ID: VELMOR TP-200 FW 1.04\n";
const std::string kUsage = testing::kUsageText;

enum class When { kInThePause, kInTheTransfer };

struct InterruptCase {
  const char* name;
  int signal_number;
  When when;
};

using tovrel::case_printing::operator<<;

class InterruptedUpdate : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(InterruptedUpdate, StopsInOrderAndLeavesThePortFree) {
  const InterruptCase& c = GetParam();
  const std::string base = ::testing::TempDir() + "tovrel-stop-" + c.name;
  WriteTestImage(base + ".bin", kImageBytes);
  const std::string image = ImageBytes(kImageBytes);
  const std::string saved = base + ".saved";
  std::remove(saved.c_str());
  EmulatorProcess emulator({"--baud", "115200", "--save-image", saved});
  ASSERT_NE(emulator.Port(), 0);

  ChildProcess tovrel;
  ASSERT_TRUE(tovrel.Start({TOVREL_BINARY, base + ".bin", emulator.PortName(), "115200"}));
  // In the pause after the identification, or once two progress steps have been shown.
  const std::string cue = c.when == When::kInThePause ? kId : "\b\b\b\b  3%";
  ASSERT_TRUE(tovrel.WaitForOutput(
      [&](const std::string& output) { return output.find(cue) != std::string::npos; },
      seconds(20)))
      << tovrel.Output();
  const auto signalled = SteadyClock::now();
  tovrel.Signal(c.signal_number);
  const ProcessResult run = tovrel.Wait(seconds(10));
  const auto stopping = SteadyClock::now() - signalled;

  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 128 + c.signal_number);
  EXPECT_LT(stopping, milliseconds(1000));
  EXPECT_EQ(run.standard_error, "");
  // How the emulator saw the port left: DTR dropped, at the speed the device is listening at.
  ASSERT_TRUE(emulator.WaitForLog(" left the line at ", seconds(5)));
  const std::string& log = emulator.Process().Output();

  if (c.when == When::kInThePause) {
    EXPECT_EQ(run.standard_output, kId + "Update interrupted.\n");
    EXPECT_NE(log.find(": 1 commands, no image\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" left the line at 115200 baud, DTR off\n"), std::string::npos) << log;
  } else {
    const std::string start = kId + "\nProgramming -   0%";
    const std::string failed = "\b\b\b\b100%\nFlash update failed, ";
    ASSERT_EQ(run.standard_output.compare(0, start.size(), start), 0) << run.standard_output;
    const std::size_t at = run.standard_output.find(failed);
    ASSERT_NE(at, std::string::npos) << run.standard_output;
    const unsigned long transferred =
        std::strtoul(run.standard_output.c_str() + at + failed.size(), nullptr, 10);
    EXPECT_EQ(run.standard_output.substr(at + failed.size()),
              std::to_string(transferred) + " bytes transferred.\n");
    EXPECT_EQ(transferred % 128, 0u);
    EXPECT_GE(transferred, 2048u);
    EXPECT_LT(transferred, kImageBytes);
    // The device holds exactly the bytes reported, and they are the start of the image.
    ASSERT_TRUE(emulator.WaitForLog("image saved to ", seconds(5))) << log;
    EXPECT_EQ(ReadWholeFile(saved), image.substr(0, transferred));
    EXPECT_NE(log.find(" left the line at 38400 baud, DTR off\n"), std::string::npos) << log;
  }

  // The port is free at once: a second run identifies the device (and then stops at its file).
  const std::string missing = base + ".missing";
  const ProcessResult again =
      RunProcess({TOVREL_BINARY, missing, emulator.PortName(), "115200"}, seconds(10));
  EXPECT_EQ(again.exit_status, 1);
  EXPECT_EQ(again.standard_output, kId + "Unable to open file \"" + missing + "\"\n" + kUsage);

  emulator.Process().Signal(SIGTERM);
  EXPECT_EQ(emulator.Process().Wait(seconds(5)).exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptedUpdate,
    ::testing::Values(InterruptCase{"InterruptInThePause", SIGINT, When::kInThePause},
                      InterruptCase{"TerminateInThePause", SIGTERM, When::kInThePause},
                      InterruptCase{"HangUpInThePause", SIGHUP, When::kInThePause},
                      InterruptCase{"InterruptInTheTransfer", SIGINT, When::kInTheTransfer},
                      InterruptCase{"TerminateInTheTransfer", SIGTERM, When::kInTheTransfer}),
    CaseName());

}  // namespace
}  // namespace tovrel::testing
