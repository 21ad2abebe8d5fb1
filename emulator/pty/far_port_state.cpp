#include "emulator/pty/far_port_state.h"

#include <sys/ioctl.h>

#include "serial/posix/termios_mapping.h"

namespace tovrel::pty {

FarPortState FarPortStateOf(const termios& settings, std::uint32_t host_lines) {
  FarPortState state;
  state.baud = posix_serial::BaudRateForSpeed(cfgetospeed(&settings));
  const tcflag_t size = settings.c_cflag & CSIZE;
  state.data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  if ((settings.c_cflag & PARENB) != 0) {
    state.parity = (settings.c_cflag & PARODD) != 0 ? 'O' : 'E';
  }
  state.stop_bits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 1;
  state.rtscts = (settings.c_cflag & CRTSCTS) != 0;
  state.ixon = (settings.c_iflag & IXON) != 0;
  state.ixoff = (settings.c_iflag & IXOFF) != 0;
  state.dtr = (host_lines & TIOCM_DTR) != 0;
  state.rts = (host_lines & TIOCM_RTS) != 0;
  return state;
}

std::string Describe(const FarPortState& state) {
  const auto flag = [](bool on) { return on ? "1" : "0"; };
  return "baud=" + std::to_string(state.baud) + " frame=" + std::to_string(state.data_bits) +
         state.parity + std::to_string(state.stop_bits) + " rtscts=" + flag(state.rtscts) +
         " ixon=" + flag(state.ixon) + " ixoff=" + flag(state.ixoff) + " dtr=" + flag(state.dtr) +
         " rts=" + flag(state.rts);
}

}  // namespace tovrel::pty
