// The serial port a server drives, as the device at its far end finds it: the settings of the
// pseudo-terminal that plays it, and the DTR and RTS lines the server set.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

namespace tovrel::pty {

struct FarPortState {
  std::uint32_t baud = 0;
  int data_bits = 8;
  char parity = 'N';  // N, E or O
  int stop_bits = 1;
  bool rtscts = false;  // hardware flow control (CRTSCTS)
  bool ixon = false;    // XON/XOFF on output
  bool ixoff = false;   // XON/XOFF on input
  bool dtr = false;
  bool rts = false;
};

// The state from the terminal's settings and the host lines (TIOCM_DTR, TIOCM_RTS bits).
FarPortState FarPortStateOf(const termios& settings, std::uint32_t host_lines);

// "baud=115200 frame=8N1 rtscts=1 ixon=0 ixoff=0 dtr=0 rts=1"
std::string Describe(const FarPortState& state);

}  // namespace tovrel::pty
