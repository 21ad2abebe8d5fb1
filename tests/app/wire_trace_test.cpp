// The wire trace of whole updates on the virtual clock, the reason line for a port that did not
// open, and a trace file that cannot be written.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/wire_trace.h"
#include "update_fixture.h"

namespace tovrel {
namespace {

using testing::UpdateFixture;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

class WireTraceUpdate : public UpdateFixture {
 protected:
  StringSink trace_text;
  ClockedTrace clocked{clock, trace_text};
  WireTraceUpdate() { trace = &clocked; }
};

TEST_F(WireTraceUpdate, PortThatDoesNotOpen) {
  const std::string usage_and_message =
      WithPlatformLineEnds("Unable to open COM port \"sim://bogus\"\n");
  host_faults.open_fails = true;
  EXPECT_EQ(Update(9600, "sim://bogus"), kExitFailure);
  EXPECT_EQ(Output().substr(0, usage_and_message.size()), usage_and_message);
  EXPECT_EQ(diagnostics.Text(), "tovrel: sim://bogus: no such device\n");
  EXPECT_EQ(
      Lines(trace_text.Text()),
      (std::vector<std::string>{
          "      0.000 ms  update: image \"" + files.path + "\", port \"sim://bogus\", 9600 baud",
          "      0.000 ms  open \"sim://bogus\"",
          "      0.000 ms  failed: error 100 (open failed), system error 2 (error 2)",
      }));
}

TEST_F(WireTraceUpdate, SmallUpdateShowsSettingsCommandsRepliesAndPieces) {
  files.content = Image(200);
  ASSERT_EQ(Update(9600), kExitSuccess);
  EXPECT_EQ(diagnostics.Text(), "");
  const std::vector<std::string> lines = Lines(trace_text.Text());
  ASSERT_GE(lines.size(), 12u);
  // The opening, on the virtual clock: nothing has slept yet.
  EXPECT_EQ(lines[1], "      0.000 ms  opened \"sim://\"");
  EXPECT_EQ(lines[2],
            "      0.000 ms  time-outs: read interval 500, read 500/byte + 5000 ms, write 500/byte "
            "+ 2000 ms");
  auto has = [&](const std::string& wanted) {
    for (const std::string& line : lines) {
      if (line.find(wanted) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(has("line state: 9600 baud, 8 data bits, parity 0, stop bits code 0, flags 0x2804"));
  EXPECT_TRUE(has("CTS on after 1 polls"));
  EXPECT_TRUE(has("write 5 bytes: 1b 21 65 30 43 |.!e0C|"));
  EXPECT_TRUE(has("read 7 of 7 bytes: 1b 21 65 31 30 32 31 |.!e1021|"));
  EXPECT_TRUE(has("pause 2000 ms"));
  EXPECT_TRUE(has("image piece at offset 0, 128 bytes"));
  EXPECT_TRUE(has("image piece at offset 128, 72 bytes"));
  EXPECT_TRUE(has("write 72 bytes"));
  EXPECT_FALSE(has("write 128 bytes: "));  // image pieces never in full
  EXPECT_EQ(lines[lines.size() - 2].substr(16), "close: DTR off, purge both queues");
  EXPECT_EQ(lines.back(), "  14301.760 ms  update complete");
}

TEST_F(WireTraceUpdate, DeviceThatStopsShowsTheCtsWaitAndTheFailure) {
  files.content = Image(1024);
  device_faults.cts_stuck_off_after_pieces = 3;
  ASSERT_EQ(Update(9600), kExitFailure);
  const std::string text = trace_text.Text();
  EXPECT_NE(text.find("CTS off after 301 polls\n"), std::string::npos) << text;
  EXPECT_NE(text.find("failed: error 111 (CTS stayed off)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("transfer failed after 384 image bytes\n"), std::string::npos) << text;
}

TEST(WireTraceFile, AFileThatCannotBeWrittenIsReportedOnceAndIgnored) {
  VirtualClock clock;
  StringSink diagnostics;
  WireTrace trace("/nonexistent-directory/trace.txt", clock, diagnostics);
  trace.Get().Line("nothing %d", 1);
  trace.Get().Line("nothing %d", 2);
  EXPECT_FALSE(trace.Get().Enabled());
  EXPECT_EQ(diagnostics.Text(),
            "tovrel: cannot write the trace to \"/nonexistent-directory/trace.txt\": No such file "
            "or directory\n");
}

TEST(WireTraceFile, StandardErrorAndTimestampsFromTheClock) {
  VirtualClock clock;
  clock.Advance(5'000'000);
  StringSink diagnostics;
  WireTrace trace("-", clock, diagnostics);
  trace.Get().Line("first");
  clock.Advance(1'234'567);
  trace.Get().Line("second %s", "line");
  EXPECT_EQ(diagnostics.Text(), "      0.000 ms  first\n   1234.567 ms  second line\n");
}

TEST(WireTraceFile, NoVariableNoTrace) {
  VirtualClock clock;
  StringSink diagnostics;
  WireTrace unset(nullptr, clock, diagnostics);
  WireTrace empty("", clock, diagnostics);
  EXPECT_FALSE(unset.Get().Enabled());
  EXPECT_FALSE(empty.Get().Enabled());
  EXPECT_EQ(diagnostics.Text(), "");
}

}  // namespace
}  // namespace tovrel
