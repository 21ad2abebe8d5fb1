// The real tovrel against the real tovrel-emulator over loopback, as separate processes, in real
// time: each update has 14 s of fixed pauses.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "emulator_process.h"
#include "tests/support/case_name.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace tovrel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(TovrelOverNetwork, UpdatesAt115200) {
  const std::string image = WriteTestImage(::testing::TempDir() + "tovrel-net-2k.bin", 2048);
  const std::string saved = ::testing::TempDir() + "tovrel-net-2k.saved";
  std::remove(saved.c_str());
  EmulatorProcess emulator({"--once", "--baud", "115200", "--save-image", saved});
  ASSERT_NE(emulator.Port(), 0);

  const ProcessResult run =
      RunProcess({TOVREL_BINARY, image, emulator.PortName(), "115200"}, seconds(60));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.standard_output, kTwoKibUpdateOutput);
  EXPECT_EQ(run.standard_error, "");
  // 14 s of pauses and 2 KiB at 38400 baud (0.53 s) with a little pacing.
  EXPECT_GE(run.elapsed, milliseconds(14000 + 533));
  EXPECT_LT(run.elapsed, milliseconds(14000 + 533 + 4000));

  const ProcessResult server = emulator.Process().Wait(seconds(5));
  EXPECT_EQ(server.exit_status, 0);
  EXPECT_NE(server.standard_output.find(": 5 commands, image 2048 of 2048 bytes, complete\n"
                                        "image saved to " +
                                        saved + " (2048 bytes)\n"),
            std::string::npos)
      << server.standard_output;
  EXPECT_EQ(server.standard_error, "");
  EXPECT_EQ(ReadWholeFile(saved), ReadWholeFile(image));
}

TEST(TovrelOverNetwork, CtsHeldOffPartwayThroughTheTransfer) {
  const std::string image = WriteTestImage(::testing::TempDir() + "tovrel-net-cts.bin", 2048);
  EmulatorProcess emulator({"--once", "--baud", "115200", "--cts-off-after-pieces", "3"});
  ASSERT_NE(emulator.Port(), 0);

  // The third piece's write returns once the far line has sent it; the device then holds CTS
  // off for good. The host sees that a network delay late: either the look before the fourth
  // piece gives up after the CTS wait (about 3 s), or the fourth piece has already gone, the far
  // UART holds it, and its write runs out its 35.6 s time-out uncounted. Either way the count
  // is what the device has. On a loaded machine the host may also take in the end of the
  // device's pause after the second piece late, and so expect the third piece to leave later
  // than it did: the drop then finds bytes of it still to go by the host's reckoning, and the
  // third piece is not counted. Knowing less, the host says less, never more.
  const ProcessResult run =
      RunProcess({TOVREL_BINARY, image, emulator.PortName(), "115200"}, seconds(90));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 1);
  const std::string failed =
      "Product ID: VELMOR TP-200 FW 1.04\n"
      "\nProgramming -   0%\b\b\b\b100%\n"
      "Flash update failed, ";
  EXPECT_TRUE(run.standard_output == failed + "384 bytes transferred.\n" ||
              run.standard_output == failed + "256 bytes transferred.\n")
      << run.standard_output;
  EXPECT_EQ(run.standard_error, "");

  const ProcessResult server = emulator.Process().Wait(seconds(5));
  EXPECT_EQ(server.exit_status, 1);
  EXPECT_NE(server.standard_output.find(": 3 commands, image 384 of 2048 bytes, incomplete\n"),
            std::string::npos)
      << server.standard_output;
}

// The number in "Flash update failed, N bytes transferred.\n" at the end of `output`; -1 when
// the output does not end so.
long TransferredCount(const std::string& output) {
  const std::string failed = "Flash update failed, ";
  const std::string tail = " bytes transferred.\n";
  const std::size_t at = output.rfind(failed);
  if (at == std::string::npos || output.size() < tail.size() ||
      output.compare(output.size() - tail.size(), tail.size(), tail) != 0) {
    return -1;
  }
  return std::strtol(output.c_str() + at + failed.size(), nullptr, 10);
}

// A server that stops answering mid-transfer (stopped, as a hung server or a dead network path
// without a reset looks): the first request it leaves unanswered for the reply time-out (7 s)
// ends the connection, and the update ends with its usual failure within seconds.
TEST(TovrelOverNetwork, StoppedServerEndsTheTransferWithinSeconds) {
  const std::string image =
      WriteTestImage(::testing::TempDir() + "tovrel-net-stopped.bin", 64 * 1024);
  EmulatorProcess emulator({"--once", "--baud", "115200"});
  ASSERT_NE(emulator.Port(), 0);
  ChildProcess tovrel;
  ASSERT_TRUE(tovrel.Start({TOVREL_BINARY, image, emulator.PortName(), "115200"}));
  ASSERT_TRUE(emulator.WaitForLog(" connected\n", seconds(5)));
  // The transfer starts after 7 s of pauses; 64 KiB at 38400 baud take 17 s.
  std::this_thread::sleep_for(seconds(10));
  emulator.Process().Signal(SIGSTOP);
  const auto stopped = SteadyClock::now();
  const ProcessResult run = tovrel.Wait(seconds(60));
  const auto gave_up = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - stopped);
  emulator.Process().Signal(SIGCONT);
  ASSERT_FALSE(run.timed_out);
  std::printf("tovrel gave up %lld ms after the server stopped\n",
              static_cast<long long>(gave_up.count()));
  RecordProperty("gave_up_ms", static_cast<int>(gave_up.count()));
  EXPECT_LT(gave_up, seconds(10));
  EXPECT_EQ(run.exit_status, 1);
  const long transferred = TransferredCount(run.standard_output);
  ASSERT_NE(transferred, -1) << run.standard_output;
  EXPECT_GT(transferred, 0);
  EXPECT_LT(transferred, 64 * 1024);
  EXPECT_EQ(transferred % 128, 0);
}

