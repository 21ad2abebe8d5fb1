#include "app/station_settings.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "app/sha256.h"
#include "app/terminal_text.h"

namespace tovrel {
namespace {

bool ReadSha256(std::string_view text, std::string& hex) {
  if (text.size() != kSha256HexDigits) {
    return false;
  }
  hex.clear();
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return true;
}

bool ReadSeconds(std::string_view text, std::uint32_t& seconds) {
  if (text.empty()) {
    return false;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10u + static_cast<std::uint64_t>(c - '0');
    if (value > kLongestWaitSeconds) {
      return false;
    }
  }
  seconds = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

StationVariables StationVariables::FromEnvironment() {
  StationVariables variables;
  variables.expectSha256 = std::getenv(kExpectSha256Variable);
  variables.waitSeconds = std::getenv(kWaitVariable);
  return variables;
}

bool ReadStationSettings(const StationVariables& variables, StationSettings& settings,
                         std::string& refusal) {
  settings = StationSettings{};
  if (variables.expectSha256 != nullptr) {
    std::string hex;
    if (!ReadSha256(variables.expectSha256, hex)) {
      refusal = std::string(kExpectSha256Variable) + " must be a SHA-256 in 64 hex digits, not " +
                QuotedValue(variables.expectSha256);
      return false;
    }
    settings.expectedSha256 = hex;
  }
  if (variables.waitSeconds != nullptr &&
      !ReadSeconds(variables.waitSeconds, settings.waitSeconds)) {
    refusal = std::string(kWaitVariable) + " must be a whole number of seconds from 0 to " +
              std::to_string(kLongestWaitSeconds) + ", not " + QuotedValue(variables.waitSeconds);
    return false;
  }
  return true;
}

}  // namespace tovrel
