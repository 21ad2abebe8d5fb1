// Names parameterised cases after the `name` member of their parameter, so that a failure says
// which row of a table broke.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tovrel {

struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
    return param_info.param.name;
  }
};

}  // namespace tovrel
