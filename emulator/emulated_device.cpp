#include "emulator/emulated_device.h"

#include <algorithm>
#include <utility>

namespace tovrel {
namespace {

constexpr std::uint8_t kLetterInquiry = 'e';
constexpr std::uint8_t kLetterBaud = 'b';
constexpr std::uint8_t kLetterStart = 'g';
constexpr std::size_t kCountFieldBytes = 3;
constexpr std::size_t kMaxRateDigits = 9;
constexpr std::size_t kMaxSizeDigits = 10;

std::vector<std::uint8_t> BytesOf(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The number that text[from..] spells in decimal digits; nullopt when it is empty or holds
// anything else.
std::optional<std::uint64_t> DecimalValue(const std::vector<std::uint8_t>& text, std::size_t from) {
  if (from >= text.size()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return std::nullopt;
    }
    value = value * 10u + static_cast<std::uint64_t>(text[i] - '0');
  }
  return value;
}

bool IsDeviceRate(std::uint64_t rate) {
  return rate == 9600 || rate == 38400 || rate == 115200 || rate == 230400;
}

// Appends to a record that keeps its `limit` latest entries: the oldest are dropped in one go
// once it holds twice as many, so that each append costs little.
template <typename Entry>
void Record(std::vector<Entry>& record, Entry entry, std::size_t limit) {
  if (record.size() >= 2 * limit) {
    record.erase(record.begin(), record.end() - static_cast<std::ptrdiff_t>(limit - 1));
  }
  record.push_back(std::move(entry));
}

}  // namespace

EmulatedDevice::EmulatedDevice(DeviceConfig config, DeviceFaults faults)
    : config_(std::move(config)),
      faults_(std::move(faults)),
      speed_(config_.initial_baud),
      product_id_(config_.product_id),
      busy_until_(config_.switched_on_at) {}

void EmulatedDevice::ReceiveByte(std::uint8_t byte, const LineFormat& format, Clock::Micros at) {
  if (!ClearToSend(at)) {
    ++bytes_while_cts_off_;
  }
  const bool garbled = format != Format();
  if (garbled) {
    ++garbled_bytes_;
  }
  if (receiving_image_) {
    ReceiveImageByte(garbled ? kGarbledByte : byte, at);
    return;
  }
  if (garbled) {
    // A framing error spoils the command under way; the junk byte itself counts as ignored.
    parser_.Reset();
    parser_.Feed(kGarbledByte);
    return;
  }
  if (auto frame = parser_.Feed(byte)) {
    HandleCommand(*frame, at);
  }
}

Clock::Micros EmulatedDevice::ReceiveBytes(const std::vector<std::uint8_t>& bytes,
                                           Clock::Micros first_at) {
  Clock::Micros at = first_at;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) {
      at += ByteTimeMicros(speed_);
    }
    ReceiveByte(bytes[i], Format(), at);
  }
  return at;
}

bool EmulatedDevice::CtsHeldOff() const {
  return faults_.cts_stuck_off || stuck_off_;
}

bool EmulatedDevice::ClearToSend(Clock::Micros at) const {
  return !CtsHeldOff() && at >= busy_until_;
}

std::optional<Clock::Micros> EmulatedDevice::NextClearToSend(Clock::Micros at) const {
  if (CtsHeldOff()) {
    return std::nullopt;
  }
  return std::max(at, busy_until_);
}

std::uint64_t EmulatedDevice::BytesBeforeReaction() const {
  if (!receiving_image_) {
    return 0;
  }
  // The byte that ends a piece (or the image) drops CTS; so may the one a CTS hold is set for.
  std::uint64_t until = std::min<std::uint64_t>(config_.piece_bytes - bytes_in_piece_,
                                                announced_bytes_ - image_.size());
  if (faults_.cts_hold_at_image_byte && *faults_.cts_hold_at_image_byte > image_.size()) {
    until = std::min<std::uint64_t>(until, *faults_.cts_hold_at_image_byte - image_.size());
  }
  return until == 0 ? 0 : until - 1;
}

std::optional<Clock::Micros> EmulatedDevice::NextOutputReady() const {
  if (output_.empty()) {
    return std::nullopt;
  }
  return output_.front().ready_at;
}

std::uint8_t EmulatedDevice::StartOutputByte() {
  sending_ = output_.front();
  output_.pop_front();
  Record(sent_bytes_, sending_->value, kSentByteHistory);
  return sending_->value;
}

void EmulatedDevice::FinishOutputByte(Clock::Micros /*at*/) {
  if (sending_ && sending_->switch_to_baud) {
    speed_ = *sending_->switch_to_baud;
  }
  sending_.reset();
}

std::vector<std::uint8_t> EmulatedDevice::TakeAllOutput(Clock::Micros at) {
  std::vector<std::uint8_t> bytes;
  while (!output_.empty()) {
    bytes.push_back(StartOutputByte());
    FinishOutputByte(at);
  }
  return bytes;
}

void EmulatedDevice::HandleCommand(const std::vector<std::uint8_t>& frame, Clock::Micros at) {
  Record(commands_, ReceivedCommand{frame, speed_, at}, kCommandHistory);
  ++command_count_;
  // Parameters lie between the letter and the final 'C'.
  const std::vector<std::uint8_t> params(frame.begin() + 3, frame.end() - 1);
  switch (frame[2]) {
    case kLetterInquiry:
      if (params.size() == 1 && params[0] == '0') {
        HandleInquiry(at);
      }
      break;
    case kLetterBaud:
      HandleBaudRate(params, at);
      break;
    case kLetterStart:
      HandleStart(params, at);
      break;
    default:
      break;  // not a command of this device: no answer
  }
}

