#include "ports/win32/windows_ports.h"

// The order matters: windows.h first, and initguid.h before devguid.h so that the class GUIDs are
// defined here rather than looked for in a library.
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include <algorithm>
#include <cstring>

#include "ports/windows_device_ids.h"

namespace tovrel::ports {
namespace {

constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kTextBytes = 1024;

class DeviceInfoSet {
 public:
  DeviceInfoSet()
      : set_(SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT)) {}
  ~DeviceInfoSet() {
    if (set_ != INVALID_HANDLE_VALUE) {
      SetupDiDestroyDeviceInfoList(set_);
    }
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  bool Valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO Get() const { return set_; }

 private:
  HDEVINFO set_;
};

class RegistryKey {
 public:
  RegistryKey() = default;
  explicit RegistryKey(HKEY key) : key_(key) {}
  ~RegistryKey() {
    if (key_ != nullptr && key_ != INVALID_HANDLE_VALUE) {
      RegCloseKey(key_);
    }
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool Valid() const { return key_ != nullptr && key_ != INVALID_HANDLE_VALUE; }
  HKEY Get() const { return key_; }
  HKEY* Out() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

// A text out of a byte buffer the system filled, which need not end in a zero.
std::string TextOf(const char* buffer, DWORD bytes) {
  const char* end = static_cast<const char*>(std::memchr(buffer, '\0', bytes));
  return std::string(buffer, end != nullptr ? end : buffer + bytes);
}

std::string RegistryText(HKEY key, const char* value) {
  char buffer[kTextBytes] = {};
  DWORD type = 0;
  DWORD bytes = sizeof buffer;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return "";
  }
  return TextOf(buffer, std::min<DWORD>(bytes, sizeof buffer));
}

// A device property; of a list (hardware ids) the first entry.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  char buffer[kTextBytes] = {};
  DWORD type = 0;
  DWORD bytes = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer, &bytes)) {
    return "";
  }
  return TextOf(buffer, std::min<DWORD>(bytes, sizeof buffer));
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  char buffer[kTextBytes] = {};
  if (!SetupDiGetDeviceInstanceIdA(set, &device, buffer, sizeof buffer, nullptr)) {
    return "";
  }
  return TextOf(buffer, sizeof buffer);
}

// The instance id of the device node above this one: the USB device under a vendor's bus
// driver or under one interface of a composite device.
std::string ParentInstanceId(DEVINST node) {
  DEVINST parent = 0;
  char buffer[kTextBytes] = {};
  if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
      CM_Get_Device_IDA(parent, buffer, sizeof buffer, 0) != CR_SUCCESS) {
    return "";
  }
  return TextOf(buffer, sizeof buffer);
}

bool IsComName(const std::string& name) {
  return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
         (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm');
}

void AddClassPorts(const DeviceInfoSet& set, std::vector<PortInfo>& ports) {
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.Get(), index, &device); ++index) {
    const std::string friendly = DeviceProperty(set.Get(), device, SPDRP_FRIENDLYNAME);
    std::string com_name;
    RegistryKey key(
        SetupDiOpenDevRegKey(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    if (key.Valid()) {
      com_name = RegistryText(key.Get(), "PortName");
    }
    if (com_name.empty()) {
      com_name = PortFromFriendlyName(friendly);
    }
    if (!IsComName(com_name)) {
      continue;  // the class also holds printer ports (LPT1)
    }
    PortInfo port;
    port.device = TovrelPortName(com_name);
    port.description =
        friendly.empty() ? DeviceProperty(set.Get(), device, SPDRP_DEVICEDESC) : friendly;
    port.driver = DeviceProperty(set.Get(), device, SPDRP_SERVICE);
    port.manufacturer = DeviceProperty(set.Get(), device, SPDRP_MFG);
    const std::string instance = InstanceId(set.Get(), device);
    const std::string parent = ParentInstanceId(device.DevInst);
    port.usb_id = UsbIdFromDeviceId(DeviceProperty(set.Get(), device, SPDRP_HARDWAREID));
    if (port.usb_id.empty()) {
      port.usb_id = UsbIdFromDeviceId(instance);
    }
    if (port.usb_id.empty()) {
      port.usb_id = UsbIdFromDeviceId(parent);
    }
    port.serial = SerialFromInstanceId(instance);
    if (port.serial.empty()) {
      port.serial = SerialFromInstanceId(parent);
    }
    ports.push_back(std::move(port));
  }
}

// Ports that drivers announce without a device of the Ports class, such as virtual pairs.
// Returns false only when the list exists and cannot be read: a machine without serial ports
// has no such key at all.
bool AddSerialCommPorts(std::vector<PortInfo>& ports, std::string& error) {
  RegistryKey key;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, key.Out());
  if (opened == ERROR_FILE_NOT_FOUND) {
    return true;
  }
  if (opened != ERROR_SUCCESS) {
    error = "cannot read HKEY_LOCAL_MACHINE\\" + std::string(kSerialCommKey) + ": error " +
            std::to_string(opened);
    return false;
  }
  for (DWORD index = 0;; ++index) {
    char name[kTextBytes] = {};
    char data[kTextBytes] = {};
    DWORD name_chars = sizeof name;
    DWORD data_bytes = sizeof data;
    DWORD type = 0;
    const LONG read = RegEnumValueA(key.Get(), index, name, &name_chars, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &data_bytes);
    if (read == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (read != ERROR_SUCCESS || type != REG_SZ) {
      continue;
    }
    const std::string com_name = TextOf(data, std::min<DWORD>(data_bytes, sizeof data));
    if (!IsComName(com_name)) {
      continue;
    }
    const std::string device = TovrelPortName(com_name);
    const bool known = std::any_of(ports.begin(), ports.end(),
                                   [&](const PortInfo& port) { return port.device == device; });
    if (!known) {
      PortInfo port;
      port.device = device;
      port.description = TextOf(name, std::min<DWORD>(name_chars, sizeof name));
      ports.push_back(std::move(port));
    }
  }
  return true;
}

}  // namespace

bool ListWindowsPorts(std::vector<PortInfo>& ports, std::string& error) {
  ports.clear();
  const DeviceInfoSet set;
  if (set.Valid()) {
    AddClassPorts(set, ports);
  }
  std::string registry_error;
  const bool registry_read = AddSerialCommPorts(ports, registry_error);
  if (!set.Valid() && !registry_read) {
    error = "cannot list the Ports device class (error " + std::to_string(GetLastError()) +
            ") nor " + registry_error;
    return false;
  }
  return true;
}

}  // namespace tovrel::ports
