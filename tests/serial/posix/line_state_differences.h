// Lists the members in which two line states differ, so that a failed comparison says which.
#pragma once

#include <string>
#include <vector>

#include "core/serial_types.h"

namespace tovrel::posix_serial {

inline std::vector<std::string> Differences(const DCB& a, const DCB& b) {
  std::vector<std::string> out;
  auto check = [&](const char* name, auto x, auto y) {
    if (x != y) {
      out.push_back(std::string(name) + ": " + std::to_string(x) + " vs " + std::to_string(y));
    }
  };
  check("DCBlength", a.DCBlength, b.DCBlength);
  check("BaudRate", a.BaudRate, b.BaudRate);
  check("flags", a.flags, b.flags);
  check("wReserved", a.wReserved, b.wReserved);
  check("XonLim", a.XonLim, b.XonLim);
  check("XoffLim", a.XoffLim, b.XoffLim);
  check("ByteSize", a.ByteSize, b.ByteSize);
  check("Parity", a.Parity, b.Parity);
  check("StopBits", a.StopBits, b.StopBits);
  check("XonChar", a.XonChar, b.XonChar);
  check("XoffChar", a.XoffChar, b.XoffChar);
  check("ErrorChar", a.ErrorChar, b.ErrorChar);
  check("EofChar", a.EofChar, b.EofChar);
  check("EvtChar", a.EvtChar, b.EvtChar);
  check("wReserved1", a.wReserved1, b.wReserved1);
  return out;
}

}  // namespace tovrel::posix_serial
