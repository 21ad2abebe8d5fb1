#include <signal.h>
#include <unistd.h>

#include <csignal>

#include "app/interrupt_signals.h"

namespace tovrel {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// The first stop signal's number, 0 until one came. Written only by the handler.
volatile std::sig_atomic_t stop_signal = 0;

struct sigaction previous_actions[kStopSignalCount];
struct sigaction previous_pipe_action;

extern "C" void OnStopSignal(int signal_number) {
  if (stop_signal != 0) {
    // The second one: the technician will not wait for the orderly end.
    _exit(128 + signal_number);
  }
  stop_signal = signal_number;
}

}  // namespace

InterruptSignals::InterruptSignals() {
  stop_signal = 0;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  // One handler at a time: a second signal waits for the first handler to finish, then ends the
  // process.
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kStopSignals) {
    sigaddset(&action.sa_mask, signal_number);
  }
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kStopSignalCount; ++i) {
    sigaction(kStopSignals[i], &action, &previous_actions[i]);
    if (previous_actions[i].sa_handler == SIG_IGN) {
      sigaction(kStopSignals[i], &previous_actions[i], nullptr);
    }
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previous_pipe_action);
}

InterruptSignals::~InterruptSignals() {
  for (int i = 0; i < kStopSignalCount; ++i) {
    sigaction(kStopSignals[i], &previous_actions[i], nullptr);
  }
  sigaction(SIGPIPE, &previous_pipe_action, nullptr);
}

bool InterruptSignals::Requested() {
  return stop_signal != 0;
}

bool InterruptSignals::BeginBlockingCall() {
  return !Requested();
}

void InterruptSignals::EndBlockingCall() {}

int InterruptSignals::ExitStatus() const {
  return 128 + static_cast<int>(stop_signal);
}

}  // namespace tovrel
