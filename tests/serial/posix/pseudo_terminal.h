// A pseudo-terminal for end-to-end tests of the POSIX backend. The test plays the device on the
// master side; the backend opens the slave by its path. An observer descriptor on the slave,
// opened before the backend's, lets a test read the terminal's settings and see its input queue,
// and keeps the slave alive when the backend closes its port.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tovrel::posix_serial {

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // False when the pseudo-terminal could not be set up; `Error()` says why.
  bool Ok() const { return master_ >= 0 && observer_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& SlavePath() const { return slave_path_; }

  // The device sends: all bytes reach the master within a second, or false.
  bool Send(const std::vector<std::uint8_t>& bytes);
  bool Send(const std::string& bytes);
  // The device receives: up to `count` bytes, waiting at most `timeout_ms` for them.
  std::vector<std::uint8_t> Receive(std::size_t count, int timeout_ms);
  // Waits until input is queued at the port (the slave), at most `timeout_ms`.
  bool WaitForInputAtPort(int timeout_ms);
  // The settings in force on the slave.
  termios PortSettings() const;
  // Hangs up the line as a vanished device would.
  void CloseMaster();

 private:
  int master_ = -1;
  int observer_ = -1;
  std::string slave_path_;
  std::string error_;
};

}  // namespace tovrel::posix_serial
