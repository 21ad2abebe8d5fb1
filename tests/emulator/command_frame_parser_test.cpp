#include "emulator/command_frame_parser.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/case_name.h"

namespace tovrel {
namespace {

struct ParseCase {
  const char* name;
  std::string input;
  std::vector<std::string> frames;
  std::uint32_t ignored;
};

using tovrel::case_printing::operator<<;

std::vector<std::string> FramesOf(const std::string& input, std::uint32_t& ignored) {
  CommandFrameParser parser;
  std::vector<std::string> frames;
  for (char c : input) {
    if (auto frame = parser.Feed(static_cast<std::uint8_t>(c))) {
      frames.emplace_back(frame->begin(), frame->end());
    }
  }
  ignored = parser.IgnoredBytes();
  return frames;
}

class FrameParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FrameParsing, FindsTheFramesAndCountsTheRest) {
  std::uint32_t ignored = 0;
  EXPECT_EQ(FramesOf(GetParam().input, ignored), GetParam().frames);
  EXPECT_EQ(ignored, GetParam().ignored);
}

const std::string kEsc = "\x1b";

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameParsing,
    ::testing::Values(
        ParseCase{"Plain", kEsc + "!e0C", {kEsc + "!e0C"}, 0},
        ParseCase{"NoiseAround", "xy" + kEsc + "!b38400C" + "zz", {kEsc + "!b38400C"}, 4},
        ParseCase{"EscRestarts", kEsc + "!b38" + kEsc + "!e0C", {kEsc + "!e0C"}, 5},
        ParseCase{"EscWithoutBang", kEsc + "e0C" + kEsc + "!e0C", {kEsc + "!e0C"}, 4},
        ParseCase{"LetterCDoesNotEnd", kEsc + "!C0C", {kEsc + "!C0C"}, 0},
        ParseCase{"ShortestFrame", kEsc + "!bC", {kEsc + "!bC"}, 0},
        ParseCase{"TwoInARow", kEsc + "!e0C" + kEsc + "!g00C", {kEsc + "!e0C", kEsc + "!g00C"}, 0},
        ParseCase{"TooLong",
                  kEsc + "!b" + std::string(40, '1') + "C" + kEsc + "!e0C",
                  {kEsc + "!e0C"},
                  44}),
    CaseName());

TEST(FrameParser, ResetDropsTheFrameInProgress) {
  CommandFrameParser parser;
  for (char c : std::string("\x1b!e0")) {
    parser.Feed(static_cast<std::uint8_t>(c));
  }
  parser.Reset();
  EXPECT_FALSE(parser.Feed('C').has_value());
  EXPECT_EQ(parser.IgnoredBytes(), 5u);
}

}  // namespace
}  // namespace tovrel