// A link that stalls about 4 KiB into an 8 KiB image, 10 ms each way otherwise: the relay holds
// one chunk of the client's data and everything behind it, as a lost segment and its
// retransmissions do, for six seconds or for good (the held bytes then never arrive). A stall
// that passes is survived; one that does not ends the run within ten seconds, and the count
// it reports never holds a piece the device lacks.
struct StallCase {
  const char* name;
  int stall_ms;  // -1: for good
};

class StalledLink : public ::testing::TestWithParam<StallCase> {};

TEST_P(StalledLink, IsSurvivedOrReportedWithTheDevicesOwnCount) {
  const StallCase& c = GetParam();
  const std::string base = ::testing::TempDir() + "tovrel-stall-" + c.name;
  const std::string image = ReadWholeFile(WriteTestImage(base + ".bin", 8192));
  std::remove((base + ".saved").c_str());
  EmulatorProcess emulator({"--once", "--baud", "38400", "--save-image", base + ".saved"});
  ASSERT_NE(emulator.Port(), 0);
  ChildProcess relay;
  ASSERT_TRUE(relay.Start({"/usr/bin/python3", "-u", TOVREL_DELAY_RELAY_SCRIPT, "--target",
                           "127.0.0.1:" + std::to_string(emulator.Port()), "--delay-ms", "10",
                           "--stall-at", "4400", "--stall-ms", std::to_string(c.stall_ms)}));
  const auto has = [](const char* text) {
    return [text](const std::string& output) { return output.find(text) != std::string::npos; };
  };
  ASSERT_TRUE(relay.WaitForOutput(has("\n"), seconds(10)));
  ChildProcess tovrel;
  ASSERT_TRUE(tovrel.Start(
      {TOVREL_BINARY, base + ".bin",
       "rfc2217://127.0.0.1:" + std::to_string(std::atoi(relay.Output().c_str() + 5)), "38400"}));
  ASSERT_TRUE(relay.WaitForOutput(has("STALLED"), seconds(30)));
  const auto stalled = SteadyClock::now();
  const ProcessResult run = tovrel.Wait(seconds(60));
  const auto ended = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - stalled);
  ASSERT_FALSE(run.timed_out);
  emulator.Process().Wait(seconds(15));
  const std::string received = ReadWholeFile(base + ".saved");
  EXPECT_EQ(received, image.substr(0, received.size())) << "the device got a damaged image";
  if (c.stall_ms >= 0) {
    EXPECT_EQ(run.exit_status, 0) << run.standard_output;
    EXPECT_EQ(received.size(), image.size());
    return;
  }
  EXPECT_LT(ended, seconds(10));
  EXPECT_EQ(run.exit_status, 1);
  const long transferred = TransferredCount(run.standard_output);
  ASSERT_NE(transferred, -1) << run.standard_output;
  EXPECT_LE(transferred, static_cast<long>(received.size()));
  // Behind by at most the pieces whose confirmation the stall held back.
  EXPECT_GE(transferred + 3 * 128, static_cast<long>(received.size()));
}

INSTANTIATE_TEST_SUITE_P(Stalls, StalledLink,
                         ::testing::Values(StallCase{"ForSixSeconds", 6000},
                                           StallCase{"ForGood", -1}),
                         CaseName());

// A device whose identification holds terminal control sequences (retitle the window, clear
// the screen): a terminal sees them escaped, a pipe gets the bytes as sent. The image is missing,
// so each run ends right after the identification.
class DeviceTextOverNetwork : public ::testing::TestWithParam<bool> {};

TEST_P(DeviceTextOverNetwork, ReachesATerminalEscapedAndAPipeUnchanged) {
  const bool terminal = GetParam();
  EmulatorProcess emulator({"--once", "--baud", "115200", "--product-id", "TP\x1b]0;x\a\x1b[2J"});
  ASSERT_NE(emulator.Port(), 0);
  const std::string missing = ::testing::TempDir() + "tovrel-no-such-image.bin";
  std::vector<std::string> command{TOVREL_BINARY, missing, emulator.PortName(), "115200"};
  if (terminal) {
    // script(1) gives the program a pseudo-terminal as its standard output and copies it out.
    command = {"/usr/bin/script", "-qec",
               "'" + command[0] + "' '" + missing + "' " + command[2] + " 115200", "/dev/null"};
  }
  const ProcessResult run = RunProcess(command, seconds(30));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 1);
  const std::string line_end = terminal ? "\r\n" : "\n";
  const std::string shown = terminal ? "TP\\x1B]0;x\\x07\\x1B[2J" : "TP\x1b]0;x\a\x1b[2J";
  EXPECT_EQ(run.standard_output.substr(0, run.standard_output.find('\n') + 1),
            "Product ID: " + shown + line_end);
  if (terminal) {
    EXPECT_EQ(run.standard_output.find('\x1b'), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, DeviceTextOverNetwork, ::testing::Bool(),
                         NameBy([](bool terminal) {
                           return std::string(terminal ? "Terminal" : "Pipe");
                         }));

}  // namespace
}  // namespace tovrel::testing
