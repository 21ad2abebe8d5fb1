// Picks command frames (ESC '!' letter parameters... 'C') out of the bytes the device receives.
// Bytes outside a frame are ignored; an ESC always starts a new frame, so the parser finds its
// way back after noise or a frame cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tovrel {

class CommandFrameParser {
 public:
  // Longest frame accepted; a longer run is dropped and the parser waits for the next ESC.
  static constexpr std::size_t kMaxFrameBytes = 32;

  // Feeds one byte. Returns the whole frame (ESC through the final 'C') when this byte ends one.
  std::optional<std::vector<std::uint8_t>> Feed(std::uint8_t byte);
  // Drops a frame in progress (the device does this on a byte it could not receive cleanly).
  void Reset();
  // Bytes that were not part of any complete frame.
  std::uint32_t IgnoredBytes() const { return ignored_; }

 private:
  std::vector<std::uint8_t> frame_;
  std::uint32_t ignored_ = 0;
};

}  // namespace tovrel
