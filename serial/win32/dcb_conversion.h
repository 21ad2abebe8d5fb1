// Pure conversions between the port classes' own line-state, time-out, handle and wait types and
// the Win32 ones. Kept apart from the calls into kernel32 so they can be tested without a port.
//
// Include order matters: core/serial_types.h must come before <windows.h>, whose macros would
// otherwise replace our names. After <windows.h>, `DCB` and `COMMTIMEOUTS` inside namespace tovrel
// name our mirrors, `::DCB` and `::COMMTIMEOUTS` the Win32 structures; the macro constants
// (NOPARITY, INFINITE, INVALID_HANDLE_VALUE...) are the platform's from here on.
#pragma once

#include <cstdint>

#include "core/serial_types.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace tovrel {

// Field by field; the flag word is spread over the Win32 bit fields one field at a time, so the
// result does not depend on how the compiler lays out bit fields.
::DCB ToWin32Dcb(const DCB& ours);
DCB FromWin32Dcb(const ::DCB& theirs);

::COMMTIMEOUTS ToWin32Timeouts(const COMMTIMEOUTS& ours);
COMMTIMEOUTS FromWin32Timeouts(const ::COMMTIMEOUTS& theirs);

// A Win32 HANDLE kept as an integer. The platform's invalid handle value, (HANDLE)-1, becomes our
// INVALID_HANDLE_VALUE (-1) and back; the null handle a failed CreateMutexA gives becomes kNoMutex.
std::intptr_t FromWin32Handle(HANDLE handle);
HANDLE ToWin32Handle(std::intptr_t handle);

// WAIT_OBJECT_0 -> kTaken, WAIT_TIMEOUT -> kTimeout, WAIT_ABANDONED -> kAbandoned, anything else
// (WAIT_FAILED) -> kFailed.
WaitResult ToWaitResult(DWORD wait_status);

}  // namespace tovrel
