#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovrel {

// Case in port names, schemes and device ids is ASCII case: these never depend on a locale.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string text) {
  for (char& c : text) {
    c = AsciiLower(c);
  }
  return text;
}

inline std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return text;
}

// Whether `text` (which may be null) starts with `lower_prefix`, a prefix in lower case, in any
// case. Never reads past the end of a shorter text.
inline bool StartsWithIgnoringCase(const char* text, std::string_view lower_prefix) {
  if (text == nullptr) {
    return false;
  }
  for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
    if (text[i] == '\0' || AsciiLower(text[i]) != lower_prefix[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace tovrel
