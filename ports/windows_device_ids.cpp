#include "ports/windows_device_ids.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

#include "core/ascii_case.h"

namespace tovrel::ports {
namespace {

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The four hex digits after `key` ("VID_") at a field start, lower-cased; empty when absent.
std::string FourHexAfter(const std::string& upper_id, const std::string& key) {
  for (std::size_t at = upper_id.find(key); at != std::string::npos;
       at = upper_id.find(key, at + 1)) {
    const bool field_start =
        at == 0 || upper_id[at - 1] == '\\' || upper_id[at - 1] == '&' || upper_id[at - 1] == '+';
    const std::size_t digits = at + key.size();
    if (field_start && digits + 4 <= upper_id.size() &&
        std::all_of(upper_id.begin() + static_cast<std::ptrdiff_t>(digits),
                    upper_id.begin() + static_cast<std::ptrdiff_t>(digits + 4), IsHex)) {
      return AsciiLower(upper_id.substr(digits, 4));
    }
  }
  return "";
}

}  // namespace

std::string UsbIdFromDeviceId(const std::string& id) {
  const std::string upper = AsciiUpper(id);
  const std::string vendor = FourHexAfter(upper, "VID_");
  const std::string product = FourHexAfter(upper, "PID_");
  return vendor.empty() || product.empty() ? "" : vendor + ":" + product;
}

std::string SerialFromInstanceId(const std::string& id) {
  const std::size_t first = id.find('\\');
  if (first == std::string::npos || AsciiUpper(id.substr(0, first)) != "USB") {
    return "";
  }
  const std::size_t second = id.find('\\', first + 1);
  if (second == std::string::npos || second + 1 == id.size()) {
    return "";
  }
  const std::string last = id.substr(second + 1);
  return last.find('&') != std::string::npos || last.find('\\') != std::string::npos ? "" : last;
}

std::string PortFromFriendlyName(const std::string& name) {
  const std::size_t close = name.rfind(')');
  const std::size_t open = name.rfind('(', close);
  if (close == std::string::npos || open == std::string::npos) {
    return "";
  }
  const std::string inside = name.substr(open + 1, close - open - 1);
  const std::string upper = AsciiUpper(inside);
  if (upper.size() < 4 || upper.compare(0, 3, "COM") != 0 ||
      !std::all_of(upper.begin() + 3, upper.end(),
                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return "";
  }
  return inside;
}

std::string TovrelPortName(const std::string& com_name) {
  const std::string upper = AsciiUpper(com_name);
  const bool numbered = upper.size() > 3 && upper.compare(0, 3, "COM") == 0 &&
                        std::all_of(upper.begin() + 3, upper.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
  return numbered && upper.size() > 4 ? "\\\\.\\" + com_name : com_name;
}

}  // namespace tovrel::ports