void EmulatedDevice::HandleInquiry(Clock::Micros at) {
  std::string text = product_id_;
  if (faults_.inquiry_text_bytes) {
    text.resize(*faults_.inquiry_text_bytes, '.');
  }
  std::string count;
  if (faults_.inquiry_count_text) {
    count = *faults_.inquiry_count_text;
    count.resize(kCountFieldBytes, ' ');
  } else {
    count = std::to_string(std::min<std::size_t>(product_id_.size(), 999));
    count.insert(0, kCountFieldBytes - count.size(), '0');
  }
  std::vector<std::uint8_t> reply = BytesOf(kInquiryHeaderStart + count + text);
  if (faults_.inquiry == ReplyFault::kWrongReply) {
    reply[0] = 'X';
  }
  Reply(std::move(reply), faults_.inquiry, at);
}

void EmulatedDevice::HandleBaudRate(const std::vector<std::uint8_t>& params, Clock::Micros at) {
  std::optional<std::uint32_t> rate;
  const std::optional<std::uint64_t> n =
      params.size() <= kMaxRateDigits ? DecimalValue(params, 0) : std::nullopt;
  if (n && IsDeviceRate(*n)) {
    rate = static_cast<std::uint32_t>(*n);
  } else if (n && IsDeviceRate(*n * 10u)) {
    rate = static_cast<std::uint32_t>(*n * 10u);
  }
  if (!rate || faults_.refuse_rate_change) {
    Reply(BytesOf(kBaudRefused), faults_.baud, at);
    return;
  }
  // A wrong reply from a device that did switch: the host must not follow it.
  const char* answer = faults_.baud == ReplyFault::kWrongReply ? kBaudRefused : kBaudAck;
  Reply(BytesOf(answer), faults_.baud, at, rate);
}

void EmulatedDevice::HandleStart(const std::vector<std::uint8_t>& params, Clock::Micros at) {
  const std::optional<std::uint64_t> size =
      params.size() <= 1 + kMaxSizeDigits && !params.empty() && params[0] == '0'
          ? DecimalValue(params, 1)
          : std::nullopt;
  if (!size || *size > config_.max_image_bytes || faults_.start == ReplyFault::kWrongReply) {
    Reply(BytesOf(kStartRefused), faults_.start, at);
    return;
  }
  Reply(BytesOf(kStartAccepted), faults_.start, at);

  announced_bytes_ = static_cast<std::uint32_t>(*size);
  image_.clear();
  image_.reserve(announced_bytes_);
  bytes_in_piece_ = 0;
  pieces_received_ = 0;
  programming_complete_ = false;
  receiving_image_ = true;
  if (faults_.cts_stuck_off_after_pieces == 0u) {
    stuck_off_ = true;
  }
  if (announced_bytes_ == 0) {
    CompleteImage();
  }
}

void EmulatedDevice::ReceiveImageByte(std::uint8_t byte, Clock::Micros at) {
  image_.push_back(byte);
  ++bytes_in_piece_;
  const bool last = image_.size() == announced_bytes_;
  if (bytes_in_piece_ == config_.piece_bytes || last) {
    FinishPiece(at);
  }
  if (faults_.cts_hold_at_image_byte && image_.size() == *faults_.cts_hold_at_image_byte) {
    busy_until_ = std::max(busy_until_, at + faults_.cts_hold_us);
  }
  if (last) {
    CompleteImage();
  }
}

void EmulatedDevice::CompleteImage() {
  receiving_image_ = false;
  programming_complete_ = true;
  if (config_.product_id_after_flash) {
    product_id_ = *config_.product_id_after_flash;
  }
}

void EmulatedDevice::FinishPiece(Clock::Micros at) {
  bytes_in_piece_ = 0;
  ++pieces_received_;
  busy_until_ = at + config_.busy_per_piece_us;
  if (faults_.cts_stuck_off_after_pieces &&
      pieces_received_ >= *faults_.cts_stuck_off_after_pieces) {
    stuck_off_ = true;
  }
}

void EmulatedDevice::Reply(std::vector<std::uint8_t> bytes, ReplyFault fault, Clock::Micros at,
                           std::optional<std::uint32_t> switch_to_baud) {
  if (faults_.silent || fault == ReplyFault::kNoReply || output_.size() >= kPendingReplyLimit) {
    bytes.clear();
  } else if (fault == ReplyFault::kShortReply) {
    const std::size_t missing =
        std::min<std::size_t>(faults_.short_reply_missing_bytes, bytes.size());
    bytes.resize(bytes.size() - missing);
  }
  if (bytes.empty()) {
    if (switch_to_baud) {
      speed_ = *switch_to_baud;
    }
    return;
  }
  const Clock::Micros ready = at + faults_.reply_delay_us;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool last = i + 1 == bytes.size();
    output_.push_back(OutputByte{bytes[i], ready, last ? switch_to_baud : std::nullopt});
    if (!last) {
      for (std::uint32_t n = 0; n < faults_.reply_nuls; ++n) {
        output_.push_back(OutputByte{0, ready, std::nullopt});
      }
    }
  }
}

}  // namespace tovrel
