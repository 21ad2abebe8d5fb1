// The real program, run as a user runs it, against the built-in emulated device in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/e2e/child_process.h"

namespace tovrel {
namespace {

using std::chrono::seconds;
using testing::ProcessResult;
using testing::RunProcess;

const std::string kUsage =
    "Usage: Tovrel <flashfile> <COMn> [Baudrate]\n"
    "  Writes a new program <flashfile> into the Velmor flash memory\n"
    "  on the specified COM port. Default baud rate is 38400\n"
    "  Example: tovrel a:tamix.bin COM2 115200\n";

ProcessResult Tovrel(std::vector<std::string> arguments, seconds limit = seconds(10)) {
  arguments.insert(arguments.begin(), TOVREL_BINARY);
  return RunProcess(arguments, limit);
}

std::string WriteImage(const std::string& name, std::size_t bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream file(path, std::ios::binary);
  for (std::size_t i = 0; i < bytes; ++i) {
    file.put(static_cast<char>(i * 13));
  }
  return path;
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
  EXPECT_EQ(run.standard_output,
            kUsage + "  Valid baud rates are 9600, 38400, 115200, and 230400\n");
}

TEST(TovrelBinary, PortThatDoesNotExist) {
  const ProcessResult run = Tovrel({"image.bin", "/dev/tovrel-no-such-port"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.standard_output, "Unable to open COM port \"/dev/tovrel-no-such-port\"\n" + kUsage);
  EXPECT_EQ(run.standard_error, "");
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
  const std::string image = WriteImage("tovrel-e2e.bin", 2048);
  const ProcessResult run = Tovrel({image, "sim://", "115200"}, seconds(40));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.standard_output,
            "Product ID: VELMOR TP-200 FW 1.04\n"
            "\nProgramming -   0%\b\b\b\b 50%\b\b\b\b100%\b\b\b\b100%\n"
            "Product ID: VELMOR TP-200 FW 1.05\n"
            "Flash update complete!\n");
  EXPECT_EQ(run.standard_error, "");
  // 14 s of fixed pauses, plus 2 KiB at 3840 bytes a second; CTS pacing adds a little.
  EXPECT_GE(run.elapsed, std::chrono::milliseconds(14000 + 533));
  EXPECT_LT(run.elapsed, std::chrono::milliseconds(14000 + 533 + 4000));
}

}  // namespace
}  // namespace tovrel
