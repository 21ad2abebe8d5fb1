// Reading USB ids, serial numbers and port names out of Windows device identifiers.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ports/windows_device_ids.h"
#include "tests/support/case_name.h"

namespace tovrel::ports {
namespace {

struct IdCase {
  std::string name;
  std::function<std::string(const std::string&)> read;
  std::string input;
  std::string expected;
};

using tovrel::case_printing::operator<<;

class DeviceIdTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(DeviceIdTest, Reads) {
  EXPECT_EQ(GetParam().read(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, DeviceIdTest,
    ::testing::Values(
        IdCase{"UsbHardwareId", UsbIdFromDeviceId, "USB\\VID_0403&PID_6001&REV_0600", "0403:6001"},
        IdCase{"VendorBusHardwareId", UsbIdFromDeviceId, "FTDIBUS\\COMPORT&VID_0403&PID_6001",
               "0403:6001"},
        IdCase{"VendorBusInstanceIdLowerCased", UsbIdFromDeviceId,
               "FTDIBUS\\VID_10C4+PID_EA60+0001A\\0000", "10c4:ea60"},
        IdCase{"IdWithoutProduct", UsbIdFromDeviceId, "USB\\VID_0403", ""},
        IdCase{"VidInsideAWordIsNotAnId", UsbIdFromDeviceId, "ACPI\\XVID_0403&PID_6001", ""},
        IdCase{"ShortHexIsNotAnId", UsbIdFromDeviceId, "USB\\VID_040&PID_6001", ""},
        IdCase{"BuiltInPort", UsbIdFromDeviceId, "ACPI\\PNP0501", ""},
        IdCase{"UsbSerialNumber", SerialFromInstanceId,
               "USB\\VID_2341&PID_0043\\85736323838351F0B1E1", "85736323838351F0B1E1"},
        IdCase{"MadeUpInstanceIsNoSerial", SerialFromInstanceId,
               "USB\\VID_2341&PID_0043&MI_00\\6&2C8A3F1&0&0000", ""},
        IdCase{"OtherBusHasNoSerial", SerialFromInstanceId, "ACPI\\PNP0501\\1", ""},
        IdCase{"NoInstancePart", SerialFromInstanceId, "USB\\VID_2341&PID_0043", ""},
        IdCase{"FriendlyName", PortFromFriendlyName, "USB Serial Port (COM3)", "COM3"},
        IdCase{"FriendlyNameWithOtherParentheses", PortFromFriendlyName,
               "Arduino Uno (www.arduino.cc) (COM12)", "COM12"},
        IdCase{"FriendlyNameOfAPrinterPort", PortFromFriendlyName, "Printer Port (LPT1)", ""},
        IdCase{"FriendlyNameWithoutPort", PortFromFriendlyName, "Modem", ""},
        IdCase{"LowPortAsItIs", TovrelPortName, "COM9", "COM9"},
        IdCase{"HighPortPrefixed", TovrelPortName, "COM12", "\\\\.\\COM12"},
        IdCase{"OtherNameAsItIs", TovrelPortName, "CNCA0", "CNCA0"}),
    CaseName());

}  // namespace
}  // namespace tovrel::ports
