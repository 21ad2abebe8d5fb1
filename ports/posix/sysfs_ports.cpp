#include "ports/posix/sysfs_ports.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace tovrel::ports {
namespace {

namespace fs = std::filesystem;

constexpr char kClassDirectory[] = "sys/class/tty";
constexpr char kDevicesDirectory[] = "sys/devices";
constexpr char kByIdDirectory[] = "dev/serial/by-id";
constexpr char kShownByIdDirectory[] = "/dev/serial/by-id/";
// serial-core's `type` of a port where no UART answered: the 8250 driver registers ttyS0 to
// ttyS3 (or more) whether or not the machine has them.
constexpr char kNoUartType[] = "0";

// The first line of a sysfs attribute without its line break; empty when there is none.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) {
    return "";
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

// The node's name under /dev: the uevent's DEVNAME, else the class name with '!' standing for
// a directory separator, as the kernel writes it.
std::string DeviceName(const fs::path& class_entry) {
  std::ifstream uevent(class_entry / "uevent");
  constexpr char kKey[] = "DEVNAME=";
  for (std::string line; std::getline(uevent, line);) {
    if (line.compare(0, sizeof kKey - 1, kKey) == 0 && line.size() > sizeof kKey - 1) {
      return line.substr(sizeof kKey - 1);
    }
  }
  std::string name = class_entry.filename().string();
  std::replace(name.begin(), name.end(), '!', '/');
  return name;
}

bool IsWithin(const fs::path& path, const fs::path& directory) {
  const std::string& inner = path.native();
  const std::string& outer = directory.native();
  return inner.compare(0, outer.size(), outer) == 0 &&
         (inner.size() == outer.size() || inner[outer.size()] == '/');
}

// The USB device a tty hangs off: the nearest directory above it that carries idVendor (the tty
// itself sits on a USB interface or on a usb-serial port below the device). Empty off USB.
fs::path UsbDeviceOf(fs::path directory, const fs::path& devices_root) {
  std::error_code error;
  while (IsWithin(directory, devices_root)) {
    if (fs::exists(directory / "idVendor", error)) {
      return directory;
    }
    directory = directory.parent_path();
  }
  return {};
}

// The stable names, by the node each one leads to (as a path under the root). Links are read,
// not followed, so that a fake tree's relative links resolve inside it; where several lead to one
// node the first in name order is taken.
std::map<std::string, std::string> ByIdNames(const fs::path& root) {
  const fs::path directory = root / kByIdDirectory;
  std::vector<fs::path> links;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    links.push_back(it->path());
  }
  std::sort(links.begin(), links.end());
  std::map<std::string, std::string> names;
  for (const fs::path& link : links) {
    const fs::path target = fs::read_symlink(link, error);
    if (error) {
      continue;
    }
    const fs::path node = target.is_absolute() ? root / target.relative_path() : directory / target;
    names.emplace(node.lexically_normal().string(), kShownByIdDirectory + link.filename().string());
  }
  return names;
}

std::string AccessOf(const SysfsView& view, const fs::path& node) {
  struct stat status {};
  if (::stat(node.c_str(), &status) != 0) {
    return "missing";
  }
  if (view.may_open && view.may_open(node.string())) {
    return "yes";
  }
  // Serial nodes are usually open to one group; naming it tells the user what to join.
  if ((status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && view.group_name) {
    return "no (group " + view.group_name(static_cast<unsigned>(status.st_gid)) + ")";
  }
  return "no";
}

}  // namespace

SysfsView SystemSysfsView(const std::string& root) {
  SysfsView view;
  view.root = root;
  view.may_open = [](const std::string& path) { return ::access(path.c_str(), R_OK | W_OK) == 0; };
  view.group_name = [](unsigned group_id) {
    const struct group* entry = ::getgrgid(static_cast<gid_t>(group_id));
    return entry != nullptr ? std::string(entry->gr_name) : std::to_string(group_id);
  };
  return view;
}

bool ListSysfsPorts(const SysfsView& view, std::vector<PortInfo>& ports, std::string& error) {
  const fs::path root(view.root.empty() ? "/" : view.root);
  const fs::path class_directory = root / kClassDirectory;
  std::error_code failure;
  fs::directory_iterator it(class_directory, failure);
  if (failure) {
    error = "cannot read " + class_directory.string() + ": " + failure.message();
    return false;
  }
  fs::path devices_root = fs::canonical(root / kDevicesDirectory, failure);
  if (failure) {
    devices_root = (root / kDevicesDirectory).lexically_normal();
  }
  const std::map<std::string, std::string> by_id = ByIdNames(root);

  ports.clear();
  for (fs::directory_iterator end; !failure && it != end; it.increment(failure)) {
    const fs::path entry = it->path();
    std::error_code missing;
    // Virtual terminals, pseudo-terminals and the console have no device behind them.
    const fs::path device = fs::canonical(entry / "device", missing);
    if (missing || ReadAttribute(entry / "type") == kNoUartType) {
      continue;
    }
    PortInfo port;
    const std::string name = DeviceName(entry);
    port.device = "/dev/" + name;
    const fs::path driver = fs::read_symlink(device / "driver", missing);
    if (!missing) {
      port.driver = driver.filename().string();
    }
    const fs::path usb = UsbDeviceOf(device, devices_root);
    if (!usb.empty()) {
      const std::string vendor = ReadAttribute(usb / "idVendor");
      const std::string product_id = ReadAttribute(usb / "idProduct");
      port.usb_id = vendor + ":" + product_id;
      port.serial = ReadAttribute(usb / "serial");
      port.manufacturer = ReadAttribute(usb / "manufacturer");
      port.product = ReadAttribute(usb / "product");
    }
    const fs::path node = (root / "dev" / name).lexically_normal();
    const auto stable = by_id.find(node.string());
    if (stable != by_id.end()) {
      port.by_id = stable->second;
    }
    port.access = AccessOf(view, node);
    ports.push_back(std::move(port));
  }
  if (failure) {
    error = "cannot read " + class_directory.string() + ": " + failure.message();
    return false;
  }
  return true;
}

}  // namespace tovrel::ports
