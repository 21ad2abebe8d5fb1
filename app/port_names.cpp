#include "app/port_names.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "app/terminal_text.h"
#include "core/ascii_case.h"
#include "ports/port_table.h"

namespace tovrel {
namespace {

constexpr std::size_t kUsbPrefixLength = sizeof kUsbPortPrefix - 1;
constexpr std::size_t kIdDigits = 4;

bool IsId(const std::string& text) {
  return text.size() == kIdDigits && std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isxdigit(c) != 0;
         });
}

bool IsSerial(const std::string& text) {
  return !text.empty() && std::none_of(text.begin(), text.end(),
                                       [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// "/dev/ttyUSB0 (0403:6001 A50285BI)", the system's texts escaped.
std::string Described(const ports::PortInfo& port) {
  const std::string serial = port.serial.empty() ? "no serial number" : port.serial;
  return TextForConsole(port.device + " (" + port.usb_id + " " + serial + ")", true);
}

std::string Listed(const std::vector<ports::PortInfo>& candidates) {
  std::string text;
  for (const ports::PortInfo& port : candidates) {
    text += (text.empty() ? "" : ", ") + Described(port);
  }
  return text;
}

class Unchanged final : public PortNames {
 public:
  bool Resolve(const char* given, std::string& opened, std::string& /*reason*/) override {
    opened = given != nullptr ? given : "";
    return true;
  }
};

}  // namespace

bool IsUsbPortName(const char* name) {
  return StartsWithIgnoringCase(name, kUsbPortPrefix);
}

bool ParseUsbPortName(const char* name, UsbPortSelector& selector) {
  if (!IsUsbPortName(name)) {
    return false;
  }
  const std::vector<std::string> parts = Split(name + kUsbPrefixLength, ':');
  UsbPortSelector parsed;
  if (parts.size() == 1 && IsSerial(parts[0])) {
    parsed.serial = parts[0];
  } else if ((parts.size() == 2 || parts.size() == 3) && IsId(parts[0]) && IsId(parts[1]) &&
             (parts.size() == 2 || IsSerial(parts[2]))) {
    parsed.vendor = AsciiLower(parts[0]);
    parsed.product = AsciiLower(parts[1]);
    parsed.serial = parts.size() == 3 ? parts[2] : "";
  } else {
    return false;
  }
  selector = std::move(parsed);
  return true;
}

std::vector<ports::PortInfo> MatchingUsbPorts(const UsbPortSelector& selector,
                                              const std::vector<ports::PortInfo>& listed) {
  std::vector<ports::PortInfo> matches;
  for (const ports::PortInfo& port : listed) {
    const std::vector<std::string> ids = Split(AsciiLower(port.usb_id), ':');
    if (ids.size() != 2 || !IsId(ids[0]) || !IsId(ids[1])) {
      continue;  // not on USB
    }
    if ((selector.vendor.empty() || selector.vendor == ids[0]) &&
        (selector.product.empty() || selector.product == ids[1]) &&
        (selector.serial.empty() || AsciiLower(selector.serial) == AsciiLower(port.serial))) {
      matches.push_back(port);
    }
  }
  std::stable_sort(matches.begin(), matches.end(),
                   [](const ports::PortInfo& a, const ports::PortInfo& b) {
                     return ports::NaturalLess(a.device, b.device);
                   });
  return matches;
}

std::string Win32DevicePath(const std::string& name) {
  const bool com_number =
      name.size() > 3 && AsciiLower(name.substr(0, 3)) == "com" &&
      std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); });
  return com_number ? "\\\\.\\" + name : name;
}

PortNames& UnchangedPortNames() {
  static Unchanged names;
  return names;
}

ListedPortNames::ListedPortNames(Lister list, DeviceName device_name)
    : list_(std::move(list)), device_name_(std::move(device_name)) {}

bool ListedPortNames::Resolve(const char* given, std::string& opened, std::string& reason) {
  if (!IsUsbPortName(given)) {
    opened = device_name_(given != nullptr ? given : "");
    return true;
  }
  UsbPortSelector selector;
  if (!ParseUsbPortName(given, selector)) {
    reason = kNotAUsbPortName;
    return false;
  }
  std::vector<ports::PortInfo> listed;
  std::string error;
  if (!list_(listed, error)) {
    reason = "the serial ports cannot be listed: " + TextForConsole(error, true);
    return false;
  }
  const std::vector<ports::PortInfo> matches = MatchingUsbPorts(selector, listed);
  if (matches.size() == 1) {
    opened = device_name_(matches.front().device);
    return true;
  }
  if (matches.empty()) {
    const std::vector<ports::PortInfo> present = MatchingUsbPorts(UsbPortSelector{}, listed);
    reason = "no USB serial adapter matches; " +
             (present.empty() ? std::string("none is plugged in") : "present: " + Listed(present));
  } else {
    reason = std::to_string(matches.size()) + " USB serial adapters match: " + Listed(matches) +
             "; name one by its serial number";
  }
  return false;
}

}  // namespace tovrel
