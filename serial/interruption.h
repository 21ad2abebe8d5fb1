// A request from outside the run to stop it: Ctrl-C, a termination signal, the console being
// closed. Whatever receives such an event only raises the request; the run's waits look at it
// (at least every kInterruptionLookMs) and end early, and the run then leaves through the same
// exits as a failed one, so that everything is released one way only.
#pragma once

#include <cstdint>

#include "core/clock.h"

namespace tovrel {

class Interruption {
 public:
  Interruption() = default;
  virtual ~Interruption() = default;
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // True from the moment a stop was asked for; it stays so.
  virtual bool Requested() = 0;

  // Brackets a call that blocks inside the system and cannot look at Requested() while it
  // waits (a synchronous Win32 read): a stop asked for in between may cut that call short.
  // Begin returns false, and the call must then not be made, once a stop has been asked for.
  virtual bool BeginBlockingCall() { return !Requested(); }
  virtual void EndBlockingCall() {}
};

// The longest a wait goes without looking for a stop request.
inline constexpr std::uint32_t kInterruptionLookMs = 10;

// Never asked to stop.
Interruption& NoInterruption();

// Lets `milliseconds` pass on `clock` in steps of at most kInterruptionLookMs. False as soon as
// a stop is asked for, at once when it already is.
bool SleepUnlessInterrupted(Clock& clock, Interruption& stop, std::uint32_t milliseconds);

}  // namespace tovrel
