#include "app/console.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/case_name.h"

namespace tovrel {
namespace {

// Keeps every write apart, so tests can see when and in what pieces output left the Console.
class RecordingSink final : public OutputSink {
 public:
  void Write(const char* bytes, std::size_t count) override { writes.emplace_back(bytes, count); }
  void Flush() override { ++flushes; }

  std::string All() const {
    std::string all;
    for (const std::string& w : writes) {
      all += w;
    }
    return all;
  }

  std::vector<std::string> writes;
  int flushes = 0;
};

TEST(LineEnds, PlatformTextMode) {
#ifdef _WIN32
  EXPECT_STREQ(kLineEnd, "\r\n");
#else
  EXPECT_STREQ(kLineEnd, "\n");
#endif
  const std::string end = kLineEnd;
  EXPECT_EQ(WithPlatformLineEnds("a\nb\n\n"), "a" + end + "b" + end + end);
  EXPECT_EQ(WithPlatformLineEnds("no line end\b\b"), "no line end\b\b");
  EXPECT_EQ(WithPlatformLineEnds(""), "");
}

TEST(Console, WriteThroughSendsEachMessageAtOnce) {
  RecordingSink sink;
  Console console(sink, true);
  console.Print("Product ID: %s\n", "VX-200");
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0], WithPlatformLineEnds("Product ID: VX-200\n"));
  EXPECT_GE(sink.flushes, 1);
  console.Print("%3d%%", 7);
  ASSERT_EQ(sink.writes.size(), 2u);
  EXPECT_EQ(sink.writes[1], "  7%");
}

TEST(Console, ToAFileEachLineGoesOutAtItsEnd) {
  RecordingSink sink;
  Console console(sink, false);
  console.Print("Product ID: %s\n", "VX-200");
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_EQ(sink.writes[0], WithPlatformLineEnds("Product ID: VX-200\n"));
  EXPECT_EQ(sink.flushes, 1);

  // A progress step has no line end: it waits for Flush(), which the update calls after it.
  console.Print("\nProgramming - %3d%%", 0);
  ASSERT_EQ(sink.writes.size(), 2u);
  EXPECT_EQ(sink.writes[1], kLineEnd);
  console.Print("\b\b\b\b%3d%%", 50);
  EXPECT_EQ(sink.writes.size(), 2u);
  console.Flush();
  ASSERT_EQ(sink.writes.size(), 3u);
  EXPECT_EQ(sink.writes[2], "Programming -   0%\b\b\b\b 50%");
  EXPECT_EQ(sink.flushes, 3);

  console.Print("\b\b\b\b%3d%%\nFlash update failed, %d bytes transferred.\n", 100, 1024);
  ASSERT_EQ(sink.writes.size(), 4u);
  EXPECT_EQ(sink.writes[3],
            WithPlatformLineEnds("\b\b\b\b100%\nFlash update failed, 1024 bytes transferred.\n"));
  console.Flush();  // nothing more to say
  EXPECT_EQ(sink.writes.size(), 4u);
}

TEST(Console, DestructionFlushes) {
  StringSink sink;
  {
    Console console(sink, false);
    console.Print("Programming - %3d%%", 0);
    EXPECT_TRUE(sink.text.empty());
  }
  EXPECT_EQ(sink.Text(), "Programming -   0%");
}

TEST(Console, LongMessagesAreNeitherTruncatedNorLost) {
  const std::string body(3 * 4096 + 123, 'x');
  const std::string expected = WithPlatformLineEnds("[" + body + "]\n");
  for (const bool write_through : {true, false}) {
    RecordingSink sink;
    {
      Console console(sink, write_through);
      console.Print("[%s]\n", body.c_str());
      EXPECT_EQ(sink.All(), expected) << "write_through " << write_through;
    }
    EXPECT_EQ(sink.All(), expected) << "write_through " << write_through;
  }
}

struct FormatCase {
  const char* name;
  std::string printed;
  std::string expected;
};

std::string Printed(void (*print)(Console&)) {
  StringSink sink;
  {
    Console console(sink, true);
    print(console);
  }
  return sink.text;
}

class ConsoleFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ConsoleFormat, ProducesExactBytes) {
  EXPECT_EQ(GetParam().printed, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConsoleFormat,
    ::testing::Values(
        FormatCase{"Percent", Printed([](Console& c) { c.Print("%3d%%", 5); }), "  5%"},
        FormatCase{"Hundred", Printed([](Console& c) { c.Print("%3d%%", 100); }), "100%"},
        FormatCase{"Backspaces", Printed([](Console& c) { c.Print("\b\b\b\b%3d%%", 42); }),
                   "\b\b\b\b 42%"},
        FormatCase{"Negative", Printed([](Console& c) { c.Print("%d", -2147483647 - 1); }),
                   "-2147483648"},
        FormatCase{"Quote",
                   Printed([](Console& c) { c.Print("failed to send \"%s\"\n", "\x1b!e0C"); }),
                   WithPlatformLineEnds("failed to send \"\x1b!e0C\"\n")},
        FormatCase{"Failed", Printed([](Console& c) {
                     c.Print("Flash update failed, %d bytes transferred.\n", 1024);
                   }),
                   WithPlatformLineEnds("Flash update failed, 1024 bytes transferred.\n")},
        FormatCase{"Empty", Printed([](Console& c) { c.Print("%s", ""); }), ""}),
    CaseName());

TEST(StringSink, AppendsRawBytes) {
  StringSink sink;
  sink.Write("a\0b", 3);
  sink.Write("\r\n", 2);
  EXPECT_EQ(sink.text, std::string("a\0b\r\n", 5));
}

}  // namespace
}  // namespace tovrel
