#include "app/device_commands.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/case_name.h"

namespace tovrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const CommandBytes& command) {
  return Bytes(command.data(), command.data() + command.size());
}

Bytes BytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

const std::string kEscText = "\x1b";

struct CommandCase {
  const char* name;
  CommandBytes command;
  std::string expected;
};

class CommandBytesCases : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandBytesCases, ByteForByte) {
  const CommandCase& c = GetParam();
  EXPECT_EQ(BytesOf(c.command), BytesOf(c.expected));
  EXPECT_EQ(c.command.size(), c.expected.size());
  EXPECT_LE(c.command.size(), CommandBytes::kCapacity);
  // The text form carries the same bytes and ends in a zero that is not counted.
  EXPECT_EQ(std::strlen(c.command.text()), c.command.size());
  EXPECT_EQ(c.command.data()[c.command.size()], 0);
  EXPECT_TRUE(c.command == c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandBytesCases,
    ::testing::Values(
        CommandCase{"Inquiry", MakeInquiryCommand(), "\x1b!e0C"},
        CommandCase{"BaudDown", MakeBaudRateCommand(kTransferBaudRate), kEscText + "!b38400C"},
        CommandCase{"BaudBack115200", MakeBaudRateCommand(BaudRateCommandNumberForReturn(115200)),
                    kEscText + "!b11520C"},
        CommandCase{"BaudBack230400", MakeBaudRateCommand(BaudRateCommandNumberForReturn(230400)),
                    kEscText + "!b23040C"},
        CommandCase{"BaudZero", MakeBaudRateCommand(0), kEscText + "!b0C"},
        CommandCase{"BaudWidest", MakeBaudRateCommand(4294967295u), kEscText + "!b4294967295C"},
        CommandCase{"Start300", MakeStartProgrammingCommand(300), kEscText + "!g0300C"},
        CommandCase{"StartEmpty", MakeStartProgrammingCommand(0), kEscText + "!g00C"},
        CommandCase{"StartRound", MakeStartProgrammingCommand(1000000), kEscText + "!g01000000C"},
        CommandCase{"StartWidest", MakeStartProgrammingCommand(4294967295u),
                    kEscText + "!g04294967295C"}),
    CaseName());

TEST(CommandBytes, KnownLengths) {
  EXPECT_EQ(MakeInquiryCommand().size(), 5u);
  EXPECT_EQ(BytesOf(MakeInquiryCommand()), (Bytes{0x1B, 0x21, 0x65, 0x30, 0x43}));
  EXPECT_EQ(BytesOf(MakeBaudRateCommand(38400)),
            (Bytes{0x1B, 0x21, 0x62, 0x33, 0x38, 0x34, 0x30, 0x30, 0x43}));
  EXPECT_EQ(MakeBaudRateCommand(BaudRateCommandNumberForReturn(115200)).size(), 9u);
  EXPECT_EQ(MakeStartProgrammingCommand(4294967295u).size(), 15u);
  EXPECT_EQ(BaudRateCommandNumberForReturn(9600), 960u);
  EXPECT_EQ(BaudRateCommandNumberForReturn(38400), 3840u);
}

TEST(CommandBytes, NeverGrowsPastCapacity) {
  CommandBytes command;
  for (int i = 0; i < 40; ++i) {
    command.Append(static_cast<std::uint8_t>('x'));
  }
  EXPECT_EQ(command.size(), CommandBytes::kCapacity);
  EXPECT_EQ(std::strlen(command.text()), CommandBytes::kCapacity);
}

const Bytes kAcknowledgement{0x1B, '!', 'b', '1', 'C'};

TEST(IsBaudAcknowledgement, AcceptsOnlyTheExactReply) {
  EXPECT_TRUE(IsBaudAcknowledgement(kAcknowledgement.data(), 5));
  for (std::size_t i = 0; i < kAcknowledgement.size(); ++i) {
    for (const int change : {0x01, 0x20, 0x80}) {
      Bytes reply = kAcknowledgement;
      reply[i] = static_cast<std::uint8_t>(reply[i] ^ change);
      EXPECT_FALSE(IsBaudAcknowledgement(reply.data(), 5)) << "byte " << i;
    }
  }
  const Bytes zero{0x1B, '!', 'b', '0', 'C'};
  EXPECT_FALSE(IsBaudAcknowledgement(zero.data(), 5));
}

TEST(IsBaudAcknowledgement, RefusesWrongLengthsAndNull) {
  Bytes longer = kAcknowledgement;
  longer.push_back('C');
  EXPECT_FALSE(IsBaudAcknowledgement(longer.data(), 6));
  EXPECT_FALSE(IsBaudAcknowledgement(kAcknowledgement.data(), 4));
  EXPECT_FALSE(IsBaudAcknowledgement(kAcknowledgement.data(), 0));
  EXPECT_FALSE(IsBaudAcknowledgement(nullptr, 5));
}

struct StartCase {
  const char* name;
  Bytes reply;
  bool accepted;
};

class StartReplies : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartReplies, JudgedByIndexFour) {
  const StartCase& c = GetParam();
  EXPECT_EQ(IsStartAccepted(c.reply.data(), static_cast<std::uint32_t>(c.reply.size())),
            c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StartReplies,
    ::testing::Values(StartCase{"One", {0x1B, '!', 'g', '0', '1', 'C'}, true},
                      StartCase{"OneAmidJunk", {0xFF, 0x00, 'z', 0x7F, '1', 0xAA}, true},
                      StartCase{"Zero", {0x1B, '!', 'g', '0', '0', 'C'}, false},
                      StartCase{"OneElsewhere", {'1', '1', '1', '1', '2', '1'}, false},
                      StartCase{"FiveBytes", {0, 0, 0, 0, '1'}, true},
                      StartCase{"TooShort", {'1', '1', '1', '1'}, false},
                      StartCase{"Empty", {}, false}),
    CaseName());

TEST(IsStartAccepted, NullRefused) {
  EXPECT_FALSE(IsStartAccepted(nullptr, 6));
}

struct CountCase {
  const char* name;
  std::array<std::uint8_t, 3> field;  // header bytes 4..6
  std::int32_t count;
  std::uint32_t toRead;
};

class IdentificationCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(IdentificationCount, FromHeaderBytesFourToSix) {
  const CountCase& c = GetParam();
  // Bytes 0..3 are never examined; the header is exactly 7 bytes so a look past it would be seen
  // by the sanitizer.
  std::array<std::uint8_t, kInquiryHeaderBytes> header{'9', '9', '-', ' '};
  std::copy(c.field.begin(), c.field.end(), header.begin() + 4);
  auto exact = std::make_unique<std::uint8_t[]>(kInquiryHeaderBytes);
  std::copy(header.begin(), header.end(), exact.get());
  EXPECT_EQ(ReadIdentificationCount(exact.get()), c.count);
  EXPECT_EQ(IdentificationBytesToRead(c.count), c.toRead);
}

INSTANTIATE_TEST_SUITE_P(Headers, IdentificationCount,
                         ::testing::Values(CountCase{"Twelve", {'0', '1', '2'}, 12, 12},
                                           CountCase{"LeadingBlanks", {' ', ' ', '5'}, 5, 5},
                                           CountCase{"Letter", {'A', '1', '2'}, 0, 0},
                                           CountCase{"DigitThenLetter", {'4', 'x', '9'}, 4, 4},
                                           CountCase{"Nothing", {0, 0, 0}, 0, 0},
                                           CountCase{"Negative", {'-', '0', '5'}, -5, 0},
                                           CountCase{"Plus", {'+', '9', '6'}, 96, 96},
                                           CountCase{"JustFits", {'0', '9', '6'}, 96, 96},
                                           CountCase{"OneTooMany", {'0', '9', '7'}, 97, 96},
                                           CountCase{"Largest", {'9', '9', '9'}, 999, 96}),
                         CaseName());

TEST(IdentificationBytesToRead, StaysInsideTheBuffer) {
  EXPECT_EQ(kMaxIdentificationBytes, 96u);
  EXPECT_EQ(kInquiryHeaderBytes + kMaxIdentificationBytes + 1, kInquiryBufferBytes);
  EXPECT_EQ(IdentificationBytesToRead(INT32_MIN), 0u);
  EXPECT_EQ(IdentificationBytesToRead(INT32_MAX), kMaxIdentificationBytes);
  EXPECT_EQ(IdentificationBytesToRead(1), 1u);
  EXPECT_EQ(ReadIdentificationCount(nullptr), 0);
}

}  // namespace
}  // namespace tovrel
