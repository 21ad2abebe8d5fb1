// What tovrel-ports knows about one serial port. Every text is empty when the system does not
// say; the table prints "-" for it.
#pragma once

#include <string>

namespace tovrel::ports {

struct PortInfo {
  std::string device;        // the name to give tovrel: "/dev/ttyUSB0", "COM3"
  std::string access;        // Linux: "yes", "no", "no (group dialout)", "missing" (no node)
  std::string driver;        // "ftdi_sio", "cdc_acm", "serial8250"; on Windows the service
  std::string usb_id;        // USB vendor and product id in hex: "0403:6001"
  std::string serial;        // the USB serial number
  std::string manufacturer;  // the USB manufacturer string
  std::string product;       // the USB product string
  std::string by_id;         // Linux: the stable name under /dev/serial/by-id/
  std::string description;   // Windows: the friendly name, "USB Serial Port (COM3)"
};

}  // namespace tovrel::ports
