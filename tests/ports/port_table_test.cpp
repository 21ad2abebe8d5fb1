// The port list's text: natural order, alignment, placeholders.
#include <gtest/gtest.h>

#include <string>

#include "ports/port_table.h"
#include "tests/support/case_name.h"

namespace tovrel::ports {
namespace {

struct OrderCase {
  std::string name;
  std::string a;
  std::string b;
  bool a_first;
};

using tovrel::case_printing::operator<<;

class NaturalOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NaturalOrderTest, Compares) {
  EXPECT_EQ(NaturalLess(GetParam().a, GetParam().b), GetParam().a_first);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NaturalOrderTest,
    ::testing::Values(OrderCase{"TwoDigitsAfterOne", "COM2", "COM10", true},
                      OrderCase{"OneDigitAfterTwoIsNot", "COM10", "COM2", false},
                      OrderCase{"LeadingZerosCompareEqual", "ttyUSB02", "ttyUSB2", false},
                      OrderCase{"PrefixFirst", "ttyS", "ttyS0", true},
                      OrderCase{"LettersBeforeDigitsGoByCharacter", "ttyACM0", "ttyS0", true},
                      OrderCase{"SameNameIsNotLess", "ttyS1", "ttyS1", false}),
    CaseName());

TEST(PortTable, AlignsColumnsInCharactersAndMarksUnknownFields) {
  PortInfo second;
  second.device = "COM10";
  second.description = "Müller Adapter (COM10)";
  second.usb_id = "0403:6001";
  PortInfo first;
  first.device = "COM2";
  first.description = "Communications Port (COM2)";
  first.driver = "Serial";
  EXPECT_EQ(FormatPortTable({second, first}, WindowsColumns()),
            "PORT   DESCRIPTION                 DRIVER  VID:PID    SERIAL  MANUFACTURER\n"
            "COM2   Communications Port (COM2)  Serial  -          -       -\n"
            "COM10  Müller Adapter (COM10)      -       0403:6001  -       -\n");
}

TEST(PortTable, SaysSoWhenThereAreNoPorts) {
  EXPECT_EQ(FormatPortTable({}, LinuxColumns()), "No serial ports found.\n");
}

}  // namespace
}  // namespace tovrel::ports
