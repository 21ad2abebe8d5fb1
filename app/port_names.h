// From the port name given on the command line to the name the platform opens. A station picks
// its adapter by USB identity ("usb:SERIAL", "usb:VID:PID", "usb:VID:PID:SERIAL", the ids in hex
// as tovrel-ports shows them), looked up in the same port list tovrel-ports prints; on Windows
// every "COMn" gets the "\\.\" prefix that CreateFile needs from COM10 on. Every other name
// is opened as given.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ports/port_info.h"

namespace tovrel {

inline constexpr char kUsbPortPrefix[] = "usb:";
// Why a name that starts with the prefix names no port.
inline constexpr char kNotAUsbPortName[] =
    "not a USB port name: give usb:SERIAL, usb:VID:PID or usb:VID:PID:SERIAL, with VID and PID "
    "in 4 hex digits as tovrel-ports shows them";

// What a usb: name asks for; an empty part matches anything. Ids in lower case.
struct UsbPortSelector {
  std::string vendor;
  std::string product;
  std::string serial;
};

// True when `name` starts with "usb:" (in any letter case).
bool IsUsbPortName(const char* name);
// False for a name that is not one of the three forms: ids that are not 4 hex digits, an empty
// serial number or one with control bytes, too many parts.
bool ParseUsbPortName(const char* name, UsbPortSelector& selector);
// The ports of `listed` on USB that `selector` matches, in natural order. Ids compare as hex,
// serial numbers without regard to letter case (Windows gives them in upper case).
std::vector<ports::PortInfo> MatchingUsbPorts(const UsbPortSelector& selector,
                                              const std::vector<ports::PortInfo>& listed);
// "COM12" -> "\\.\COM12" for any COM followed by digits, in any letter case; anything else as
// it is.
std::string Win32DevicePath(const std::string& name);

class PortNames {
 public:
  virtual ~PortNames() = default;
  // The name to open for `given`. False, with `reason` one line saying why and naming the
  // candidates, when a usb: name is malformed, matches no adapter or more than one, or the
  // ports cannot be listed.
  virtual bool Resolve(const char* given, std::string& opened, std::string& reason) = 0;
};

// Opens every name as given.
PortNames& UnchangedPortNames();

// Looks usb: names up in what `list` finds; every name to open, looked up or given, then goes
// through `device_name`.
class ListedPortNames final : public PortNames {
 public:
  using Lister = std::function<bool(std::vector<ports::PortInfo>& listed, std::string& error)>;
  using DeviceName = std::function<std::string(const std::string& name)>;

  ListedPortNames(Lister list, DeviceName device_name);
  bool Resolve(const char* given, std::string& opened, std::string& reason) override;

 private:
  Lister list_;
  DeviceName device_name_;
};

// The system's port list, as tovrel-ports reads it, and its way of naming devices.
std::unique_ptr<PortNames> MakeSystemPortNames();

}  // namespace tovrel
