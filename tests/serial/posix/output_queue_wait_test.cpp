#include "serial/posix/output_queue_wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

#include "tests/support/case_name.h"

namespace tovrel::posix_serial {
namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// A UART's output queue on virtual time: `total` bytes queued at time 0 leave at the line's
// exact rate (10 bit times a byte, not rounded to whole microseconds) while CTS is on; CTS goes off
// once `hold_after` bytes have left, for `hold_micros`. The driver may report its count only in
// whole packets (as USB adapters do).
class LineQueue final : public OutputQueue {
 public:
  LineQueue(std::uint32_t total, std::uint32_t baud, std::uint32_t hold_after,
            std::uint64_t hold_micros, std::uint32_t packet)
      : total_(total), baud_(baud), hold_after_(hold_after), hold_(hold_micros), packet_(packet) {}

  bool Queued(std::uint32_t& bytes) override {
    ++looks;
    const std::uint32_t left = total_ - Sent(now);
    bytes = (left + packet_ - 1) / packet_ * packet_;
    return true;
  }
  std::uint64_t NowMicros() override { return now; }
  void SleepMicros(std::uint64_t micros) override { now += micros; }

  // When the last byte left the line; kNever when it never does.
  std::uint64_t LastByteLeftAt() const {
    const std::uint64_t line_time = LineTime(total_);
    if (hold_after_ >= total_) {
      return line_time;
    }
    return hold_ == kNever ? kNever : line_time + hold_;
  }

  std::uint64_t now = 0;
  int looks = 0;

 private:
  std::uint32_t Sent(std::uint64_t t) const {
    const std::uint64_t hold_starts = LineTime(hold_after_);
    std::uint64_t moving = t;
    if (hold_after_ < total_ && t > hold_starts) {
      moving = t - hold_starts < hold_ ? hold_starts : t - hold_;
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(moving * baud_ / 10'000'000, total_));
  }
  // When the last of `bytes` leaves, rounded up to the microsecond.
  std::uint64_t LineTime(std::uint32_t bytes) const {
    return (std::uint64_t{bytes} * 10'000'000 + baud_ - 1) / baud_;
  }

  std::uint32_t total_;
  std::uint64_t baud_;
  std::uint32_t hold_after_;
  std::uint64_t hold_;
  std::uint32_t packet_;
};

struct PacingCase {
  const char* name;
  std::uint32_t baud;
  std::uint32_t hold_after;  // >= 128: no hold
  std::uint64_t hold_micros;
  std::uint32_t packet;
  std::uint64_t max_idle_micros;  // from the last byte's end to the wait's end
  int max_looks;
};

class OutputQueuePacing : public ::testing::TestWithParam<PacingCase> {};

// One 128-byte piece: the wait ends within a byte time or two of the line falling idle, with a
// handful of looks, and a hold costs looks that grow with its log, not its length.
TEST_P(OutputQueuePacing, EndsSoonAfterTheLastByteWithFewLooks) {
  const PacingCase& c = GetParam();
  LineQueue queue(128, c.baud, c.hold_after, c.hold_micros, c.packet);
  const QueueWaitResult result = WaitForOutputToLeave(queue, c.baud, 60'000'000);
  EXPECT_EQ(result.state, QueueState::kEmpty);
  ASSERT_GE(queue.now, queue.LastByteLeftAt());
  EXPECT_LE(queue.now - queue.LastByteLeftAt(), c.max_idle_micros);
  EXPECT_LE(queue.looks, c.max_looks);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OutputQueuePacing,
    ::testing::Values(PacingCase{"At38400", 38400, 128, 0, 1, 0, 2},
                      PacingCase{"At9600", 9600, 128, 0, 1, 0, 2},
                      PacingCase{"CountInPacketsOf64", 38400, 128, 0, 64, 261, 3},
                      PacingCase{"CtsOff50msMidPiece", 38400, 64, 50'000, 1, 10'000, 16},
                      PacingCase{"CtsOff5sMidPiece", 38400, 64, 5'000'000, 1, 10'000, 520}),
    CaseName());

TEST(OutputQueueWait, AQueueThatNeverMovesGivesUpAtTheDeadlineWithWhatIsLeft) {
  LineQueue queue(128, 38400, 100, kNever, 1);
  const QueueWaitResult result = WaitForOutputToLeave(queue, 38400, 2'000'000);
  EXPECT_EQ(result.state, QueueState::kStuck);
  EXPECT_EQ(result.left, 28u);
  EXPECT_EQ(queue.now, 2'000'000u);
  EXPECT_LE(queue.looks, 2'000'000 / 10'000 + 12);
}

TEST(OutputQueueWait, ADriverThatCannotTellIsTakenAtItsWord) {
  class Silent final : public OutputQueue {
   public:
    bool Queued(std::uint32_t&) override { return false; }
    std::uint64_t NowMicros() override { return 0; }
    void SleepMicros(std::uint64_t) override { ADD_FAILURE() << "slept"; }
  } queue;
  EXPECT_EQ(WaitForOutputToLeave(queue, 38400, 1000).state, QueueState::kUnknown);
}

}  // namespace
}  // namespace tovrel::posix_serial
