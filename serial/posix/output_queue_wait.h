// Waiting for a terminal's output queue to empty without leaving the line idle: sleep for the
// time the queued bytes need at the line's rate, look again, and only when the queue stops
// moving (output held by flow control) back off towards a coarser pace. Every wait ends by its
// deadline. The terminal and the clock are handed in, so the pacing is tested on virtual time.
#pragma once

#include <cstdint>

namespace tovrel::posix_serial {

class OutputQueue {
 public:
  virtual ~OutputQueue() = default;
  // Bytes the driver still holds for output; false when the driver cannot tell.
  virtual bool Queued(std::uint32_t& bytes) = 0;
  virtual std::uint64_t NowMicros() = 0;
  virtual void SleepMicros(std::uint64_t micros) = 0;
};

enum class QueueState { kEmpty, kUnknown, kStuck };

struct QueueWaitResult {
  QueueState state = QueueState::kEmpty;
  // Bytes still queued when the wait gave up (kStuck).
  std::uint32_t left = 0;
};

// The longest pause between two looks at a queue that does not move.
inline constexpr std::uint64_t kStalledLookMicros = 10'000;

// Time one byte takes at `baud_rate`, 10 bit times, rounded up; at least one microsecond.
std::uint64_t ByteTimeMicros(std::uint32_t baud_rate);
// Time `bytes` take at `baud_rate`, rounded up once for all of them.
std::uint64_t LineTimeMicros(std::uint32_t bytes, std::uint32_t baud_rate);

// Waits until `queue` reports nothing queued, or `deadline_micros` (on the queue's clock) has
// come. A driver that cannot report its queue is taken at its word (kUnknown).
QueueWaitResult WaitForOutputToLeave(OutputQueue& queue, std::uint32_t baud_rate,
                                     std::uint64_t deadline_micros);

}  // namespace tovrel::posix_serial
