#include "app/station_settings.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "app/sha256.h"
#include "app/terminal_text.h"
#include "core/whole_number.h"

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
  std::uint64_t seconds = 0;
  if (variables.waitSeconds != nullptr &&
      !ReadWholeNumber(variables.waitSeconds, 0, kLongestWaitSeconds, seconds)) {
    refusal = std::string(kWaitVariable) + " must be a whole number of seconds from 0 to " +
              std::to_string(kLongestWaitSeconds) + ", not " + QuotedValue(variables.waitSeconds);
    return false;
  }
  settings.waitSeconds = static_cast<std::uint32_t>(seconds);
  return true;
}

}  // namespace tovrel
