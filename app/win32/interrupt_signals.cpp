#include <windows.h>

#include <cstdint>

#include "app/interrupt_signals.h"

namespace tovrel {
namespace {

// How long a read may take to begin after its look at the request, while the handler keeps
// trying to cancel it.
constexpr int kCancelAttempts = 200;
constexpr DWORD kCancelRetryMs = 1;
// The system ends the process soon after a console-close handler returns (and in any case after
// about five seconds): the run is given that long to release the port.
constexpr DWORD kCloseGraceMs = 4500;

volatile LONG stop_requested = 0;

// The read in progress, if any: guarded by blocking_lock, which the handler takes to cancel it.
CRITICAL_SECTION blocking_lock;
HANDLE blocking_thread = nullptr;

// Cancels the read the run is blocked in. The run may be between its look at the request and
// the read itself, when there is nothing to cancel yet: try again for a little while.
void CancelBlockingCall() {
  for (int attempt = 0; attempt < kCancelAttempts; ++attempt) {
    EnterCriticalSection(&blocking_lock);
    const bool blocking = blocking_thread != nullptr;
    const bool cancelled = blocking && CancelSynchronousIo(blocking_thread) != FALSE;
    LeaveCriticalSection(&blocking_lock);
    if (!blocking || cancelled) {
      return;
    }
    Sleep(kCancelRetryMs);
  }
}

}  // namespace

InterruptSignals::InterruptSignals() {
  stop_requested = 0;
  InitializeCriticalSection(&blocking_lock);
  SetConsoleCtrlHandler(HandleConsoleEvent, TRUE);
}

InterruptSignals::~InterruptSignals() {
  SetConsoleCtrlHandler(HandleConsoleEvent, FALSE);
  DeleteCriticalSection(&blocking_lock);
}

int __stdcall InterruptSignals::HandleConsoleEvent(unsigned long event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (InterlockedExchange(&stop_requested, 1) != 0) {
    // The second one: the technician will not wait for the orderly end.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  CancelBlockingCall();
  if (event == CTRL_CLOSE_EVENT) {
    Sleep(kCloseGraceMs);
  }
  return TRUE;
}

bool InterruptSignals::Requested() {
  return InterlockedCompareExchange(&stop_requested, 0, 0) != 0;
}

bool InterruptSignals::BeginBlockingCall() {
  EnterCriticalSection(&blocking_lock);
  const bool begin = !Requested();
  if (begin) {
    // A handle the handler can cancel the call with. Without one the call still runs, to the
    // end of its time-out.
    HANDLE thread = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0,
                        FALSE, DUPLICATE_SAME_ACCESS) != FALSE) {
      blocking_thread = thread;
    }
  }
  LeaveCriticalSection(&blocking_lock);
  return begin;
}

void InterruptSignals::EndBlockingCall() {
  EnterCriticalSection(&blocking_lock);
  if (blocking_thread != nullptr) {
    CloseHandle(blocking_thread);
    blocking_thread = nullptr;
  }
  LeaveCriticalSection(&blocking_lock);
}

int InterruptSignals::ExitStatus() const {
  return static_cast<int>(static_cast<std::int32_t>(STATUS_CONTROL_C_EXIT));
}

}  // namespace tovrel
