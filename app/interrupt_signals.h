// The program's stop request: SIGINT (Ctrl-C), SIGTERM and SIGHUP on POSIX; Ctrl-C, Ctrl-Break
// and the console being closed on Windows. The handler only records the first event; the run's
// waits look for it and the run ends in order, releasing the port. A second event while that is
// under way ends the process at once. Only one object may exist at a time: the handlers are the
// process's.
#pragma once

#include "serial/interruption.h"

namespace tovrel {

class InterruptSignals final : public Interruption {
 public:
  // Installs the handlers. A signal the program was started with ignored (SIGHUP under nohup)
  // stays ignored. On POSIX SIGPIPE is ignored as well: output nobody reads any more (a pipe
  // whose reader the same Ctrl-C stopped) must not end the run before the port is released.
  InterruptSignals();
  // Puts back the handlers that were there before.
  ~InterruptSignals() override;
  InterruptSignals(const InterruptSignals&) = delete;
  InterruptSignals& operator=(const InterruptSignals&) = delete;

  bool Requested() override;
  // On Windows a synchronous read cannot look for the request, so the handler cancels the read
  // the run is blocked in (CancelSynchronousIo). Elsewhere every wait looks for itself.
  bool BeginBlockingCall() override;
  void EndBlockingCall() override;

  // The exit status of a program stopped this way: 128 + the signal's number on POSIX (130 for
  // Ctrl-C), STATUS_CONTROL_C_EXIT on Windows.
  int ExitStatus() const;

#ifdef _WIN32
  // What the system calls for a console event; tests call it as the system would.
  static int __stdcall HandleConsoleEvent(unsigned long event);
#endif
};

}  // namespace tovrel
