// Loaded with LD_PRELOAD into a program that drives a serial port (a port server) when that
// port is a pseudo-terminal: the modem-line calls on that one terminal (TIOCMGET, TIOCMBIS,
// TIOCMBIC, TIOCMSET), which a pseudo-terminal refuses, are answered from the shared lines that
// the device's side drives (modem_line_block.h, named by TOVREL_MODEM_LINES). Every other call,
// and these calls on any other descriptor, go to the system unchanged.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdlib>

#include "emulator/pty/modem_line_block.h"

namespace {

using tovrel::pty::kDeviceLineBits;
using tovrel::pty::kHostLineBits;
using tovrel::pty::kModemLinesVariable;
using tovrel::pty::ModemLineMapping;
using tovrel::pty::ModemLines;

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction RealIoctl() {
  static const IoctlFunction real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

// The shared lines, mapped at the first modem-line call; nullptr when there are none. The
// mapping is never undone: the program may still set its lines while it exits (a server puts
// its port back as it closes), after static objects would have been destroyed.
ModemLines* SharedLines() {
  static const ModemLineMapping* const mapping =
      new ModemLineMapping(ModemLineMapping::Open(std::getenv(kModemLinesVariable)));
  return mapping->IsMapped() ? &mapping->Lines() : nullptr;
}

bool IsModemLineCall(unsigned long request) {
  return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

// True when `fd` is the terminal whose lines are shared.
bool IsSharedTerminal(int fd, const ModemLines& lines) {
  struct stat info;
  return ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
         static_cast<std::uint64_t>(info.st_rdev) == lines.terminal.load();
}

void SetHostLines(ModemLines& lines, unsigned long request, std::uint32_t bits) {
  const std::uint32_t asked = bits & kHostLineBits;
  std::uint32_t now = lines.host_lines.load();
  std::uint32_t next = now;
  do {
    next = request == TIOCMBIS ? now | asked : request == TIOCMBIC ? now & ~asked : asked;
  } while (!lines.host_lines.compare_exchange_weak(now, next));
  if (next != now) {
    lines.host_changes.fetch_add(1);
  }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);

  if (IsModemLineCall(request) && argument != nullptr) {
    ModemLines* lines = SharedLines();
    if (lines != nullptr && IsSharedTerminal(fd, *lines)) {
      int* bits = static_cast<int*>(argument);
      if (request == TIOCMGET) {
        lines->line_reads.fetch_add(1);
        *bits = static_cast<int>((lines->device_lines.load() & kDeviceLineBits) |
                                 (lines->host_lines.load() & kHostLineBits));
      } else {
        SetHostLines(*lines, request, static_cast<std::uint32_t>(*bits));
      }
      return 0;
    }
  }
  const IoctlFunction real = RealIoctl();
  return real != nullptr ? real(fd, request, argument) : -1;
}
