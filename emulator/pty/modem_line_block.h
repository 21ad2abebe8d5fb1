// The modem lines of a pseudo-terminal that plays a serial port, shared between the program that
// owns the port (through the LD_PRELOAD helper that answers its modem-line calls) and the
// program that plays the device on the pseudo-terminal's master side. A pseudo-terminal has no
// modem lines of its own; this small file, mapped into both processes, is the cable.
//
// The device drives CTS (and DSR, CD, RI); the port's owner drives DTR and RTS. Every field is a
// lock-free atomic, so that each side reads and writes without locks across the processes.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace tovrel::pty {

// Environment variable that tells the preloaded helper where the shared lines are.
inline constexpr char kModemLinesVariable[] = "TOVREL_MODEM_LINES";

struct ModemLines {
  static constexpr std::uint32_t kReady = 0x4d4c4e31;  // "MLN1": the creator has filled it in

  std::atomic<std::uint32_t> ready;
  // st_rdev of the pseudo-terminal's slave: the one terminal whose lines these are.
  std::atomic<std::uint64_t> terminal;
  // TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI as the device drives them.
  std::atomic<std::uint32_t> device_lines;
  // TIOCM_DTR and TIOCM_RTS as the port's owner set them.
  std::atomic<std::uint32_t> host_lines;
  // Incremented with every change the port's owner makes, so that a drop and a raise between two
  // looks are not missed.
  std::atomic<std::uint32_t> host_changes;
  // Incremented each time the port's owner reads the lines (TIOCMGET), so that one can tell how
  // often the device's CTS was looked at.
  std::atomic<std::uint32_t> line_reads;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free,
              "the shared lines need lock-free atomics");

// The bits each side owns.
inline constexpr std::uint32_t kHostLineBits = TIOCM_DTR | TIOCM_RTS;
inline constexpr std::uint32_t kDeviceLineBits = TIOCM_CTS | TIOCM_CAR | TIOCM_RNG | TIOCM_DSR;

// A mapping of the shared file. Moves, never copies; unmaps when it goes.
class ModemLineMapping {
 public:
  ModemLineMapping() = default;
  ~ModemLineMapping();
  ModemLineMapping(ModemLineMapping&& other) noexcept;
  ModemLineMapping& operator=(ModemLineMapping&& other) noexcept;
  ModemLineMapping(const ModemLineMapping&) = delete;
  ModemLineMapping& operator=(const ModemLineMapping&) = delete;

  // Creates (or truncates) the file at `path` for the terminal `terminal`, with the host lines
  // as a driver leaves them at the open (DTR and RTS on) and the device lines all off.
  static ModemLineMapping Create(const std::string& path, dev_t terminal);
  // Maps a file made by Create; an unmapped object when there is none or it is not ready.
  static ModemLineMapping Open(const char* path);

  bool IsMapped() const { return lines_ != nullptr; }
  ModemLines& Lines() const { return *lines_; }

 private:
  explicit ModemLineMapping(ModemLines* lines) : lines_(lines) {}

  ModemLines* lines_ = nullptr;
};

}  // namespace tovrel::pty
