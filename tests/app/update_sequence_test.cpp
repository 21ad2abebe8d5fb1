#include "app/update_sequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/console.h"
#include "tests/support/case_name.h"
#include "update_fixture.h"

namespace tovrel {
namespace {

using testing::UpdateFixture;

const std::string kInquiry = "\x1b!e0C";
const std::string kIdBefore = "Product ID: VELMOR TP-200 FW 1.04\n";
const std::string kIdAfter = "Product ID: VELMOR TP-200 FW 1.05\n";
constexpr Clock::Micros kSecond = 1'000'000;

std::string Lines(const std::string& text) {
  return WithPlatformLineEnds(text);
}

class WholeUpdate : public UpdateFixture, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(WholeUpdate, FlashesTheImageAndIdentifiesTheDeviceTwice) {
  const std::int32_t rate = GetParam();
  const auto speed = static_cast<std::uint32_t>(rate);
  files.content = Image(4096);

  EXPECT_EQ(Update(rate), kExitSuccess);

  EXPECT_EQ(Output(), Lines(kIdBefore + "\nProgramming -   0%\b\b\b\b 25%\b\b\b\b 50%\b\b\b\b 75%" +
                            "\b\b\b\b100%\b\b\b\b100%\n" + kIdAfter + "Flash update complete!\n"));
  EXPECT_EQ(Device().Image(),
            std::vector<std::uint8_t>(files.content.begin(), files.content.end()));
  EXPECT_TRUE(Device().ProgrammingComplete());
  if (rate > 38400) {
    const std::string back = "\x1b!b" + std::to_string(rate / 10) + "C";
    EXPECT_EQ(CommandTexts(),
              (std::vector<std::string>{kInquiry, "\x1b!b38400C", "\x1b!g04096C", back, kInquiry}));
    EXPECT_EQ(CommandSpeeds(), (std::vector<std::uint32_t>{speed, speed, 38400, 38400, speed}));
  } else {
    EXPECT_EQ(CommandTexts(), (std::vector<std::string>{kInquiry, "\x1b!g04096C", kInquiry}));
    EXPECT_EQ(CommandSpeeds(), (std::vector<std::uint32_t>{speed, speed, speed}));
  }
  EXPECT_EQ(Device().GarbledBytes(), 0u);
  EXPECT_FALSE(Link().IsOpen());
  EXPECT_EQ(ClosePortCalls(), 1);
  EXPECT_EQ(files.closes, 1);
  EXPECT_LE(files.largest_read, kPieceBytes);  // never more than one piece in memory
  // The pauses (2 + 5 + 7 s) plus 4 KiB on the line at the transfer rate or below.
  const Clock::Micros line_time = 4096 * 10 * kSecond / std::min<std::uint32_t>(speed, 38400);
  EXPECT_GE(clock.Now(), 14 * kSecond + line_time);
  EXPECT_LT(clock.Now(), 14 * kSecond + line_time + 2 * kSecond);
}

INSTANTIATE_TEST_SUITE_P(Rates, WholeUpdate, ::testing::Values(9600, 38400, 115200, 230400),
                         NameBy([](std::int32_t rate) { return std::to_string(rate); }));

// A log file gets each line and each progress step as it happens, not when the program ends.
TEST_F(UpdateFixture, ToAFileEachLineAndProgressStepGoesOutAsItIsShown) {
  files.content = Image(2048);
  console_is_terminal = false;
  ASSERT_EQ(Update(38400), kExitSuccess);
  EXPECT_EQ(Writes(),
            (std::vector<std::string>{Lines(kIdBefore), Lines("\n"), "Programming -   0%",
                                      "\b\b\b\b 50%", "\b\b\b\b100%", Lines("\b\b\b\b100%\n"),
                                      Lines(kIdAfter), Lines("Flash update complete!\n")}));
}

struct ProgressCase {
  std::size_t bytes;
  const char* progress;
};

class Progress : public UpdateFixture, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(Progress, UpdatesAtEachFullKilobyteAndEndsAt100) {
  files.content = Image(GetParam().bytes);
  ASSERT_EQ(Update(38400), kExitSuccess);
  EXPECT_EQ(Output(), Lines(kIdBefore + "\nProgramming - " + GetParam().progress + "\n" + kIdAfter +
                            "Flash update complete!\n"));
  EXPECT_EQ(Device().Image().size(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Progress,
    ::testing::Values(ProgressCase{2048, "  0%\b\b\b\b 50%\b\b\b\b100%\b\b\b\b100%"},
                      ProgressCase{1000, "  0%\b\b\b\b100%"}, ProgressCase{1, "  0%\b\b\b\b100%"},
                      ProgressCase{3000, "  0%\b\b\b\b 34%\b\b\b\b 68%\b\b\b\b100%"}),
    NameBy([](const ProgressCase& c) { return std::to_string(c.bytes) + "Bytes"; }));

TEST_F(UpdateFixture, TransferEndsAtTheAnnouncedSizeWithoutAnotherRead) {
  files.content = Image(2048);
  ASSERT_EQ(Update(38400), kExitSuccess);
  EXPECT_EQ(files.reads, 16);
  EXPECT_EQ(Device().PiecesReceived(), 16u);
}

TEST_F(UpdateFixture, EmptyImageIsAnnouncedAsZeroAndSendsNoPiece) {
  files.content.clear();
  ASSERT_EQ(Update(38400), kExitSuccess);
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{kInquiry, "\x1b!g00C", kInquiry}));
  EXPECT_EQ(Output(), Lines(kIdBefore + "\nProgramming -   0%\b\b\b\b100%\n" + kIdAfter +
                            "Flash update complete!\n"));
  EXPECT_EQ(files.reads, 0);
  EXPECT_TRUE(Device().Image().empty());
  EXPECT_TRUE(Device().ProgrammingComplete());
}

TEST_F(UpdateFixture, NulBytesInRepliesAreDiscarded) {
  device_faults.reply_nuls = 2;
  files.content = Image(512);
  ASSERT_EQ(Update(115200), kExitSuccess);
  EXPECT_NE(Output().find(kIdAfter.substr(0, kIdAfter.size() - 1)), std::string::npos);
}

struct CountCase {
  const char* count_text;
  std::uint32_t text_bytes;
  std::string shown;
};

class IdentificationCount : public UpdateFixture,
                            public ::testing::WithParamInterface<CountCase> {};

TEST_P(IdentificationCount, StaysInsideTheBuffer) {
  device_faults.inquiry_count_text = GetParam().count_text;
  device_faults.inquiry_text_bytes = GetParam().text_bytes;
  device_config.product_id = std::string(200, 'P');
  device_config.product_id_after_flash = std::nullopt;
  files.content = Image(256);
  ASSERT_EQ(Update(38400), kExitSuccess);
  const std::string line = "Product ID: " + GetParam().shown + "\n";
  EXPECT_EQ(Output().substr(0, Lines(line).size()), Lines(line));
  // Surplus identification bytes are dropped by the next transaction's purge.
  EXPECT_EQ(CommandTexts().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Counts, IdentificationCount,
                         ::testing::Values(CountCase{"999", 150, std::string(96, 'P')},
                                           CountCase{"096", 96, std::string(96, 'P')},
                                           CountCase{"097", 97, std::string(96, 'P')},
                                           CountCase{"-05", 5, ""}, CountCase{"ab1", 3, ""},
                                           CountCase{"  5", 5, "PPPPP"}, CountCase{"000", 0, ""}),
                         NameBy([](const CountCase& c) { return std::string(c.count_text); }));

TEST(ProgressPercent, NeverOverflowsAndNeverDividesByZero) {
  EXPECT_EQ(ProgressPercent(0, 0), 100);
  EXPECT_EQ(ProgressPercent(1024, 2048), 50);
  EXPECT_EQ(ProgressPercent(1024, 3000), 34);
  // 50 MB into a 100 MB image: 32-bit arithmetic would have wrapped here.
  EXPECT_EQ(ProgressPercent(50'000'128u, 100'000'256u), 50);
  EXPECT_EQ(ProgressPercent(0xFFFFFC00u, 0xFFFFFFFFu), 99);
  EXPECT_EQ(ProgressPercent(0xFFFFFFFFu, 0xFFFFFFFFu), 100);
}

}  // namespace
}  // namespace tovrel
