// What a flashing station or a fleet script asks of a run through the environment, beside the
// fixed command line: the image's expected fingerprint and a wait for the device to appear.
// The record of the run (TOVREL_REPORT) is the report file's business, not a setting of the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tovrel {

inline constexpr char kReportVariable[] = "TOVREL_REPORT";
inline constexpr char kExpectSha256Variable[] = "TOVREL_EXPECT_SHA256";
inline constexpr char kWaitVariable[] = "TOVREL_WAIT";

// A day: beyond it a wait is a typing error, not a station waiting for its next unit.
inline constexpr std::uint32_t kLongestWaitSeconds = 86400;
// Between two tries to reach the device while waiting for it.
inline constexpr std::uint32_t kWaitRetryMs = 500;

// The variables' raw values, null where one is not set.
struct StationVariables {
  const char* expectSha256 = nullptr;
  const char* waitSeconds = nullptr;

  static StationVariables FromEnvironment();
};

struct StationSettings {
  // 64 lower-case hex digits; the image must have this SHA-256 before anything is sent.
  std::optional<std::string> expectedSha256;
  // How long to keep trying to open the port and to get the first identification; 0 for one
  // try, as without the variable.
  std::uint32_t waitSeconds = 0;
};

// Checks and takes the values. False, with `refusal` one line (no line end) that names the
// variable and shows its value escaped, when one is malformed: a fingerprint that is not 64 hex
// digits, or a wait that is not a whole number of seconds up to kLongestWaitSeconds. An empty
// value is malformed too: a script whose fingerprint came out empty must not flash unchecked.
bool ReadStationSettings(const StationVariables& variables, StationSettings& settings,
                         std::string& refusal);

}  // namespace tovrel
