#include "serial/win32/dcb_conversion.h"

namespace tovrel {
namespace {

// fDummy2, the 17 reserved bits above fAbortOnError. Carried through unchanged so that a state
// read from the driver is written back exactly as read.
constexpr unsigned kDcbDummy2Shift = 15;

// The members that are plain fields in both structures, under the same names; only the flag
// word needs converting.
template <typename From, typename To>
void CopyPlainMembers(const From& from, To& to) {
  to.DCBlength = from.DCBlength;
  to.BaudRate = from.BaudRate;
  to.wReserved = from.wReserved;
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
  to.wReserved1 = from.wReserved1;
}

}  // namespace

::DCB ToWin32Dcb(const DCB& ours) {
  ::DCB theirs{};

  const std::uint32_t flags = ours.flags;
  theirs.fBinary = (flags & kDcbBinary) != 0;
  theirs.fParity = (flags & kDcbParity) != 0;
  theirs.fOutxCtsFlow = (flags & kDcbOutxCtsFlow) != 0;
  theirs.fOutxDsrFlow = (flags & kDcbOutxDsrFlow) != 0;
  theirs.fDtrControl = (flags >> kDcbDtrControlShift) & 0x3u;
  theirs.fDsrSensitivity = (flags & kDcbDsrSensitivity) != 0;
  theirs.fTXContinueOnXoff = (flags & kDcbTxContinueOnXoff) != 0;
  theirs.fOutX = (flags & kDcbOutX) != 0;
  theirs.fInX = (flags & kDcbInX) != 0;
  theirs.fErrorChar = (flags & kDcbErrorChar) != 0;
  theirs.fNull = (flags & kDcbNull) != 0;
  theirs.fRtsControl = (flags >> kDcbRtsControlShift) & 0x3u;
  theirs.fAbortOnError = (flags & kDcbAbortOnError) != 0;
  // The shifted word has exactly 17 bits left, but GCC cannot see that a 32-bit value shifted
  // right by 15 fits a 17-bit field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
  theirs.fDummy2 = flags >> kDcbDummy2Shift;
#pragma GCC diagnostic pop

  CopyPlainMembers(ours, theirs);
  return theirs;
}

DCB FromWin32Dcb(const ::DCB& theirs) {
  DCB ours;

  std::uint32_t flags = 0;
  flags |= theirs.fBinary != 0 ? kDcbBinary : 0u;
  flags |= theirs.fParity != 0 ? kDcbParity : 0u;
  flags |= theirs.fOutxCtsFlow != 0 ? kDcbOutxCtsFlow : 0u;
  flags |= theirs.fOutxDsrFlow != 0 ? kDcbOutxDsrFlow : 0u;
  flags |= static_cast<std::uint32_t>(theirs.fDtrControl) << kDcbDtrControlShift;
  flags |= theirs.fDsrSensitivity != 0 ? kDcbDsrSensitivity : 0u;
  flags |= theirs.fTXContinueOnXoff != 0 ? kDcbTxContinueOnXoff : 0u;
  flags |= theirs.fOutX != 0 ? kDcbOutX : 0u;
  flags |= theirs.fInX != 0 ? kDcbInX : 0u;
  flags |= theirs.fErrorChar != 0 ? kDcbErrorChar : 0u;
  flags |= theirs.fNull != 0 ? kDcbNull : 0u;
  flags |= static_cast<std::uint32_t>(theirs.fRtsControl) << kDcbRtsControlShift;
  flags |= theirs.fAbortOnError != 0 ? kDcbAbortOnError : 0u;
  flags |= static_cast<std::uint32_t>(theirs.fDummy2) << kDcbDummy2Shift;
  ours.flags = flags;

  CopyPlainMembers(theirs, ours);
  return ours;
}

::COMMTIMEOUTS ToWin32Timeouts(const COMMTIMEOUTS& ours) {
  ::COMMTIMEOUTS theirs{};
  theirs.ReadIntervalTimeout = ours.ReadIntervalTimeout;
  theirs.ReadTotalTimeoutMultiplier = ours.ReadTotalTimeoutMultiplier;
  theirs.ReadTotalTimeoutConstant = ours.ReadTotalTimeoutConstant;
  theirs.WriteTotalTimeoutMultiplier = ours.WriteTotalTimeoutMultiplier;
  theirs.WriteTotalTimeoutConstant = ours.WriteTotalTimeoutConstant;
  return theirs;
}

COMMTIMEOUTS FromWin32Timeouts(const ::COMMTIMEOUTS& theirs) {
  COMMTIMEOUTS ours;
  ours.ReadIntervalTimeout = theirs.ReadIntervalTimeout;
  ours.ReadTotalTimeoutMultiplier = theirs.ReadTotalTimeoutMultiplier;
  ours.ReadTotalTimeoutConstant = theirs.ReadTotalTimeoutConstant;
  ours.WriteTotalTimeoutMultiplier = theirs.WriteTotalTimeoutMultiplier;
  ours.WriteTotalTimeoutConstant = theirs.WriteTotalTimeoutConstant;
  return ours;
}

std::intptr_t FromWin32Handle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

HANDLE ToWin32Handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

WaitResult ToWaitResult(DWORD wait_status) {
  switch (wait_status) {
    case WAIT_OBJECT_0:
      return WaitResult::kTaken;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;
    default:
      return WaitResult::kFailed;
  }
}

}  // namespace tovrel
