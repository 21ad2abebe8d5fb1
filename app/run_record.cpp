#include "app/run_record.h"

#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/sha256.h"
#include "app/terminal_text.h"

namespace tovrel {
namespace {

using Json = nlohmann::ordered_json;

template <typename Value>
Json OrNull(const std::optional<Value>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json OrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

void AddIdentification(Json& object, const char* key, const std::optional<std::string>& text) {
  object[key] = OrNull(text);
  if (text && !IsWellFormedUtf8(*text)) {
    object[std::string(key) + "_hex"] =
        LowerHex(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
  }
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian), in whole-number arithmetic
// that needs neither gmtime_r nor gmtime_s.
void CivilDate(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string RunRecord::TovrelVersion() {
  return TOVREL_VERSION;
}

const char* RunOutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kComplete:
      return "complete";
    case RunOutcome::kFailed:
      return "failed";
    case RunOutcome::kInterrupted:
      return "interrupted";
    case RunOutcome::kRefused:
      return "refused";
  }
  return "failed";
}

std::string UtcTimestamp(std::int64_t unix_ms) {
  const std::int64_t ms_per_day = 86'400'000;
  std::int64_t days = unix_ms / ms_per_day;
  std::int64_t in_day = unix_ms % ms_per_day;
  if (in_day < 0) {
    in_day += ms_per_day;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilDate(days, year, month, day);
  char text[48];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02u-%02uT%02u:%02u:%02u.%03uZ", year, month, day,
                static_cast<unsigned>(in_day / 3'600'000),
                static_cast<unsigned>(in_day / 60'000 % 60),
                static_cast<unsigned>(in_day / 1000 % 60), static_cast<unsigned>(in_day % 1000));
  return text;
}

std::string FormatRunRecord(const RunRecord& record) {
  const auto elapsed_ms = static_cast<std::int64_t>(record.elapsedMicros / 1000u);
  Json object;
  object["start"] = UtcTimestamp(record.startUnixMs);
  object["end"] = UtcTimestamp(record.startUnixMs + elapsed_ms);
  object["duration_ms"] = elapsed_ms;
  object["version"] = record.version;
  object["host"] = OrNull(record.host);
  object["port"] = record.portGiven;
  object["port_opened"] = OrNull(record.portOpened);
  object["rate"] = record.rate;
  object["image_path"] = record.imagePath;
  object["image_bytes"] = OrNull(record.imageBytes);
  object["image_sha256"] = OrNull(record.imageSha256);
  AddIdentification(object, "id_before", record.identificationBefore);
  AddIdentification(object, "id_after", record.identificationAfter);
  object["bytes_transferred"] = record.bytesTransferred;
  object["sent_sha256"] = OrNull(record.sentSha256);
  object["outcome"] = RunOutcomeName(record.outcome);
  object["step"] = OrNull(record.step);
  object["exit_status"] = record.exitStatus;
  object["error_code"] = record.errorCode;
  object["system_error"] = record.systemError;
  object["system_error_text"] = OrNull(record.systemErrorText);
  object["reason"] = OrNull(record.reason);
  // ASCII only, and bad UTF-8 replaced rather than thrown over.
  return object.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}

}  // namespace tovrel
