// Between the Win32-shaped line state and what COM-PORT-OPTION can set on the far UART. Pure
// functions, so every rule is checked without a connection.
//
// Carried to the server: BaudRate, ByteSize, Parity, StopBits, the flow control (hardware when
// fOutxCtsFlow is set or fRtsControl is RTS_CONTROL_HANDSHAKE, else XON/XOFF when fOutX or fInX
// is set, else none), the inbound flow control (hardware for RTS_CONTROL_HANDSHAKE, else
// XON/XOFF for fInX, else none), DTR on or off (fDtrControl) and RTS on or off (fRtsControl;
// on for the handshake, which then drives it, as a Win32 driver raises RTS while it can take
// input).
// Refused, because the protocol has no way to give the far side their meaning:
// DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE and fOutxDsrFlow.
// Kept on this side only: fNull (applied to received data here), and fields the far UART is not
// told about: fBinary, fParity, fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fAbortOnError,
// XonLim, XoffLim, XonChar, XoffChar, ErrorChar, EofChar, EvtChar.
#pragma once

#include <cstdint>
#include <vector>

#include "core/serial_types.h"
#include "rfc2217/telnet_codec.h"

namespace tovrel::rfc2217 {

// The COM-PORT-OPTION values of one line state, in the order they are sent.
struct LineRequest {
  std::uint32_t baud_rate = 0;
  std::uint8_t data_size = 0;
  std::uint8_t parity = 0;        // kParity*
  std::uint8_t stop_size = 0;     // kStop*
  std::uint8_t flow = 0;          // kControlNoFlow, kControlXonXoffFlow or kControlHardwareFlow
  std::uint8_t inbound_flow = 0;  // kControlInbound*Flow
  std::uint8_t dtr = 0;           // kControlDtrOn or kControlDtrOff
  std::uint8_t rts = 0;           // kControlRtsOn or kControlRtsOff
};

// One SET-CONTROL request of a line state; an optional one may go unanswered.
struct ControlRequest {
  std::uint8_t value = 0;
  bool optional = false;
};

// The SET-CONTROL requests of a line request, in the order they are sent. Servers read the flow
// control values differently (some add XON/XOFF or hardware flow control to what is already on,
// others replace it), so flow control is switched off first and the one wanted chosen after it:
// the far UART ends the same on every server. Inbound flow control is set explicitly, as an
// optional request because some servers never answer it. DTR and then RTS come last, so that RTS
// is raised once the flow control that will drive it is in place.
std::vector<ControlRequest> ControlSequence(const LineRequest& request);

// False when the line state holds something the protocol cannot carry or a value out of range
// (rate 0, data bits outside 5..8, unknown parity or stop-bits code).
bool MakeLineRequest(const DCB& state, LineRequest& request);

// Win32 parity / stop-bits codes and the protocol's values, both ways. False for unknown codes.
bool ParityToWire(std::uint8_t win32_parity, std::uint8_t& wire);
bool ParityFromWire(std::uint8_t wire, std::uint8_t& win32_parity);
bool StopBitsToWire(std::uint8_t win32_stop_bits, std::uint8_t& wire);
bool StopBitsFromWire(std::uint8_t wire, std::uint8_t& win32_stop_bits);

// The flag word for a flow-control setting the server reports (kControl*Flow), for a line state
// learnt from the server rather than set by us: DTR and RTS on unless the flow control drives RTS.
std::uint32_t FlagsForFlow(std::uint8_t flow);

// A line state for a port whose settings the server has not told: 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control, DTR and RTS on.
DCB DefaultRemoteLineState();

}  // namespace tovrel::rfc2217
