// Translation between the Win32-shaped line state (DCB) and termios settings. Pure functions on
// structures: no port is touched, so every mapping can be checked without hardware.
//
// termios holds the speed, the character frame, hardware and XON/XOFF flow control and the
// XON/XOFF characters. Everything else in a DCB (fBinary, fParity, fNull, the DTR and RTS control
// modes, DSR handling, the error, EOF and event characters, the XON/XOFF limits...) has no place
// in termios; the backend keeps the last applied DCB and reads those members back from it.
#pragma once

#include <termios.h>

#include <cstdint>

#include "core/serial_types.h"

namespace tovrel::posix_serial {

// The termios speed code for a rate in bits per second. False when termios has no such speed.
bool SpeedForBaudRate(std::uint32_t baud_rate, speed_t& speed);

// The rate in bits per second of a termios speed code; 0 for a code not in the table (B0 too).
std::uint32_t BaudRateForSpeed(speed_t speed);

// Raw binary mode: no line editing, echo, signal characters, output processing, input
// translation, break characters or XON/XOFF (which would eat bytes of the data); the receiver on
// and the modem status lines ignored (CLOCAL); DTR and RTS dropped on the last close (HUPCL); a
// read returns at once with what has arrived (VMIN 0, VTIME 0), because all waiting is done with
// poll() against deadlines. The speed, the character frame and hardware flow control are left
// alone.
void MakeRaw(termios& settings);

// Writes `state` into `settings` on top of raw mode. Returns 0, or EINVAL when the state asks for
// something termios cannot express (a speed it has no code for, a byte size outside 5..8, an
// unknown parity or stop-bits code, mark/space parity or hardware flow control on a system
// without them); `settings` is then left unchanged.
int ApplyLineState(const DCB& state, termios& settings);

// The line state that `settings` hold. Members termios has no place for come from `kept`, the
// line state last applied. Where termios and `kept` disagree on flow control (the driver or
// another program changed the port), termios wins: the result says what is in force.
DCB LineStateFromTermios(const termios& settings, const DCB& kept);

// True when `actual` (read back from the driver) holds the speed, frame, flow control and XON/XOFF
// characters asked for in `wanted`. Drivers adjust what they cannot do without failing the call.
bool SameLineSettings(const termios& wanted, const termios& actual);

}  // namespace tovrel::posix_serial
