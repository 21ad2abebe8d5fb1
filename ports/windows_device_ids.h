// Reading USB facts out of the identifiers Windows gives a device node. Plain text work, kept
// apart from the system calls so that it is tested on every platform.
#pragma once

#include <string>

namespace tovrel::ports {

// "0403:6001" from any identifier that carries VID_0403 and PID_6001 (hardware ids such as
// "USB\VID_0403&PID_6001&REV_0600" or "FTDIBUS\COMPORT&VID_0403&PID_6001", instance ids);
// empty when it does not carry both.
std::string UsbIdFromDeviceId(const std::string& id);

// The serial number in a USB instance id, "USB\VID_2341&PID_0043\85736323838351F0B1E1" ->
// "85736323838351F0B1E1"; empty for other buses and for the ids Windows makes up when the device
// has no serial number (they hold '&').
std::string SerialFromInstanceId(const std::string& id);

// "COM3" from a friendly name such as "USB Serial Port (COM3)"; empty when it names none.
std::string PortFromFriendlyName(const std::string& name);

// The name tovrel needs for a COM port: COM1 to COM9 as they are, higher numbers with the
// "\\.\" prefix that CreateFile wants for them ("COM12" -> "\\.\COM12").
std::string TovrelPortName(const std::string& com_name);

}  // namespace tovrel::ports
