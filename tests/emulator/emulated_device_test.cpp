// The device on its own: bytes handed to it directly, its output taken directly.
#include "emulator/emulated_device.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "link_harness.h"
#include "tests/support/case_name.h"

namespace tovrel {
namespace {

const std::string kEsc = "\x1b";
const std::string kInquiry = kEsc + "!e0C";
const std::string kAck = kEsc + "!b1C";
const std::string kRefused = kEsc + "!b0C";

// Feeds a command at the device's speed and returns what it answers.
std::string Exchange(EmulatedDevice& device, const std::string& command, Clock::Micros at = 0) {
  const Clock::Micros done = device.ReceiveBytes(Bytes(command), at);
  return Text(device.TakeAllOutput(done));
}

TEST(EmulatedDevice, AnswersTheInquiryWithHeaderCountAndIdentification) {
  EmulatedDevice device;
  EXPECT_EQ(Exchange(device, kInquiry), kEsc + "!e1021VELMOR TP-200 FW 1.04");
  ASSERT_EQ(device.Commands().size(), 1u);
  EXPECT_EQ(Text(device.Commands()[0].bytes), kInquiry);
  EXPECT_EQ(device.Commands()[0].baud, 38400u);
}

TEST(EmulatedDevice, InquiryWithOtherParametersIsLoggedButNotAnswered) {
  EmulatedDevice device;
  EXPECT_EQ(Exchange(device, kEsc + "!e1C"), "");
  EXPECT_EQ(Exchange(device, kEsc + "!x0C"), "");
  EXPECT_EQ(device.Commands().size(), 2u);
}

struct BaudCase {
  const char* number;
  const char* reply;
  std::uint32_t speed_after;
};

void PrintTo(const BaudCase& c, std::ostream* os) {
  *os << "!b" << c.number << "C";
}

class BaudCommand : public ::testing::TestWithParam<BaudCase> {};

TEST_P(BaudCommand, RepliesAndSwitchesOnlyAfterTheReplyHasLeft) {
  EmulatedDevice device;
  const Clock::Micros done = device.ReceiveBytes(Bytes(kEsc + "!b" + GetParam().number + "C"), 0);
  EXPECT_EQ(device.Speed(), 38400u) << "still answering at the old speed";
  EXPECT_EQ(Text(device.TakeAllOutput(done)), GetParam().reply);
  EXPECT_EQ(device.Speed(), GetParam().speed_after);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, BaudCommand,
    ::testing::Values(BaudCase{"38400", "\x1b!b1C", 38400}, BaudCase{"9600", "\x1b!b1C", 9600},
                      BaudCase{"960", "\x1b!b1C", 9600}, BaudCase{"115200", "\x1b!b1C", 115200},
                      BaudCase{"11520", "\x1b!b1C", 115200}, BaudCase{"23040", "\x1b!b1C", 230400},
                      BaudCase{"230400", "\x1b!b1C", 230400}, BaudCase{"3840", "\x1b!b1C", 38400},
                      BaudCase{"300", "\x1b!b0C", 38400}, BaudCase{"1152000", "\x1b!b0C", 38400},
                      BaudCase{"", "\x1b!b0C", 38400}, BaudCase{"12a", "\x1b!b0C", 38400}),
    NameBy([](const BaudCase& c) { return std::string(c.number); }));

TEST(EmulatedDevice, KeepsTheImageIncludingEscapesAndCommandLookalikes) {
  EmulatedDevice device;
  EXPECT_EQ(Exchange(device, kEsc + "!g0300C"), kEsc + "!g01C");
  EXPECT_TRUE(device.ReceivingImage());
  std::vector<std::uint8_t> image;
  for (int i = 0; i < 300; ++i) {
    image.push_back(static_cast<std::uint8_t>(i));
  }
  const std::string lookalike = kInquiry + kEsc + "!b9600C";
  std::copy(lookalike.begin(), lookalike.end(), image.begin() + 20);
  image[299] = 0x1B;

  Clock::Micros at = 1'000'000;
  for (std::size_t i = 0; i < image.size(); ++i, at += 300'000) {  // slow enough never to be busy
    device.ReceiveByte(image[i], device.Format(), at);
  }
  EXPECT_EQ(device.Image(), image);
  EXPECT_TRUE(device.ProgrammingComplete());
  EXPECT_FALSE(device.ReceivingImage());
  EXPECT_EQ(device.PiecesReceived(), 3u);
  EXPECT_EQ(device.AnnouncedImageBytes(), 300u);
  EXPECT_EQ(device.Commands().size(), 1u) << "image bytes are never parsed";
  EXPECT_TRUE(device.TakeAllOutput(at).empty());
  EXPECT_EQ(device.Speed(), 38400u);
  EXPECT_EQ(device.ProductId(), "VELMOR TP-200 FW 1.05");
  EXPECT_EQ(Exchange(device, kInquiry, at), kEsc + "!e1021VELMOR TP-200 FW 1.05");
}

TEST(EmulatedDevice, AnEmptyImageIsCompleteAtOnce) {
  DeviceConfig config;
  config.product_id_after_flash.reset();
  EmulatedDevice device(config);
  EXPECT_EQ(Exchange(device, kEsc + "!g00C"), kEsc + "!g01C");
  EXPECT_TRUE(device.ProgrammingComplete());
  EXPECT_FALSE(device.ReceivingImage());
  EXPECT_EQ(device.ProductId(), "VELMOR TP-200 FW 1.04");
}

class BadStart : public ::testing::TestWithParam<const char*> {};

TEST_P(BadStart, IsRefusedWithZeroAtIndexFour) {
  DeviceConfig config;
  config.max_image_bytes = 1000;
  EmulatedDevice device(config);
  EXPECT_EQ(Exchange(device, kEsc + "!g" + GetParam() + "C"), kEsc + "!g00C");
  EXPECT_FALSE(device.ReceivingImage());
}

INSTANTIATE_TEST_SUITE_P(Params, BadStart,
                         ::testing::Values("0", "1300", "0abc", "01001", "012345678901"),
                         NameBy([](const char* size) { return std::string(size); }));

TEST(EmulatedDevice, HoldsCtsOffForTheBusyTimeAfterEachPiece) {
  DeviceConfig config;
  config.busy_per_piece_us = 4000;
  EmulatedDevice device(config);
  Exchange(device, kEsc + "!g0130C");
  EXPECT_TRUE(device.ClearToSend(0));
  const Clock::Micros piece_end = device.ReceiveBytes(std::vector<std::uint8_t>(128, 0x55), 100);
  EXPECT_FALSE(device.ClearToSend(piece_end));
  EXPECT_FALSE(device.ClearToSend(piece_end + 3999));
  EXPECT_TRUE(device.ClearToSend(piece_end + 4000));
  EXPECT_EQ(device.NextClearToSend(piece_end), piece_end + 4000);
  EXPECT_EQ(device.BytesWhileCtsOff(), 0u);

  // The last, partial piece makes the device busy as well; a byte sent anyway is noticed.
  const Clock::Micros last = device.ReceiveBytes({1, 2}, piece_end + 4000);
  EXPECT_FALSE(device.ClearToSend(last));
  EXPECT_EQ(device.PiecesReceived(), 2u);
  EXPECT_TRUE(device.ProgrammingComplete());
  device.ReceiveByte(0x00, device.Format(), last + 1);
  EXPECT_EQ(device.BytesWhileCtsOff(), 1u);
}

struct StuckCase {
  bool from_start;
  std::optional<std::uint32_t> after_pieces;
  std::uint32_t pieces_sent;
  bool cts_on_at_end;
};

void PrintTo(const StuckCase& c, std::ostream* os) {
  *os << (c.from_start ? "StuckFromStart" : "Free") << "_After"
      << (c.after_pieces ? std::to_string(*c.after_pieces) : "Never") << "_Sent" << c.pieces_sent;
}

class CtsStuck : public ::testing::TestWithParam<StuckCase> {};

TEST_P(CtsStuck, NeverComesBack) {
  DeviceFaults faults;
  faults.cts_stuck_off = GetParam().from_start;
  faults.cts_stuck_off_after_pieces = GetParam().after_pieces;
  EmulatedDevice device({}, faults);
  Exchange(device, kEsc + "!g01024C");
  Clock::Micros at = 10;
  for (std::uint32_t i = 0; i < GetParam().pieces_sent; ++i) {
    at = device.ReceiveBytes(std::vector<std::uint8_t>(128, 7), at) + 1'000'000;
  }
  EXPECT_EQ(device.ClearToSend(at), GetParam().cts_on_at_end);
  EXPECT_EQ(device.NextClearToSend(at).has_value(), GetParam().cts_on_at_end);
}

INSTANTIATE_TEST_SUITE_P(Knobs, CtsStuck,
                         ::testing::Values(StuckCase{false, std::nullopt, 3, true},
                                           StuckCase{true, std::nullopt, 0, false},
                                           StuckCase{false, 0u, 0, false},
                                           StuckCase{false, 2u, 1, true},
                                           StuckCase{false, 2u, 2, false}),
                         NameBy([](const StuckCase& c) {
                           const std::string stuck = c.from_start ? "FromStart"
                                                     : c.after_pieces
                                                         ? "After" + std::to_string(*c.after_pieces)
                                                         : "Never";
                           return stuck + "Sent" + std::to_string(c.pieces_sent);
                         }));

TEST(EmulatedDevice, BytesInAnotherFormatAreGarbledAndNeverUnderstood) {
  EmulatedDevice device;
  const LineFormat fast{115200, 8, NOPARITY};
  for (char c : kInquiry) {
    device.ReceiveByte(static_cast<std::uint8_t>(c), fast, 0);
  }
  const LineFormat parity{38400, 8, EVENPARITY};
  device.ReceiveByte('x', parity, 1);
  EXPECT_EQ(device.GarbledBytes(), 6u);
  EXPECT_TRUE(device.Commands().empty());
  EXPECT_TRUE(device.TakeAllOutput(2).empty());

  // A garbled byte in the middle of a command spoils that command only.
  device.ReceiveBytes(Bytes(kEsc + "!e"), 10);
  device.ReceiveByte('0', fast, 20);
  EXPECT_EQ(Exchange(device, "0C" + kInquiry, 30), kEsc + "!e1021VELMOR TP-200 FW 1.04");
  EXPECT_EQ(device.Commands().size(), 1u);
}

TEST(EmulatedDevice, GarbledImageBytesAreStoredAsJunk) {
  EmulatedDevice device;
  Exchange(device, kEsc + "!g02C");
  device.ReceiveByte('A', LineFormat{9600, 8, NOPARITY}, 100);
  device.ReceiveByte('B', device.Format(), 200);
  EXPECT_EQ(device.Image(), (std::vector<std::uint8_t>{kGarbledByte, 'B'}));
  EXPECT_EQ(device.GarbledBytes(), 1u);
}

struct ReplyFaultCase {
  const char* name;
  std::string command;
  DeviceFaults faults;
  std::string reply;
  std::uint32_t speed_after;
  bool receiving_image;
};

using tovrel::case_printing::operator<<;

DeviceFaults With(void (*set)(DeviceFaults&)) {
  DeviceFaults faults;
  set(faults);
  return faults;
}

class ReplyFaults : public ::testing::TestWithParam<ReplyFaultCase> {};

TEST_P(ReplyFaults, ShapeTheReply) {
  EmulatedDevice device({}, GetParam().faults);
  EXPECT_EQ(Exchange(device, GetParam().command), GetParam().reply);
  EXPECT_EQ(device.Speed(), GetParam().speed_after);
  EXPECT_EQ(device.ReceivingImage(), GetParam().receiving_image);
}

const std::string kToFast = kEsc + "!b11520C";
const std::string kStart = kEsc + "!g0200C";
const std::string kId = "VELMOR TP-200 FW 1.04";

INSTANTIATE_TEST_SUITE_P(
    Knobs, ReplyFaults,
    ::testing::Values(
        ReplyFaultCase{"SilentInquiry", kInquiry, With([](DeviceFaults& f) { f.silent = true; }),
                       "", 38400, false},
        ReplyFaultCase{"SilentBaudStillSwitches", kToFast,
                       With([](DeviceFaults& f) { f.silent = true; }), "", 115200, false},
        ReplyFaultCase{"SilentStartStillStarts", kStart,
                       With([](DeviceFaults& f) { f.silent = true; }), "", 38400, true},
        ReplyFaultCase{"InquiryNoReply", kInquiry,
                       With([](DeviceFaults& f) { f.inquiry = ReplyFault::kNoReply; }), "", 38400,
                       false},
        ReplyFaultCase{"InquiryWrong", kInquiry,
                       With([](DeviceFaults& f) { f.inquiry = ReplyFault::kWrongReply; }),
                       "X!e1021" + kId, 38400, false},
        ReplyFaultCase{"InquiryShort", kInquiry, With([](DeviceFaults& f) {
                         f.inquiry = ReplyFault::kShortReply;
                         f.short_reply_missing_bytes = 23;
                       }),
                       kEsc + "!e10", 38400, false},
        ReplyFaultCase{"InquiryCountText", kInquiry, With([](DeviceFaults& f) {
                         f.inquiry_count_text = "-05";
                         f.inquiry_text_bytes = 3;
                       }),
                       kEsc + "!e1-05VEL", 38400, false},
        ReplyFaultCase{"InquiryCountPaddedTextPadded", kInquiry, With([](DeviceFaults& f) {
                         f.inquiry_count_text = "9";
                         f.inquiry_text_bytes = 24;
                       }),
                       kEsc + "!e19  " + kId + "...", 38400, false},
        ReplyFaultCase{"InquiryFewerTextBytesThanCounted", kInquiry,
                       With([](DeviceFaults& f) { f.inquiry_text_bytes = 6; }),
                       kEsc + "!e1021VELMOR", 38400, false},
        ReplyFaultCase{"BaudNoReplyStillSwitches", kToFast,
                       With([](DeviceFaults& f) { f.baud = ReplyFault::kNoReply; }), "", 115200,
                       false},
        ReplyFaultCase{"BaudWrongReplyYetSwitches", kToFast,
                       With([](DeviceFaults& f) { f.baud = ReplyFault::kWrongReply; }), kRefused,
                       115200, false},
        ReplyFaultCase{"BaudShortReply", kToFast,
                       With([](DeviceFaults& f) { f.baud = ReplyFault::kShortReply; }),
                       kEsc + "!b1", 115200, false},
        ReplyFaultCase{"BaudRefused", kToFast,
                       With([](DeviceFaults& f) { f.refuse_rate_change = true; }), kRefused, 38400,
                       false},
        ReplyFaultCase{"StartNoReply", kStart,
                       With([](DeviceFaults& f) { f.start = ReplyFault::kNoReply; }), "", 38400,
                       true},
        ReplyFaultCase{"StartWrongReplyDoesNotStart", kStart,
                       With([](DeviceFaults& f) { f.start = ReplyFault::kWrongReply; }),
                       kEsc + "!g00C", 38400, false},
        ReplyFaultCase{"StartShortReply", kStart, With([](DeviceFaults& f) {
                         f.start = ReplyFault::kShortReply;
                         f.short_reply_missing_bytes = 2;
                       }),
                       kEsc + "!g0", 38400, true},
        ReplyFaultCase{"NulsInsideReplies", kToFast,
                       With([](DeviceFaults& f) { f.reply_nuls = 2; }),
                       std::string("\x1b\0\0!\0\0b\0\0"
                                   "1\0\0C",
                                   13),
                       115200, false}),
    CaseName());

TEST(EmulatedDevice, ReplyDelayPostponesTheFirstByte) {
  DeviceFaults faults;
  faults.reply_delay_us = 16'000'000;
  EmulatedDevice device({}, faults);
  const Clock::Micros done = device.ReceiveBytes(Bytes(kInquiry), 500);
  EXPECT_EQ(device.NextOutputReady(), done + 16'000'000);
}

TEST(EmulatedDevice, FaultsChangedLaterApplyToLaterCommands) {
  EmulatedDevice device;
  EXPECT_EQ(Exchange(device, kToFast), kAck);
  device.Faults().refuse_rate_change = true;
  EXPECT_EQ(Exchange(device, kEsc + "!b3840C"), kRefused);
  EXPECT_EQ(device.Speed(), 115200u);
  ASSERT_EQ(device.Commands().size(), 2u);
  EXPECT_EQ(device.Commands()[1].baud, 115200u);
}

}  // namespace
}  // namespace tovrel
