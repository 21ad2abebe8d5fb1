// Preloaded into a host program (LD_PRELOAD) to give one pseudo-terminal the pace of a real
// serial line, and to measure how the host keeps that line busy.
//
// A pty takes every write at once and has no modem lines. Here, for the terminal named by
// TOVREL_BENCH_TTY:
//  - a write is queued at 10 bit times a byte at the speed last set with tcsetattr, or leaves at
//    once when TOVREL_BENCH_LINE is "instant" (for runs that only look at memory);
//  - TIOCOUTQ reports what is still queued, tcdrain waits until it has gone, an output flush
//    empties it (TCFLSH through ioctl is not used by the hosts measured here);
//  - the modem lines read as CTS and DSR on, and setting them succeeds.
// For every 128-byte write (an image piece) it notes how long the line had been idle and the
// time since the previous piece, and it counts the calls the program makes to the system
// interfaces that matter here (I/O, waits, terminal control), on any descriptor. At exit the
// figures go to the file named by TOVREL_BENCH_REPORT, one "key value..." line each, with the
// program's peak resident memory.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kPieceBytes = 128;

struct Shim {
  int fd = -1;
  std::uint64_t bits_per_second = 9600;
  bool instant = false;
  std::uint64_t line_free_at_ns = 0;  // when the last queued byte will have left
  std::uint64_t last_piece_ns = 0;
  std::vector<std::uint64_t> idle_ns;    // before each piece after the first
  std::vector<std::uint64_t> period_ns;  // from one piece to the next
  std::vector<std::uint64_t> calls_at_piece;
  std::uint64_t calls = 0;
  std::uint64_t pieces = 0;
};

