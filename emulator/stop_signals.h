// How the emulator programs (POSIX only) are stopped: SIGINT and SIGTERM are held pending rather
// than handled, and the program looks for them between steps. A stop then always falls between
// two whole steps, and no handler has to share state with the program.
#pragma once

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tovrel {

class StopSignals {
 public:
  // Holds both signals pending from here on, and ignores SIGPIPE: a reader of the log that has
  // gone away must not end the program.
  StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    descriptor_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~StopSignals() {
    if (descriptor_ >= 0) {
      close(descriptor_);
    }
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable while one of the signals is pending, so that a wait on it ends at once for a stop
  // (the signals stay pending: it need not be read, and Requested still sees them); -1 when it
  // could not be made.
  int Descriptor() const { return descriptor_; }

  static bool Requested() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
  }

 private:
  int descriptor_ = -1;
};

}  // namespace tovrel
