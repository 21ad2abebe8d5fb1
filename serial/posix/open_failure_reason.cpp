#include "serial/posix/open_failure_reason.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <type_traits>

namespace tovrel::posix_serial {
namespace {

// Debian and its relatives give serial ports to the dialout group; elsewhere there is no rule.
#if defined(__linux__)
constexpr char kPermissionDenied[] =
    "permission denied: the user needs to be in the port's group, usually dialout "
    "(sudo adduser $USER dialout, then log in again)";
#else
constexpr char kPermissionDenied[] = "permission denied: the user may not open the port";
#endif

}  // namespace

std::string OpenFailureReason(int error_number, long holder_pid) {
  // A lock refused comes as EWOULDBLOCK, which some systems also call EAGAIN (Linux) and some
  // do not: not a case label, where the two would clash.
  if (error_number == EBUSY || error_number == EWOULDBLOCK || error_number == EAGAIN) {
    if (holder_pid > 0) {
      return "busy: another program has it open (process " + std::to_string(holder_pid) + ")";
    }
    return "busy: another program has it open";
  }
  switch (error_number) {
    case EACCES:
    case EPERM:
      return kPermissionDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device";
    case ENOTTY:
      return "not a serial port";
    default:
      return SystemErrorText(error_number);
  }
}

long LockHolderInProcLocks(const std::string& proc_locks, unsigned major, unsigned minor,
                           std::uint64_t inode) {
  // Each line: "1: FLOCK  ADVISORY  WRITE 4321 00:05:123 0 EOF". A waiter's line has "->"
  // after the number and names a process that does not hold the lock.
  std::istringstream lines(proc_locks);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(fields >> number >> kind) || kind == "->") {
      continue;
    }
    if (!(fields >> mode >> access >> pid >> file)) {
      continue;
    }
    unsigned file_major = 0, file_minor = 0;
    unsigned long long file_inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &file_major, &file_minor, &file_inode) == 3 &&
        file_major == major && file_minor == minor && file_inode == inode && pid > 0) {
      return pid;
    }
  }
  return 0;
}

long LockHolderOf(const char* path) {
  struct stat status {};
  if (path == nullptr || ::stat(path, &status) != 0) {
    return 0;
  }
  std::ifstream table("/proc/locks");
  if (!table) {
    return 0;
  }
  const std::string text((std::istreambuf_iterator<char>(table)), std::istreambuf_iterator<char>());
  return LockHolderInProcLocks(text, major(status.st_dev), minor(status.st_dev),
                               static_cast<std::uint64_t>(status.st_ino));
}

std::string SystemErrorText(int error_number) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling the buffer; the POSIX one
  // returns 0 and fills it. Both are handled by looking at what came back.
  const auto result = ::strerror_r(error_number, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(result), const char* const> ||
                std::is_same_v<decltype(result), char* const>) {
    return result != nullptr ? std::string(result) : std::string(buffer);
  } else {
    return buffer[0] != '\0' ? std::string(buffer) : "error " + std::to_string(error_number);
  }
}

}  // namespace tovrel::posix_serial
