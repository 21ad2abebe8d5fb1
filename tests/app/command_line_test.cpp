#include "app/command_line.h"

#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/case_name.h"
#include "tests/support/test_files.h"

namespace tovrel {
namespace {

// main's vector must be accepted as it is.
static_assert(std::is_convertible_v<char**, const char* const*>);

const std::string kUsage = WithPlatformLineEnds(testing::kUsageText);
const std::string kBadRate = kUsage + WithPlatformLineEnds(testing::kValidRatesText);

struct ArgumentCase {
  const char* name;
  std::vector<const char*> args;  // after the program's name
  bool accepted;
  std::int32_t rate;          // when accepted
  const std::string* output;  // the exact output, nullptr for none
};

class CheckArgumentsCases : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(CheckArgumentsCases, AcceptsOrExplains) {
  const ArgumentCase& c = GetParam();
  std::vector<const char*> argv{"tovrel"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);  // as main receives it

  StringSink sink;
  UpdateArguments accepted;
  bool result = false;
  {
    Console console(sink, false);
    result = CheckArguments(argc, argv.data(), console, accepted);
  }
  EXPECT_EQ(sink.text, c.output == nullptr ? std::string() : *c.output);
  ASSERT_EQ(result, c.accepted);
  if (c.accepted) {
    EXPECT_EQ(accepted.firmwareFile, argv[1]);  // the caller's own text, unchanged
    EXPECT_EQ(accepted.portName, argv[2]);
    EXPECT_EQ(accepted.baudRate, c.rate);
  } else {
    EXPECT_EQ(accepted.firmwareFile, nullptr);  // untouched on rejection
    EXPECT_EQ(accepted.portName, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckArgumentsCases,
    ::testing::Values(
        ArgumentCase{"NoArguments", {}, false, 0, &kUsage},
        ArgumentCase{"OneArgument", {"a.bin"}, false, 0, &kUsage},
        ArgumentCase{"TwoArguments", {"a.bin", "COM2"}, true, 38400, nullptr},
        ArgumentCase{"Rate9600", {"a.bin", "COM2", "9600"}, true, 9600, nullptr},
        ArgumentCase{"Rate38400", {"a.bin", "COM2", "38400"}, true, 38400, nullptr},
        ArgumentCase{"Rate115200", {"a.bin", "COM2", "115200"}, true, 115200, nullptr},
        ArgumentCase{"Rate230400", {"a.bin", "COM2", "230400"}, true, 230400, nullptr},
        ArgumentCase{"BlankAndPlus", {"a.bin", "COM2", " +115200"}, true, 115200, nullptr},
        ArgumentCase{"TrailingLetters", {"a.bin", "COM2", "115200abc"}, true, 115200, nullptr},
        ArgumentCase{"Rate300", {"a.bin", "COM2", "300"}, false, 0, &kBadRate},
        ArgumentCase{"Letters", {"a.bin", "COM2", "fast"}, false, 0, &kBadRate},
        ArgumentCase{"Empty", {"a.bin", "COM2", ""}, false, 0, &kBadRate},
        ArgumentCase{"Negative", {"a.bin", "COM2", "-9600"}, false, 0, &kBadRate},
        // 2^32 + 9600 wraps round to 9600.
        ArgumentCase{"Wrapped", {"a.bin", "COM2", "4294976896"}, true, 9600, nullptr},
        ArgumentCase{"FourArguments", {"a.bin", "COM2", "9600", "x"}, true, 38400, nullptr},
        ArgumentCase{"FourWithBadRate", {"a.bin", "COM2", "300", "x"}, true, 38400, nullptr}),
    CaseName());

TEST(CheckArguments, MissingVectorIsTooFewArguments) {
  const char* const only_name[] = {"tovrel", nullptr};
  const char* const holes[] = {"tovrel", "a.bin", nullptr, nullptr};
  struct {
    int argc;
    const char* const* argv;
  } const cases[] = {{0, nullptr}, {0, only_name}, {3, nullptr}, {-1, only_name}, {3, holes}};
  for (const auto& c : cases) {
    StringSink sink;
    UpdateArguments accepted;
    {
      Console console(sink, true);
      EXPECT_FALSE(CheckArguments(c.argc, c.argv, console, accepted)) << c.argc;
    }
    EXPECT_EQ(sink.text, kUsage) << c.argc;
  }
}

TEST(CheckArguments, TakesMainsVector) {
  char program[] = "tovrel";
  char file[] = "image.bin";
  char port[] = "COM7";
  char rate[] = "230400";
  char* argv[] = {program, file, port, rate, nullptr};
  StringSink sink;
  Console console(sink, true);
  UpdateArguments accepted;
  ASSERT_TRUE(CheckArguments(4, argv, console, accepted));
  EXPECT_STREQ(accepted.firmwareFile, "image.bin");
  EXPECT_STREQ(accepted.portName, "COM7");
  EXPECT_EQ(accepted.baudRate, 230400);
}

TEST(IsAcceptedBaudRate, OnlyTheFourRates) {
  for (const std::int32_t rate : {9600, 38400, 115200, 230400}) {
    EXPECT_TRUE(IsAcceptedBaudRate(rate)) << rate;
  }
  for (const std::int32_t rate : {0, -9600, 300, 1200, 19200, 57600, 38401, 460800}) {
    EXPECT_FALSE(IsAcceptedBaudRate(rate)) << rate;
  }
  EXPECT_TRUE(IsAcceptedBaudRate(kDefaultBaudRate));
}

TEST(PrintUsage, FourSeparateMessages) {
  class CountingSink final : public OutputSink {
   public:
    void Write(const char*, std::size_t) override { ++writes; }
    int writes = 0;
  } sink;
  Console console(sink, true);
  PrintUsage(console);
  EXPECT_EQ(sink.writes, 4);
}

}  // namespace
}  // namespace tovrel
