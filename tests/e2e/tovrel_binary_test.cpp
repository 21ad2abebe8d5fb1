// The real program, run as a user runs it, against the built-in emulated device in real time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>

#include "tests/support/case_name.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace tovrel {
namespace {

using std::chrono::seconds;
using testing::ChildProcess;
using testing::kTwoKibUpdateOutput;
using testing::ProcessResult;
using testing::ReadWholeFile;
using testing::RunProcess;
using testing::WriteTestImage;

const std::string kUsage = testing::kUsageText;

ProcessResult Tovrel(std::vector<std::string> arguments, seconds limit = seconds(10)) {
  arguments.insert(arguments.begin(), TOVREL_BINARY);
  return RunProcess(arguments, limit);
}

TEST(TovrelBinary, WithoutArgumentsPrintsUsageAndFails) {
  const ProcessResult run = Tovrel({});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, kUsage);
  EXPECT_EQ(run.standard_error, "");
}

TEST(TovrelBinary, RejectsAnUnknownRate) {
  const ProcessResult run = Tovrel({"image.bin", "sim://", "57600"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, kUsage + testing::kValidRatesText);
}

TEST(TovrelBinary, PortThatDoesNotExist) {
  const ProcessResult run = Tovrel({"image.bin", "/dev/tovrel-no-such-port"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"/dev/tovrel-no-such-port\"\n" + kUsage);
  EXPECT_EQ(run.standard_error, "tovrel: /dev/tovrel-no-such-port: no such device\n");
}

TEST(TovrelBinary, EmulatedPortWithAnythingAfterThePrefixDoesNotOpen) {
  const ProcessResult run = Tovrel({"image.bin", "sim://bogus"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"sim://bogus\"\n" + kUsage);
}

TEST(TovrelBinary, MissingFirmwareFileAfterIdentifyingTheDevice) {
  const std::string missing = ::testing::TempDir() + "tovrel-missing.bin";
  std::remove(missing.c_str());
  const ProcessResult run = Tovrel({missing, "sim://", "9600"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, "Product ID: VELMOR TP-200 FW 1.04\nUnable to open file \"" +
                                     missing + "\"\n" + kUsage);
  EXPECT_GE(run.elapsed, std::chrono::milliseconds(2000));  // the pause after identification
}

TEST(TovrelBinary, FlashesTheEmulatedDeviceInRealTime) {
  const std::string image = WriteTestImage(::testing::TempDir() + "tovrel-e2e.bin", 2048);
  const ProcessResult run = Tovrel({image, "sim://", "115200"}, seconds(40));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.standard_output, kTwoKibUpdateOutput);
  EXPECT_EQ(run.standard_error, "");
  // 14 s of fixed pauses, plus 2 KiB at 3840 bytes a second; CTS pacing adds a little.
  EXPECT_GE(run.elapsed, std::chrono::milliseconds(14000 + 533));
  EXPECT_LT(run.elapsed, std::chrono::milliseconds(14000 + 533 + 4000));
}

// What is not a regular file is refused as a file that does not open, without waiting on it: a
// FIFO nobody writes to, a character device, a directory.
struct OddFileCase {
  const char* name;
  std::string (*make)();
};

using tovrel::case_printing::operator<<;

class OddFlashfile : public ::testing::TestWithParam<OddFileCase> {};

TEST_P(OddFlashfile, IsRefusedAtOnce) {
  const std::string path = GetParam().make();
  const ProcessResult run = Tovrel({path, "sim://", "9600"});
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output,
            "Product ID: VELMOR TP-200 FW 1.04\nUnable to open file \"" + path + "\"\n" + kUsage);
  EXPECT_LT(run.elapsed, std::chrono::milliseconds(2000 + 2000));  // the pause, then at once
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OddFlashfile,
    ::testing::Values(OddFileCase{"Fifo",
                                  [] {
                                    const std::string path =
                                        ::testing::TempDir() + "tovrel-e2e-fifo";
                                    unlink(path.c_str());
                                    mkfifo(path.c_str(), 0600);
                                    return path;
                                  }},
                      OddFileCase{"CharacterDevice", [] { return std::string("/dev/zero"); }},
                      OddFileCase{"Directory", [] { return ::testing::TempDir(); }}),
    CaseName());

// Output to a file is written line by line and step by step: what was printed before an
// uncatchable SIGKILL is all there, ending with a whole progress step.
TEST(TovrelBinary, OutputToAFileSurvivesSigkill) {
  const std::string image = WriteTestImage(::testing::TempDir() + "tovrel-e2e-kill.bin", 16384);
  const std::string log = ::testing::TempDir() + "tovrel-e2e-kill.log";
  std::string expected = "Product ID: VELMOR TP-200 FW 1.04\n\nProgramming -   0%";
  for (int kib = 1; kib <= 16; ++kib) {
    char step[16];
    std::snprintf(step, sizeof step, "\b\b\b\b%3d%%", kib * 100 / 16);
    expected += step;
  }
  ChildProcess tovrel;
  ASSERT_TRUE(tovrel.Start({TOVREL_BINARY, image, "sim://", "38400"}, log));
  const auto deadline = std::chrono::steady_clock::now() + seconds(20);
  while (ReadWholeFile(log).find(" 12%") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  tovrel.Signal(SIGKILL);
  tovrel.Wait(seconds(5));

  const std::string kept = ReadWholeFile(log);
  ASSERT_NE(kept.find(" 12%"), std::string::npos) << kept;
  EXPECT_EQ(expected.substr(0, kept.size()), kept);
  EXPECT_EQ(kept.back(), '%');
}

}  // namespace
}  // namespace tovrel
