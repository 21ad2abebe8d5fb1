#include "serial/win32_open_failure_reason.h"

namespace tovrel {
namespace {

// The Win32 numbers, spelt out so that this builds without <windows.h>.
constexpr std::uint32_t kFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kPathNotFound = 3;       // ERROR_PATH_NOT_FOUND
constexpr std::uint32_t kAccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr std::uint32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr std::uint32_t kInvalidName = 123;      // ERROR_INVALID_NAME

}  // namespace

std::string Win32OpenFailureReason(std::uint32_t error_number, const std::string& system_text) {
  switch (error_number) {
    case kFileNotFound:
    case kPathNotFound:
      return "no such device";
    case kAccessDenied:
      // A COM port that another program holds answers so too.
      return "access denied: another program has it open, or the user may not use it";
    case kSharingViolation:
      return "busy: another program has it open";
    case kInvalidName:
      return "not a valid port name";
    default:
      return system_text;
  }
}

}  // namespace tovrel
