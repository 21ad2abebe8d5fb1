#include "serial/posix/output_queue_wait.h"

#include <algorithm>

namespace tovrel::posix_serial {

std::uint64_t ByteTimeMicros(std::uint32_t baud_rate) {
  if (baud_rate == 0) {
    return kStalledLookMicros;
  }
  return std::max<std::uint64_t>(1, (10'000'000ull + baud_rate - 1) / baud_rate);
}

std::uint64_t LineTimeMicros(std::uint32_t bytes, std::uint32_t baud_rate) {
  if (baud_rate == 0) {
    return std::uint64_t{bytes} * kStalledLookMicros;
  }
  return (std::uint64_t{bytes} * 10'000'000ull + baud_rate - 1) / baud_rate;
}

QueueWaitResult WaitForOutputToLeave(OutputQueue& queue, std::uint32_t baud_rate,
                                     std::uint64_t deadline_micros) {
  std::uint32_t queued = 0;
  if (!queue.Queued(queued)) {
    return {QueueState::kUnknown, 0};
  }
  const std::uint64_t byte_time = ByteTimeMicros(baud_rate);
  std::uint64_t stalled_pause = byte_time;
  std::uint32_t previous = queued;
  bool first = true;
  while (queued > 0) {
    const std::uint64_t now = queue.NowMicros();
    if (now >= deadline_micros) {
      return {QueueState::kStuck, queued};
    }
    std::uint64_t pause = 0;
    if (first || queued < previous) {
      // Moving: the queued bytes need this long on the wire; the next look should find the
      // queue empty, or nearly so. Worked out for all of them at once, so that rounding a
      // byte's time up does not add up over a whole piece.
      pause = LineTimeMicros(queued, baud_rate);
      stalled_pause = byte_time;
    } else {
      // Not moving (CTS off): look less and less often, so a long hold costs few wake-ups,
      // but never so rarely that the line sits idle long once it moves again.
      pause = stalled_pause;
      stalled_pause = std::min(stalled_pause * 2, kStalledLookMicros);
    }
    first = false;
    previous = queued;
    queue.SleepMicros(std::min(pause, deadline_micros - now));
    if (!queue.Queued(queued)) {
      return {QueueState::kUnknown, 0};
    }
  }
  return {QueueState::kEmpty, 0};
}

}  // namespace tovrel::posix_serial
