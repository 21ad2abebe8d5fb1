// The Linux port list against a fake sysfs and /dev, with the user's permissions injected.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_system_tree.h"
#include "ports/port_table.h"
#include "ports/posix/sysfs_ports.h"

namespace tovrel::ports {
namespace {

// The user may open every node but ttyS0, whose group is called dialout.
SysfsView ViewDenyingTtyS0(const std::string& root) {
  SysfsView view;
  view.root = root;
  view.may_open = [root](const std::string& path) { return path != root + "/dev/ttyS0"; };
  view.group_name = [](unsigned) { return std::string("dialout"); };
  return view;
}

TEST(SysfsPorts, ListsEveryPortWithWhatTheSystemKnows) {
  const std::string root = testing::BuildFakeMachine("sysfs-machine");
  std::vector<PortInfo> ports;
  std::string error;
  ASSERT_TRUE(ListSysfsPorts(ViewDenyingTtyS0(root), ports, error)) << error;
  EXPECT_EQ(
      FormatPortTable(ports, LinuxColumns()),
      "PORT           ACCESS              DRIVER    VID:PID    SERIAL                MANUFACTURER  "
      "            PRODUCT                               BY-ID\n"
      "/dev/ttyACM0   yes                 cdc_acm   2341:0043  85736323838351F0B1E1  Arduino "
      "(www.arduino.cc)  -                                     "
      "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85736323838351F0B1E1-if00\n"
      "/dev/ttyS0     no (group dialout)  serial    -          -                     -         "
      "                -                                     -\n"
      "/dev/ttyUSB0   yes                 ftdi_sio  0403:6001  A50285BI              FTDI      "
      "                FT232R USB UART                       "
      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
      "/dev/ttyUSB10  missing             cp210x    10c4:ea60  0001                  Silicon "
      "Labs              CP2102 USB to UART Bridge Controller  -\n");
}

TEST(SysfsPorts, DeniedNodeWithoutGroupAccessGetsNoHint) {
  const std::string root = testing::BuildFakeMachine("sysfs-no-hint");
  SysfsView view = ViewDenyingTtyS0(root);
  view.may_open = [](const std::string&) { return false; };
  std::vector<PortInfo> ports;
  std::string error;
  ASSERT_TRUE(ListSysfsPorts(view, ports, error)) << error;
  ASSERT_EQ(ports.size(), 4u);
  for (const PortInfo& port : ports) {
    // Only ttyS0's node is open to its group; the others were written with the default mode.
    const bool group_writable = port.device == "/dev/ttyS0";
    const std::string expected = port.device == "/dev/ttyUSB10" ? "missing"
                                 : group_writable               ? "no (group dialout)"
                                                                : "no";
    EXPECT_EQ(port.access, expected) << port.device;
  }
}

TEST(SysfsPorts, UnreadableTreeIsAnErrorNamingThePath) {
  std::vector<PortInfo> ports;
  std::string error;
  const std::string root = ::testing::TempDir() + "tovrel-no-such-root";
  EXPECT_FALSE(ListSysfsPorts(ViewDenyingTtyS0(root), ports, error));
  EXPECT_EQ(error, "cannot read " + root + "/sys/class/tty: No such file or directory");
}

}  // namespace
}  // namespace tovrel::ports
