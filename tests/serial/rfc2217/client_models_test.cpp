// The client's two pure models: the estimate of the far line and the matching of replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/rfc2217/awaited_replies.h"
#include "serial/rfc2217/far_line_estimate.h"
#include "tests/support/case_name.h"

namespace tovrel::rfc2217 {
namespace {

constexpr std::uint64_t kMs = 1000;  // the estimate counts in microseconds

TEST(FarLineEstimate, BytesTakeTenBitTimesAndTheTimeStandsStillWhileHeld) {
  FarLineEstimate line;
  line.Account(96, 9600, 0);  // 100 ms
  EXPECT_EQ(line.Left(40 * kMs), 60 * kMs);
  EXPECT_EQ(line.BytesLeft(9600, 40 * kMs), 58u);  // 57.6 rounds up
  line.Account(96, 9600, 40 * kMs);                // queued behind the first
  EXPECT_EQ(line.IdleAt(), 200 * kMs);

  // Held 50 ms in: 144 bytes still to go; the first of them is under way and finishes.
  line.SetHeld(true, 9600, 50 * kMs);
  EXPECT_EQ(line.Left(5000 * kMs), 148958u);  // 143 bytes of 1041.67 us
  line.Account(48, 9600, 6000 * kMs);         // written while held: waits too
  line.SetHeld(false, 9600, 7000 * kMs);
  EXPECT_EQ(line.IdleAt(), 7000 * kMs + 148958 + 50 * kMs);

  line.Account(96, 0, 8000 * kMs);  // an unknown rate counts as 9600
  line.Discard(8010 * kMs);
  EXPECT_TRUE(line.Idle(8010 * kMs));
  EXPECT_EQ(line.BytesLeft(9600, 8010 * kMs), 0u);
}

TEST(FarLineEstimate, AHoldAtTheStartOfAByteLetsThatByteGo) {
  FarLineEstimate line;
  line.Account(2, 115200, 0);  // 86 us a byte
  line.SetHeld(true, 115200, 0);
  EXPECT_EQ(line.Left(0), 86u);  // the second byte waits, the first is under way
  line.SetHeld(false, 115200, 1000);
  line.Account(1, 115200, 2000);
  line.SetHeld(true, 115200, 2000);
  EXPECT_TRUE(line.Idle(2000));
}

TEST(FarLineEstimate, BytesLeftCannotOverflowOnAnEndlessHold) {
  FarLineEstimate line;
  line.SetHeld(true, 300, 0);
  line.Account(0xFFFFFFFFu, 300, 0);
  line.Account(0xFFFFFFFFu, 300, 0);
  EXPECT_EQ(line.BytesLeft(300, 0), 2 * std::uint64_t{0xFFFFFFFFu});
}

struct ReplyCase {
  const char* name;
  std::vector<std::uint8_t> replies;  // SET-CONTROL values the server sends, in order
  bool settled;
  bool contradicted;
};

class AwaitedControls : public ::testing::TestWithParam<ReplyCase> {};

// The line state's SET-CONTROL batch: no flow, hardware flow, inbound hardware (optional), DTR
// off, RTS on.
TEST_P(AwaitedControls, MatchBySubjectAndValue) {
  AwaitedReplies awaited;
  for (std::uint8_t value : {kControlNoFlow, kControlHardwareFlow}) {
    awaited.Await(ComPortCommand::kSetControl, {value});
  }
  awaited.Await(ComPortCommand::kSetControl, {kControlInboundHardwareFlow}, true);
  awaited.Await(ComPortCommand::kSetControl, {kControlDtrOff});
  awaited.Await(ComPortCommand::kSetControl, {kControlRtsOn});
  for (std::uint8_t value : GetParam().replies) {
    ComPortMessage message;
    message.command = ComPortCommand::kSetControl;
    message.value = {value};
    awaited.Take(message);
  }
  EXPECT_EQ(awaited.Settled(), GetParam().settled);
  EXPECT_EQ(awaited.Contradicted(), GetParam().contradicted);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AwaitedControls,
    ::testing::Values(ReplyCase{"EchoedInOrder", {1, 3, 16, 9, 11}, true, false},
                      ReplyCase{"InboundNeverAnswered", {1, 3, 9, 11}, true, false},
                      ReplyCase{"InboundAnsweredOtherwise", {1, 3, 14, 9, 11}, true, false},
                      ReplyCase{"OutOfOrder", {11, 9, 3, 1}, true, false},
                      ReplyCase{"RtsLeftOff", {1, 3, 9, 12}, true, true},
                      ReplyCase{"DtrAnsweredWithRtsMissing", {1, 3, 9}, false, false},
                      ReplyCase{"LateBreakReplyIsNoAnswer", {6, 1, 3, 9, 11}, true, false},
                      ReplyCase{"HardwareFlowRefused", {1, 1, 9, 11}, true, true},
                      // Both flow requests carried out before either is answered.
                      ReplyCase{"FlowAnsweredWithTheStateInForce", {3, 3, 14, 9, 11}, true, false},
                      ReplyCase{"FlowOffAnsweredWithTheStateInForce", {3, 9, 11}, false, false}),
    CaseName());

}  // namespace
}  // namespace tovrel::rfc2217
