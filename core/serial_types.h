// Line-state and time-out structures shaped like the Win32 communications API, so that the port
// classes read the same on every platform and flag words such as 0x2804 keep their meaning.
// Each backend translates these to what its platform understands.
#pragma once

#include <cstdint>

// <windows.h> defines most of the names below as macros. The Win32 backend includes this header
// first and uses the platform's own names only after it.
#if defined(NOPARITY) || defined(INVALID_HANDLE_VALUE) || defined(INFINITE)
#error "include core/serial_types.h before <windows.h>"
#endif

namespace tovrel {

// An open serial port as the platform sees it.
using PortHandle = std::intptr_t;
inline constexpr PortHandle INVALID_HANDLE_VALUE = -1;

// A lock created by the platform for one device port.
using MutexHandle = std::intptr_t;
inline constexpr MutexHandle kNoMutex = 0;

// Mirror of the Win32 DCB. `flags` is the 32-bit word that holds the Win32 bit fields, in the
// same bit positions (see the kDcb* masks below).
struct DCB {
  std::uint32_t DCBlength = sizeof(DCB);
  std::uint32_t BaudRate = 0;
  std::uint32_t flags = 0;
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
};

// Bit positions of the DCB flag word.
inline constexpr std::uint32_t kDcbBinary = 0x0001;          // fBinary
inline constexpr std::uint32_t kDcbParity = 0x0002;          // fParity
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;     // fOutxCtsFlow
inline constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;     // fOutxDsrFlow
inline constexpr std::uint32_t kDcbDtrControlMask = 0x0030;  // fDtrControl, 2 bits
inline constexpr unsigned kDcbDtrControlShift = 4;
inline constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;    // fDsrSensitivity
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 0x0080;  // fTXContinueOnXoff
inline constexpr std::uint32_t kDcbOutX = 0x0100;              // fOutX
inline constexpr std::uint32_t kDcbInX = 0x0200;               // fInX
inline constexpr std::uint32_t kDcbErrorChar = 0x0400;         // fErrorChar
inline constexpr std::uint32_t kDcbNull = 0x0800;              // fNull
inline constexpr std::uint32_t kDcbRtsControlMask = 0x3000;    // fRtsControl, 2 bits
inline constexpr unsigned kDcbRtsControlShift = 12;
inline constexpr std::uint32_t kDcbAbortOnError = 0x4000;  // fAbortOnError

// fDtrControl values.
inline constexpr std::uint32_t DTR_CONTROL_DISABLE = 0;
inline constexpr std::uint32_t DTR_CONTROL_ENABLE = 1;
inline constexpr std::uint32_t DTR_CONTROL_HANDSHAKE = 2;

// fRtsControl values.
inline constexpr std::uint32_t RTS_CONTROL_DISABLE = 0;
inline constexpr std::uint32_t RTS_CONTROL_ENABLE = 1;
inline constexpr std::uint32_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint32_t RTS_CONTROL_TOGGLE = 3;

inline constexpr std::uint32_t DtrControlOf(std::uint32_t flags) {
  return (flags & kDcbDtrControlMask) >> kDcbDtrControlShift;
}
inline constexpr std::uint32_t RtsControlOf(std::uint32_t flags) {
  return (flags & kDcbRtsControlMask) >> kDcbRtsControlShift;
}

// Parity codes.
inline constexpr std::uint8_t NOPARITY = 0;
inline constexpr std::uint8_t ODDPARITY = 1;
inline constexpr std::uint8_t EVENPARITY = 2;
inline constexpr std::uint8_t MARKPARITY = 3;
inline constexpr std::uint8_t SPACEPARITY = 4;

// Stop-bit codes.
inline constexpr std::uint8_t ONESTOPBIT = 0;
inline constexpr std::uint8_t ONE5STOPBITS = 1;
inline constexpr std::uint8_t TWOSTOPBITS = 2;

// Mirror of the Win32 COMMTIMEOUTS, all in milliseconds.
struct COMMTIMEOUTS {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Modem status bits.
inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// Purge flags.
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// A lock wait with no limit.
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;

// Outcome of one wait for a lock.
enum class WaitResult { kTaken, kTimeout, kAbandoned, kFailed };

}  // namespace tovrel
