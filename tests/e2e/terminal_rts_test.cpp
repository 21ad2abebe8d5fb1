// What the real program asks of a real terminal driver, seen by strace: with the RTS handshake
// selected it raises RTS and never drops it again, so that a device which honours the
// handshake can answer. A pseudo-terminal stands in for the port; it refuses the modem-line
// calls, but strace records them as the driver received them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tovrel {
namespace {

using testing::ProcessResult;
using testing::RunProcess;

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line);
  }
  return lines;
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

TEST(TerminalRts, IsRaisedOnceTheHandshakeIsSelectedAndStaysUp) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  const std::string image = ::testing::TempDir() + "tovrel-rts.bin";
  std::ofstream(image, std::ios::binary) << std::string(256, 'x');
  const std::string trace = ::testing::TempDir() + "tovrel-rts.trace";

  const ProcessResult run = RunProcess({"/usr/bin/strace", "-f", "-e", "trace=ioctl", "-o", trace,
                                        TOVREL_BINARY, image, terminal, "38400"},
                                       std::chrono::seconds(20));
  ::close(master);
  ASSERT_FALSE(run.timed_out);
  // No modem lines on a pseudo-terminal: the CTS look fails and so does the inquiry.
  EXPECT_EQ(run.standard_output, "Failed to get Inquiry data from device\n");

  const std::vector<std::string> lines = Lines(trace);
  std::size_t handshake = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (Contains(lines[i], "TCSETS") && Contains(lines[i], "CRTSCTS")) {
      handshake = i;
      break;
    }
  }
  ASSERT_LT(handshake, lines.size()) << "the device settings never selected hardware flow control";
  std::vector<std::string> rts_calls;
  for (std::size_t i = handshake; i < lines.size(); ++i) {
    if (Contains(lines[i], "TIOCM_RTS")) {
      rts_calls.push_back(Contains(lines[i], "TIOCMBIS") ? "raise" : "other");
    }
  }
  EXPECT_EQ(rts_calls, std::vector<std::string>{"raise"});
}

}  // namespace
}  // namespace tovrel
