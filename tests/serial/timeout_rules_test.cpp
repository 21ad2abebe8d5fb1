#include "serial/timeout_rules.h"

#include <gtest/gtest.h>

#include "tests/support/case_name.h"
#include "tests/support/line_states.h"

#include <string>
#include <vector>

namespace tovrel {
namespace {

constexpr std::uint64_t kCap = 777;

struct ReadCase {
  const char* name;
  COMMTIMEOUTS timeouts;
  std::uint32_t count;
  ReadMode mode;
  std::uint64_t total_ms;
  std::uint64_t interval_ms;
};

class PlanReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(PlanReadTest, FollowsWin32Rules) {
  const ReadCase& c = GetParam();
  const ReadPlan plan = PlanRead(c.timeouts, c.count, kCap);
  EXPECT_EQ(plan.mode, c.mode);
  if (c.mode != ReadMode::kReturnAtOnce) {
    EXPECT_EQ(plan.total_ms, c.total_ms);
  }
  EXPECT_EQ(plan.interval_ms, c.interval_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanReadTest,
    testing::Values(
        ReadCase{"ReturnAtOnce", ReadTimeouts(kMaxDword, 0, 0), 10, ReadMode::kReturnAtOnce, 0, 0},
        ReadCase{"FirstByte", ReadTimeouts(kMaxDword, kMaxDword, 100), 10,
                 ReadMode::kUntilFirstByte, 100, 0},
        ReadCase{"AllOnesWithoutConstantIsNotFirstByte", ReadTimeouts(kMaxDword, kMaxDword, 0), 2,
                 ReadMode::kUntilCount, 2ull * kMaxDword, 0},
        ReadCase{"TotalOnly", ReadTimeouts(0, 0, 20000), 7, ReadMode::kUntilCount, 20000, 0},
        ReadCase{"PortDefaults", ReadTimeouts(500, 500, 5000), 7, ReadMode::kUntilCount, 8500, 500},
        ReadCase{"NothingSetIsCapped", ReadTimeouts(0, 0, 0), 7, ReadMode::kUntilCount, kCap, 0},
        ReadCase{"IntervalOnlyIsCapped", ReadTimeouts(30, 0, 0), 7, ReadMode::kUntilCount, kCap,
                 30},
        ReadCase{"AllOnesIntervalWithTotalHasNoInterval", ReadTimeouts(kMaxDword, 10, 0), 3,
                 ReadMode::kUntilCount, 30, 0},
        ReadCase{"LargestValuesDoNotWrap", ReadTimeouts(0, kMaxDword, kMaxDword), kMaxDword,
                 ReadMode::kUntilCount, 0xFFFFFFFF00000000ull, 0}),
    CaseName());

struct LimitCase {
  const char* name;
  COMMTIMEOUTS timeouts;
  std::uint64_t count;
  std::uint32_t baud_rate;
  std::uint64_t write_ms;
  std::uint64_t drain_ms;
};

class LimitTest : public testing::TestWithParam<LimitCase> {};

TEST_P(LimitTest, WriteAndDrainLimits) {
  const LimitCase& c = GetParam();
  EXPECT_EQ(WriteLimitMs(c.timeouts, c.count, kCap), c.write_ms);
  EXPECT_EQ(DrainLimitMs(c.timeouts, c.count, c.baud_rate, kCap), c.drain_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LimitTest,
    testing::Values(
        // 128 bytes at 38400 take 34 ms: the time-outs give far more.
        LimitCase{"DevicePiece", WriteTimeouts(200, 10000), 128, 38400, 35600, 35600},
        LimitCase{"NothingSetIsCapped", WriteTimeouts(0, 0), 100, 9600, kCap, kCap},
        // 1000 bytes at 9600 take 1042 ms: the drain gets twice that plus 100 ms.
        LimitCase{"DrainNeverShorterThanTheLine", WriteTimeouts(1, 0), 1000, 9600, 1000, 2184},
        LimitCase{"UnknownSpeedTakenAsSlowest", WriteTimeouts(0, 1), 5, 0, 1, 2100},
        LimitCase{"LargestValuesDoNotWrap", WriteTimeouts(kMaxDword, kMaxDword), kMaxDword, 9600,
                  0xFFFFFFFF00000000ull, 0xFFFFFFFF00000000ull}),
    CaseName());

struct NulCase {
  std::string input;
  std::string kept;
};

class DropNulBytesTest : public testing::TestWithParam<NulCase> {};

TEST_P(DropNulBytesTest, KeepsTheOtherBytesInOrder) {
  std::vector<std::uint8_t> bytes(GetParam().input.begin(), GetParam().input.end());
  const std::size_t kept = DropNulBytes(bytes.data(), bytes.size());
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept)),
            GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, DropNulBytesTest,
                         testing::Values(NulCase{"", ""}, NulCase{std::string("\0\0", 2), ""},
                                         NulCase{std::string("A\0B\0\0C", 6), "ABC"},
                                         NulCase{std::string("\0\x01\xFF", 3), "\x01\xFF"},
                                         NulCase{"ABC", "ABC"}),
                         NameBy([](const NulCase& c) { return c.input; }));

}  // namespace
}  // namespace tovrel
