// Names for the cases of parameterised tests, so that a failure says which row of a table broke
// instead of printing the parameter's raw bytes.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace tovrel {

// A text as a test name: letters and digits kept, every other byte written as _xNN, so that
// distinct texts give distinct names; "Empty" for an empty text.
inline std::string TextName(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (text.empty()) {
    return "Empty";
  }
  std::string name;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= 'a' && byte <= 'z')) {
      name += c;
    } else {
      name += "_x";
      name += kHex[byte >> 4];
      name += kHex[byte & 0x0F];
    }
  }
  return name;
}

// Shows a case in GoogleTest's messages by its `name` member instead of its bytes. GoogleTest
// looks for the operator beside the case's type, so a suite brings it into the namespace of its
// cases: `using tovrel::case_printing::operator<<;`.
namespace case_printing {

template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(os << c.name) {
  return os << c.name;
}

}  // namespace case_printing

// Names cases after the `name` member of their parameter.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
    return param_info.param.name;
  }
};

// Names cases after the text `describe` makes of their parameter.
template <typename Describe>
auto NameBy(Describe describe) {
  return [describe = std::move(describe)](const auto& param_info) {
    return TextName(describe(param_info.param));
  };
}

}  // namespace tovrel
