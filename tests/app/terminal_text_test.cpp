// Text from outside the program on its way to the console: escaped for a terminal, untouched
// for a file or a pipe.
#include <gtest/gtest.h>

#include <string>

#include "app/terminal_text.h"
#include "tests/support/case_name.h"
#include "update_fixture.h"

namespace tovrel::testing {
namespace {

struct ShownCase {
  const char* name;
  std::string raw;
  std::string on_terminal;
};

class TerminalText : public ::testing::TestWithParam<ShownCase> {};

TEST_P(TerminalText, EscapesWhatCouldDriveATerminalAndPassesEverythingToAPipe) {
  EXPECT_EQ(TextForConsole(GetParam().raw, true), GetParam().on_terminal);
  EXPECT_EQ(TextForConsole(GetParam().raw, false), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TerminalText,
    ::testing::Values(
        ShownCase{"PlainAscii", "VELMOR TP-200 FW 1.04", "VELMOR TP-200 FW 1.04"},
        ShownCase{"TitleAndClearScreen", "\x1b]0;owned\x07\x1b[2JID",
                  "\\x1B]0;owned\\x07\\x1B[2JID"},
        ShownCase{"LineControlsAndDelete", "a\rb\nc\td\x7f", "a\\x0Db\\x0Ac\\x09d\\x7F"},
        ShownCase{"Utf8Kept", "Ger\xc3\xa4t \xe2\x82\xac", "Ger\xc3\xa4t \xe2\x82\xac"},
        ShownCase{"C1ControlInUtf8",
                  "x\xc2\x9b"
                  "2Jy",
                  "x\\xC2\\x9B2Jy"},
        ShownCase{"LoneC1Byte",
                  "x\x9b"
                  "2J",
                  "x\\x9B2J"},
        ShownCase{"BrokenAndOverlongUtf8", "\xe2\x82 \xc0\xaf \xed\xa0\x80",
                  "\\xE2\\x82 \\xC0\\xAF \\xED\\xA0\\x80"},
        ShownCase{"TruncatedAtTheEnd", "ok\xf0\x9f\x98", "ok\\xF0\\x9F\\x98"}),
    CaseName());

class DeviceTextOnTheConsole : public UpdateFixture, public ::testing::WithParamInterface<bool> {};

// The identification a device sends, shown in the run's own output.
TEST_P(DeviceTextOnTheConsole, IdentificationIsEscapedOnlyOnATerminal) {
  console_is_terminal = GetParam();
  device_config.product_id = "TP\x1b]0;x\x07\x1b[2J";
  firmware_argument = "missing.bin";  // ends the run straight after the identification
  EXPECT_EQ(Update(115200), 1);
  const std::string shown = GetParam() ? "TP\\x1B]0;x\\x07\\x1B[2J" : "TP\x1b]0;x\x07\x1b[2J";
  EXPECT_EQ(Output().substr(0, Output().find('\n') + 1),
            WithPlatformLineEnds("Product ID: " + shown + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Consoles, DeviceTextOnTheConsole, ::testing::Bool(),
                         NameBy([](bool terminal) {
                           return std::string(terminal ? "Terminal" : "Pipe");
                         }));

}  // namespace
}  // namespace tovrel::testing
