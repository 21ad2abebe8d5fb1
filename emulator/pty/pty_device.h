// The emulated device at the far end of a serial port that a real port server drives, with a
// pseudo-terminal standing in for the port: the server opens the terminal (the slave side) as
// its UART; this plays the cable and the device on the master side.
//
// - What the server writes reaches the device over the modelled line (EmulatedUart), at the
//   speed and frame the terminal is set to, and, when the terminal asks for hardware flow control
//   (CRTSCTS), only while the device holds CTS on: the UART's part, which a pseudo-terminal does
//   not play. Bytes waiting for CTS wait in the terminal, as in a UART's buffer.
// - The device answers only while the server holds RTS on (it honours the handshake); its bytes
//   are written into the terminal for the server to read.
// - CTS reaches the server, and DTR and RTS come back, through the shared modem lines
//   (modem_line_block.h) that the server's preloaded helper answers its modem-line calls from.
// - The terminal's settings and the server's lines are looked at before bytes the server wrote
//   go to the line, and at least every 5 ms otherwise. Besides that the device sleeps until the
//   terminal has something or the line's next change (a byte ends, CTS moves).
//
// The server's closing the terminal is seen as a hang-up on the master side; the port's state
// at that moment is kept for the report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/device_config.h"
#include "emulator/emulated_uart.h"
#include "emulator/pty/far_port_state.h"
#include "emulator/pty/modem_line_block.h"

namespace tovrel::pty {

class PtyDevice {
 public:
  PtyDevice(Clock& clock, const DeviceConfig& config, const DeviceFaults& faults);
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // Makes the pseudo-terminal and the shared lines at `modem_lines_path`; false with `error`.
  bool Open(const std::string& modem_lines_path, std::string& error);
  // The terminal's path (/dev/pts/N), for the server's configuration.
  const std::string& TerminalPath() const { return terminal_path_; }

  // One round: sleeps until something is due, the terminal is ready or `stop_descriptor` (when
  // not -1) is readable, then moves everything that can move.
  void Step(int stop_descriptor);

  // Times the server has closed the terminal so far, and the port as it was at the last close.
  std::uint32_t Closes() const { return closes_; }
  const FarPortState& PortAtLastClose() const { return port_at_close_; }
  // The port as it is now, and as the line last played it (what the device's last command came
  // in with).
  FarPortState Port() const;
  const FarPortState& PortInForce() const { return port_in_force_; }
  // TIOCM_DTR and TIOCM_RTS as the server set them, and how often it read the lines.
  std::uint32_t HostLines() const;
  std::uint32_t LineReads() const;

  const EmulatedDevice& Device() const { return uart_.Device(); }

 private:
  void Wait(int stop_descriptor);
  void LookForHangUp();
  void ApplyPortSettings();
  void TakeFromServer();
  void GiveToServer();
  void ShowModemLines();

  Clock& source_;
  SteppedClock clock_;
  EmulatedUart uart_;
  ModemLineMapping lines_;
  int master_ = -1;
  std::string terminal_path_;

  bool port_open_ = true;  // until the first hang-up: a fresh terminal shows none
  std::uint32_t closes_ = 0;
  FarPortState port_at_close_;
  FarPortState port_in_force_;
  Clock::Micros next_settings_look_ = 0;

  std::vector<std::uint8_t> incoming_;        // read from the terminal, not yet on the line
  std::vector<std::uint8_t> outgoing_;        // from the device, not yet taken by the terminal
  std::optional<std::uint32_t> shown_lines_;  // the device lines last put in the shared file
};

}  // namespace tovrel::pty