Shim& State() {
  static Shim* shim = new Shim;  // never destroyed: used until the very end of the process
  return *shim;
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::uint64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t ByteNs(const Shim& shim) {
  return shim.instant ? 0 : std::uint64_t{10'000'000'000u} / shim.bits_per_second;
}

std::uint64_t QueuedBytes(const Shim& shim, std::uint64_t now) {
  if (now >= shim.line_free_at_ns || shim.instant) {
    return 0;
  }
  const std::uint64_t byte_ns = ByteNs(shim);
  return (shim.line_free_at_ns - now + byte_ns - 1) / byte_ns;
}

void SleepUntil(std::uint64_t deadline_ns) {
  timespec until{};
  until.tv_sec = static_cast<time_t>(deadline_ns / 1'000'000'000u);
  until.tv_nsec = static_cast<long>(deadline_ns % 1'000'000'000u);
  static const auto real_sleep =
      Real<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
  while (real_sleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
  }
}

void NoteOpen(const char* path, int fd) {
  const char* paced = std::getenv("TOVREL_BENCH_TTY");
  if (fd >= 0 && path != nullptr && paced != nullptr && std::strcmp(path, paced) == 0) {
    State().fd = fd;
    const char* line = std::getenv("TOVREL_BENCH_LINE");
    State().instant = line != nullptr && std::strcmp(line, "instant") == 0;
  }
}

bool Paced(int fd) {
  return fd >= 0 && fd == State().fd;
}

// Every form of open goes through here to the system's openat.
int OpenAt(int dir, const char* path, int flags, mode_t mode) {
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat");
  const int fd = real(dir, path, flags, mode);
  NoteOpen(path, fd);
  return fd;
}

__attribute__((destructor)) void Report() {
  const char* path = std::getenv("TOVREL_BENCH_REPORT");
  if (path == nullptr) {
    return;
  }
  FILE* report = std::fopen(path, "w");
  if (report == nullptr) {
    return;
  }
  const Shim& shim = State();
  std::fprintf(report, "pieces %llu\n", static_cast<unsigned long long>(shim.pieces));
  std::fprintf(report, "idle_ns");
  for (std::uint64_t value : shim.idle_ns) {
    std::fprintf(report, " %llu", static_cast<unsigned long long>(value));
  }
  std::fprintf(report, "\nperiod_ns");
  for (std::uint64_t value : shim.period_ns) {
    std::fprintf(report, " %llu", static_cast<unsigned long long>(value));
  }
  const std::uint64_t transfer_calls =
      shim.calls_at_piece.size() > 1 ? shim.calls_at_piece.back() - shim.calls_at_piece.front() : 0;
  std::fprintf(report, "\ntransfer_calls %llu\n", static_cast<unsigned long long>(transfer_calls));
  // The peak of this program alone: a parent's pages counted before the exec are not in it.
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    unsigned long long peak_kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
      if (std::sscanf(line, "VmHWM: %llu kB", &peak_kib) == 1) {
        std::fprintf(report, "peak_rss_kib %llu\n", peak_kib);
      }
    }
    std::fclose(status);
  }
  std::fclose(report);
}

}  // namespace

extern "C" {

// The mode argument of an open call is there only when the call may create a file.
#define TOVREL_OPEN_MODE(flags, mode)                       \
  mode_t mode = 0;                                          \
  if (((flags) & (O_CREAT | O_TMPFILE)) != 0) {             \
    va_list mode_argument;                                  \
    va_start(mode_argument, flags);                         \
    mode = static_cast<mode_t>(va_arg(mode_argument, int)); \
    va_end(mode_argument);                                  \
  }

int open(const char* path, int flags, ...) {
  TOVREL_OPEN_MODE(flags, mode);
  return OpenAt(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  TOVREL_OPEN_MODE(flags, mode);
  return OpenAt(AT_FDCWD, path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  TOVREL_OPEN_MODE(flags, mode);
  return OpenAt(dir, path, flags, mode);
}

int close(int fd) {
  static const auto real = Real<int (*)(int)>("close");
  if (Paced(fd)) {
    State().fd = -1;
  }
  return real(fd);
}

ssize_t write(int fd, const void* bytes, size_t count) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  Shim& shim = State();
  ++shim.calls;
  if (!Paced(fd)) {
    return real(fd, bytes, count);
  }
  const std::uint64_t now = NowNs();
  // The memory runs keep no records of their own, so that the peak is the program's.
  if (count == kPieceBytes && !shim.instant) {
    if (shim.pieces > 0) {
      shim.idle_ns.push_back(now > shim.line_free_at_ns ? now - shim.line_free_at_ns : 0);
      shim.period_ns.push_back(now - shim.last_piece_ns);
    }
    shim.last_piece_ns = now;
    shim.calls_at_piece.push_back(shim.calls);
    ++shim.pieces;
  }
  const ssize_t written = real(fd, bytes, count);
  if (written > 0) {
    shim.line_free_at_ns =
        std::max(shim.line_free_at_ns, now) + static_cast<std::uint64_t>(written) * ByteNs(shim);
  }
  return written;
}

ssize_t read(int fd, void* buffer, size_t count) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  ++State().calls;
  return real(fd, buffer, count);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  static const auto real = Real<int (*)(int, unsigned long, void*)>("ioctl");
  Shim& shim = State();
  ++shim.calls;
  if (Paced(fd)) {
    switch (request) {
      case TIOCOUTQ:
        *static_cast<int*>(argument) = static_cast<int>(QueuedBytes(shim, NowNs()));
        return 0;
      case TIOCMGET:
        *static_cast<int*>(argument) = TIOCM_CTS | TIOCM_DSR;
        return 0;
      case TIOCMSET:
      case TIOCMBIS:
      case TIOCMBIC:
        return 0;
      default:
        break;
    }
  }
  return real(fd, request, argument);
}

int tcdrain(int fd) {
  static const auto real = Real<int (*)(int)>("tcdrain");
  Shim& shim = State();
  ++shim.calls;
  if (Paced(fd)) {
    SleepUntil(shim.line_free_at_ns);
  }
  return real(fd);
}

int tcflush(int fd, int queue) {
  static const auto real = Real<int (*)(int, int)>("tcflush");
  Shim& shim = State();
  ++shim.calls;
  if (Paced(fd) && (queue == TCOFLUSH || queue == TCIOFLUSH)) {
    // The line's queue is this one: what it still held is dropped. The pty has handed every
    // byte to the far side already, and its own output flush would throw away bytes the device
    // has been sent but not yet read, so only an input flush reaches it.
    shim.line_free_at_ns = std::min(shim.line_free_at_ns, NowNs());
    return queue == TCOFLUSH ? 0 : real(fd, TCIFLUSH);
  }
  return real(fd, queue);
}

int tcsetattr(int fd, int when, const termios* settings) {
  static const auto real = Real<int (*)(int, int, const termios*)>("tcsetattr");
  Shim& shim = State();
  ++shim.calls;
  const int result = real(fd, when, settings);
  if (result == 0 && Paced(fd)) {
    static const struct {
      speed_t code;
      std::uint64_t rate;
    } kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                  {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& known : kRates) {
      if (cfgetospeed(settings) == known.code) {
        shim.bits_per_second = known.rate;
      }
    }
  }
  return result;
}

int tcgetattr(int fd, termios* settings) {
  static const auto real = Real<int (*)(int, termios*)>("tcgetattr");
  ++State().calls;
  return real(fd, settings);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
  static const auto real = Real<int (*)(pollfd*, nfds_t, int)>("poll");
  ++State().calls;
  return real(fds, count, timeout);
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  static const auto real =
      Real<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
  ++State().calls;
  return real(fds, count, timeout, mask);
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout) {
  static const auto real = Real<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
  ++State().calls;
  return real(count, readable, writable, failed, timeout);
}

int nanosleep(const timespec* duration, timespec* left) {
  static const auto real = Real<int (*)(const timespec*, timespec*)>("nanosleep");
  ++State().calls;
  return real(duration, left);
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* until, timespec* left) {
  static const auto real =
      Real<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
  ++State().calls;
  return real(clock, flags, until, left);
}

int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  static const auto real = Real<int (*)(int, int, void*)>("fcntl");
  ++State().calls;
  return real(fd, command, argument);
}

}  // extern "C"
