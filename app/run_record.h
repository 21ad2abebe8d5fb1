// The record of one run (TOVREL_REPORT): what was flashed into which device, when, and how it
// ended, as one JSON object on one line, for the station's and the fleet's logs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/clock.h"

namespace tovrel {

enum class RunOutcome {
  kComplete,     // "Flash update complete!" was printed
  kFailed,       // a step failed; `step` says which
  kInterrupted,  // a stop request ended the run
  kRefused,      // the run did not start: a malformed setting, or an image not the one expected
};

const char* RunOutcomeName(RunOutcome outcome);

// Where a run ended, in the order the update takes them.
namespace run_step {
inline constexpr char kSettings[] = "settings";        // a malformed environment value
inline constexpr char kPortName[] = "port-name";       // a malformed usb: name
inline constexpr char kFingerprint[] = "fingerprint";  // not the image expected
inline constexpr char kOpen[] = "open";
inline constexpr char kInquiry[] = "inquiry";
inline constexpr char kPauseAfterInquiry[] = "pause-after-inquiry";
inline constexpr char kFile[] = "file";
inline constexpr char kSize[] = "size";
inline constexpr char kTransferRate[] = "transfer-rate";
inline constexpr char kStart[] = "start";
inline constexpr char kPauseAfterStart[] = "pause-after-start";
inline constexpr char kTransfer[] = "transfer";
inline constexpr char kPauseAfterTransfer[] = "pause-after-transfer";
inline constexpr char kReturnRate[] = "return-rate";
inline constexpr char kFinalInquiry[] = "final-inquiry";
}  // namespace run_step

struct RunRecord {
  std::string version = TovrelVersion();
  std::string host;
  // The wall clock when the run began, in milliseconds since 1970 UTC. The end is that plus
  // the run's length on the monotonic clock, so that a clock set during the run cannot make
  // the two disagree.
  std::int64_t startUnixMs = 0;
  Clock::Micros elapsedMicros = 0;

  std::string portGiven;
  std::optional<std::string> portOpened;  // the name last handed to the platform
  std::int32_t rate = 0;

  std::string imagePath;
  std::optional<std::uint64_t> imageBytes;
  // Of the whole file: hashed before the run when a fingerprint was expected, or as sent when
  // every byte of it went.
  std::optional<std::string> imageSha256;

  // The identifications exactly as the device sent them.
  std::optional<std::string> identificationBefore;
  std::optional<std::string> identificationAfter;

  std::uint32_t bytesTransferred = 0;
  std::optional<std::string> sentSha256;  // of the bytes transferred, once the transfer began

  RunOutcome outcome = RunOutcome::kFailed;
  std::string step;  // empty for a complete run
  int exitStatus = 1;
  std::int32_t errorCode = 0;  // the port's program error code (lastError)
  std::uint32_t systemError = 0;
  std::string systemErrorText;
  std::string reason;  // the line on standard error about the failure, without its line end

  // The version of the program that writes the record.
  static std::string TovrelVersion();
};

// "2024-05-01T09:30:00.250Z".
std::string UtcTimestamp(std::int64_t unix_ms);

// One JSON object and a line feed. Pure ASCII: every control byte and everything beyond ASCII
// is \u-escaped. A text that is not well-formed UTF-8 (an identification with stray bytes)
// cannot be a JSON string byte for byte: it shows U+FFFD for each bad byte, and for the
// identifications an "..._hex" field beside it holds the exact bytes.
std::string FormatRunRecord(const RunRecord& record);

}  // namespace tovrel
