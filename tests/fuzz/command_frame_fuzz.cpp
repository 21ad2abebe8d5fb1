// The emulator's command-frame parser, and the emulated device behind it taking any bytes a host
// can send, some of them garbled (sent in a format other than the device's).
//
// Properties checked on every input:
//  - every frame found is ESC '!' letter, parameters without ESC, and a final 'C', four to
//    kMaxFrameBytes bytes long; every byte fed ends up in exactly one frame or among the ignored
//    ones;
//  - the device answers only with its fixed replies and its identification, runs only at its
//    own rates, never takes more of an image than it accepted (nor accepts more than it may
//    keep), and keeps its records bounded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/command_frame_parser.h"
#include "emulator/device_config.h"
#include "emulator/emulated_device.h"
#include "emulator/line_format.h"
#include "fuzz_input.h"
#include "fuzz_support.h"

namespace tovrel::fuzz {
namespace {

constexpr std::uint8_t kEsc = 0x1B;

void CheckParser(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& resets) {
  CommandFrameParser parser;
  std::uint64_t in_frames = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i < resets.size() && (resets[i] & 0x0Fu) == 0) {
      parser.Reset();
    }
    const auto frame = parser.Feed(bytes[i]);
    if (!frame) {
      continue;
    }
    TOVREL_FUZZ_CHECK(frame->size() >= 4 && frame->size() <= CommandFrameParser::kMaxFrameBytes);
    TOVREL_FUZZ_CHECK((*frame)[0] == kEsc && (*frame)[1] == '!' && frame->back() == 'C');
    for (std::size_t j = 1; j < frame->size(); ++j) {
      TOVREL_FUZZ_CHECK((*frame)[j] != kEsc);
    }
    in_frames += frame->size();
  }
  parser.Reset();  // what was in progress counts as ignored from here
  TOVREL_FUZZ_CHECK(in_frames + parser.IgnoredBytes() == bytes.size());
}

bool StartsWith(const std::string& text, std::size_t at, const std::string& prefix) {
  return text.compare(at, prefix.size(), prefix) == 0;
}

std::string InquiryReply(const std::string& product_id) {
  char count[8];
  std::snprintf(count, sizeof count, "%03u", static_cast<unsigned>(product_id.size()));
  return std::string(EmulatedDevice::kInquiryHeaderStart) + count + product_id;
}

// The device's output is its replies one after the other, NULs between their bytes only when it
// is told to send them.
void CheckReplies(const std::vector<std::uint8_t>& output, const DeviceConfig& config, bool nuls) {
  std::string text;
  for (const std::uint8_t byte : output) {
    TOVREL_FUZZ_CHECK(nuls || byte != 0);
    if (byte != 0) {
      text.push_back(static_cast<char>(byte));
    }
  }
  const std::string fixed[] = {
      EmulatedDevice::kBaudAck,        EmulatedDevice::kBaudRefused,
      EmulatedDevice::kStartAccepted,  EmulatedDevice::kStartRefused,
      InquiryReply(config.product_id), InquiryReply(config.product_id_after_flash.value_or(""))};
  std::size_t at = 0;
  while (at < text.size()) {
    bool known = false;
    for (const std::string& reply : fixed) {
      if (StartsWith(text, at, reply)) {
        at += reply.size();
        known = true;
        break;
      }
    }
    TOVREL_FUZZ_CHECK(known);
  }
}

bool IsDeviceRate(std::uint32_t rate) {
  return rate == 9600 || rate == 38400 || rate == 115200 || rate == 230400;
}

void CheckDevice(FuzzInput& input) {
  static constexpr std::uint32_t kRates[] = {9600, 38400, 115200, 230400};
  DeviceConfig config;
  config.initial_baud = kRates[input.Byte() % 4u];
  config.max_image_bytes = input.Number16();
  config.piece_bytes = 1u + input.Byte();
  DeviceFaults faults;
  const std::uint8_t knobs = input.Byte();
  faults.refuse_rate_change = (knobs & 1u) != 0;
  faults.reply_nuls = (knobs & 2u) != 0 ? input.Byte() % 4u : 0u;
  EmulatedDevice device(config, faults);

  Clock::Micros at = 0;
  std::uint64_t sent = 0;
  while (!input.Empty()) {
    const std::vector<std::uint8_t> run = input.SizedBytes();
    // Now and then a run in a format the device is not using: a host at the wrong speed.
    const bool garbled = (input.Byte() & 0x07u) == 0;
    const LineFormat format =
        garbled ? LineFormat{device.Speed() == 9600 ? 38400u : 9600u, 8, 0} : device.Format();
    for (const std::uint8_t byte : run) {
      at += ByteTimeMicros(device.Speed());
      device.ReceiveByte(byte, format, at);
      TOVREL_FUZZ_CHECK(IsDeviceRate(device.Speed()));
    }
    const std::vector<std::uint8_t> output = device.TakeAllOutput(at);
    sent += output.size();
    CheckReplies(output, config, faults.reply_nuls > 0);
    TOVREL_FUZZ_CHECK(IsDeviceRate(device.Speed()));
  }
  TOVREL_FUZZ_CHECK(device.AnnouncedImageBytes() <= config.max_image_bytes);
  TOVREL_FUZZ_CHECK(device.Image().size() <= device.AnnouncedImageBytes());
  if (device.ProgrammingComplete()) {
    TOVREL_FUZZ_CHECK(!device.ReceivingImage());
    TOVREL_FUZZ_CHECK(device.Image().size() == device.AnnouncedImageBytes());
  }
  TOVREL_FUZZ_CHECK(device.Commands().size() <= 2 * EmulatedDevice::kCommandHistory);
  TOVREL_FUZZ_CHECK(device.SentBytes().size() <= 2 * EmulatedDevice::kSentByteHistory);
  TOVREL_FUZZ_CHECK(device.SentBytes().size() <= sent);
}

}  // namespace
}  // namespace tovrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  // The same bytes again, read as where the parser is told to drop a frame in progress.
  std::vector<std::uint8_t> resets(bytes.rbegin(), bytes.rend());
  tovrel::fuzz::CheckParser(bytes, resets);
  tovrel::fuzz::FuzzInput input(data, size);
  tovrel::fuzz::CheckDevice(input);
  return 0;
}
