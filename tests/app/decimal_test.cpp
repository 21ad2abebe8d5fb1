#include "app/decimal.h"
#include "tests/support/case_name.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tovrel {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

struct DecimalCase {
  const char* text;
  std::int32_t expected;
};

class ParseDecimalText : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(ParseDecimalText, ReadsAsExpected) {
  EXPECT_EQ(ParseDecimal(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

TEST_P(ParseDecimalText, BoundedReadingAgrees) {
  const std::string text = GetParam().text;
  EXPECT_EQ(ParseDecimal(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
            GetParam().expected)
      << '"' << text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDecimalText,
    ::testing::Values(DecimalCase{"", 0}, DecimalCase{"0", 0}, DecimalCase{"38400", 38400},
                      DecimalCase{"007", 7}, DecimalCase{" \t\n\v\f\r115200", 115200},
                      DecimalCase{" +115200", 115200}, DecimalCase{"-9600", -9600},
                      DecimalCase{"+", 0}, DecimalCase{"-", 0}, DecimalCase{"+-5", 0},
                      DecimalCase{"--5", 0}, DecimalCase{"- 5", 0}, DecimalCase{"abc", 0},
                      DecimalCase{"x9600", 0}, DecimalCase{"115200abc", 115200},
                      DecimalCase{"12 34", 12}, DecimalCase{"3.9", 3},
                      DecimalCase{"2147483647", kMax}, DecimalCase{"2147483648", kMin},
                      DecimalCase{"-2147483648", kMin}, DecimalCase{"-2147483649", kMax},
                      DecimalCase{"4294967295", -1}, DecimalCase{"4294967296", 0},
                      DecimalCase{"4294967297", 1}, DecimalCase{"-4294967296", 0},
                      // 10^20 = 0x56BC75E2D63100000, whose low 32 bits are 0x63100000.
                      DecimalCase{"100000000000000000000", 0x63100000},
                      DecimalCase{"00000000000000000000000000000000009600", 9600}),
    NameBy([](const DecimalCase& c) { return std::string(c.text); }));

TEST(ParseDecimal, NullReadsAsZero) {
  EXPECT_EQ(ParseDecimal(nullptr), 0);
  EXPECT_EQ(ParseDecimal(static_cast<const std::uint8_t*>(nullptr), 5), 0);
}

TEST(ParseDecimal, VeryLongDigitRunWrapsWithoutTrouble) {
  // 2^32 divides 10^32, so a 1 followed by 32 or more zeros wraps to exactly 0.
  const std::string text = "1" + std::string(5000, '0');
  EXPECT_EQ(ParseDecimal(text.c_str()), 0);
  // 10^40 - 1 is congruent to -1 modulo 2^32, and its negation to 1.
  EXPECT_EQ(ParseDecimal(std::string(40, '9').c_str()), -1);
  EXPECT_EQ(ParseDecimal(("-" + std::string(40, '9')).c_str()), 1);
}

struct BoundedCase {
  std::vector<std::uint8_t> bytes;
  std::size_t length;
  std::int32_t expected;
};

class ParseDecimalBounded : public ::testing::TestWithParam<BoundedCase> {};

TEST_P(ParseDecimalBounded, StopsAtLength) {
  // The run is copied into storage of exactly `length` bytes so that the sanitizer catches any
  // look past its end.
  const BoundedCase& c = GetParam();
  std::vector<std::uint8_t> exact(c.bytes.begin(),
                                  c.bytes.begin() + static_cast<std::ptrdiff_t>(c.length));
  exact.shrink_to_fit();
  const std::uint8_t* data = exact.empty() ? c.bytes.data() : exact.data();
  EXPECT_EQ(ParseDecimal(data, c.length), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDecimalBounded,
    ::testing::Values(BoundedCase{{'1', '2', '3', '4'}, 3, 123}, BoundedCase{{'1', '2'}, 0, 0},
                      BoundedCase{{' ', ' ', ' ', '7'}, 3, 0},
                      BoundedCase{{'-', '0', '5', '9'}, 3, -5}, BoundedCase{{'9', 0, '9'}, 3, 9},
                      BoundedCase{{'+'}, 1, 0}, BoundedCase{{0xB5, '1'}, 2, 0}),
    NameBy([](const BoundedCase& c) {
      return std::string(c.bytes.begin(), c.bytes.end()) + "/" + std::to_string(c.length);
    }));

}  // namespace
}  // namespace tovrel
