#pragma once

#include <cstdint>
#include <string_view>

namespace tovrel {

// Reads text from outside (an option, a port number, an environment variable) that must be
// plain decimal digits making a number from `low` to `high`: no sign, no blanks, nothing after
// the digits. Leading zeros are harmless. Stops as soon as the number passes `high`, so that no
// run of digits, however long, can overflow. `value` is left alone when the text is refused.
inline bool ReadWholeNumber(std::string_view text, std::uint64_t low, std::uint64_t high,
                            std::uint64_t& value) {
  if (text.empty()) {
    return false;
  }
  std::uint64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    number = number * 10u + static_cast<std::uint64_t>(c - '0');
    if (number > high) {
      return false;
    }
  }
  if (number < low) {
    return false;
  }
  value = number;
  return true;
}

}  // namespace tovrel
