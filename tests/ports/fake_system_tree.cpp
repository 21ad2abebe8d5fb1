#include "fake_system_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tovrel::ports::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kUsbBus[] = "sys/devices/pci0000:00/0000:00:14.0/usb1/";

class Tree {
 public:
  explicit Tree(fs::path root) : root_(std::move(root)) {}

  void File(const std::string& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text;
  }
  // A relative link, as sysfs and udev make them, so that it resolves inside the tree.
  void Link(const std::string& path, const std::string& target) {
    const fs::path link = root_ / path;
    fs::create_directories(link.parent_path());
    fs::create_directories(root_ / target);
    fs::create_symlink((root_ / target).lexically_relative(link.parent_path()), link);
  }
  void NodeLink(const std::string& path, const std::string& node) {
    const fs::path link = root_ / path;
    fs::create_directories(link.parent_path());
    fs::create_symlink((root_ / node).lexically_relative(link.parent_path()), link);
  }
  // A tty below `device`, with its class entry and the link back to its device.
  void Tty(const std::string& device, const std::string& name, const std::string& driver) {
    const std::string tty = device + "/tty/" + name;
    File(tty + "/uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + name + "\n");
    Link(tty + "/device", device);
    Link("sys/class/tty/" + name, tty);
    if (!driver.empty()) {
      Link(device + "/driver", driver);
    }
  }
  void UsbDevice(const std::string& path, const std::string& vendor, const std::string& product,
                 const std::string& serial, const std::string& manufacturer,
                 const std::string& product_name) {
    File(path + "/idVendor", vendor + "\n");
    File(path + "/idProduct", product + "\n");
    File(path + "/serial", serial + "\n");
    File(path + "/manufacturer", manufacturer + "\n");
    if (!product_name.empty()) {
      File(path + "/product", product_name + "\n");
    }
  }

 private:
  fs::path root_;
};

}  // namespace

std::string BuildFakeMachine(const std::string& name) {
  const fs::path root = fs::path(::testing::TempDir()) / name;
  fs::remove_all(root);
  Tree tree(root);

  const std::string ftdi = std::string(kUsbBus) + "1-2";
  tree.UsbDevice(ftdi, "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART");
  tree.Tty(ftdi + "/1-2:1.0/ttyUSB0", "ttyUSB0", "sys/bus/usb-serial/drivers/ftdi_sio");
  tree.File("dev/ttyUSB0", "");
  tree.NodeLink("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "dev/ttyUSB0");

  const std::string cp210x = std::string(kUsbBus) + "1-4";
  tree.UsbDevice(cp210x, "10c4", "ea60", "0001", "Silicon Labs",
                 "CP2102 USB to UART Bridge Controller");
  tree.Tty(cp210x + "/1-4:1.0/ttyUSB10", "ttyUSB10", "sys/bus/usb-serial/drivers/cp210x");

  const std::string arduino = std::string(kUsbBus) + "1-3";
  tree.UsbDevice(arduino, "2341", "0043", "85736323838351F0B1E1", "Arduino (www.arduino.cc)", "");
  tree.Tty(arduino + "/1-3:1.0", "ttyACM0", "sys/bus/usb/drivers/cdc_acm");
  tree.File("dev/ttyACM0", "");
  tree.NodeLink("dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85736323838351F0B1E1-if00",
                "dev/ttyACM0");

  tree.Tty("sys/devices/pnp0/00:01", "ttyS0", "sys/bus/pnp/drivers/serial");
  tree.File("sys/devices/pnp0/00:01/tty/ttyS0/type", "4\n");
  tree.File("dev/ttyS0", "");
  fs::permissions(root / "dev/ttyS0", fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::group_read | fs::perms::group_write);

  tree.Tty("sys/devices/platform/serial8250", "ttyS1", "sys/bus/platform/drivers/serial8250");
  tree.File("sys/devices/platform/serial8250/tty/ttyS1/type", "0\n");
  tree.File("dev/ttyS1", "");

  tree.File("sys/devices/virtual/tty/tty0/uevent", "MAJOR=4\nMINOR=0\nDEVNAME=tty0\n");
  tree.Link("sys/class/tty/tty0", "sys/devices/virtual/tty/tty0");
  tree.File("dev/tty0", "");
  return root.string();
}

}  // namespace tovrel::ports::testing
