// A Linux machine's sysfs and /dev as files under a test directory, laid out as the kernel and
// udev lay them out (class entries and device links as relative symbolic links):
//   ttyUSB0   FTDI FT232R on USB (ftdi_sio, a usb-serial port below the interface), by-id name;
//   ttyUSB10  CP2102 on USB (cp210x), known to sysfs but without a node under /dev;
//   ttyACM0   an Arduino's CDC ACM interface (cdc_acm), no product string, by-id name;
//   ttyS0     a 16550A UART found by ACPI (driver serial), node open to its group only;
//   ttyS1     a serial8250 placeholder where no UART answered (type 0): not a port;
//   tty0      a virtual console (no device): not a port.
#pragma once

#include <string>

namespace tovrel::ports::testing {

// Builds the tree in a new directory under the test's temporary directory; returns its path.
std::string BuildFakeMachine(const std::string& name);

}  // namespace tovrel::ports::testing
