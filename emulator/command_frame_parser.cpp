#include "emulator/command_frame_parser.h"

namespace tovrel {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kBang = '!';
constexpr std::uint8_t kEnd = 'C';
// ESC, '!', the letter: a 'C' only ends a frame after these.
constexpr std::size_t kHeadBytes = 3;

}  // namespace

std::optional<std::vector<std::uint8_t>> CommandFrameParser::Feed(std::uint8_t byte) {
  if (byte == kEsc) {
    Reset();
    frame_.push_back(byte);
    return std::nullopt;
  }
  if (frame_.empty()) {
    ++ignored_;
    return std::nullopt;
  }
  if (frame_.size() == 1 && byte != kBang) {
    Reset();
    ++ignored_;
    return std::nullopt;
  }
  frame_.push_back(byte);
  if (byte == kEnd && frame_.size() > kHeadBytes) {
    std::vector<std::uint8_t> done;
    done.swap(frame_);
    return done;
  }
  if (frame_.size() >= kMaxFrameBytes) {
    Reset();
  }
  return std::nullopt;
}

void CommandFrameParser::Reset() {
  ignored_ += static_cast<std::uint32_t>(frame_.size());
  frame_.clear();
}

}  // namespace tovrel
