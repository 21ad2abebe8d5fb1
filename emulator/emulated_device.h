// The emulated transporter/printer. It understands the inquiry, baud-rate and start-programming
// commands, answers with fixed-length replies, changes its own speed after acknowledging a
// baud-rate command, keeps the image it is sent and holds CTS off while it writes each piece.
//
// The device knows nothing of clocks: whoever drives it (SimulatedLink, or a test) hands it bytes
// and asks for its output, always with times that never go backwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/command_frame_parser.h"
#include "emulator/device_config.h"
#include "emulator/line_format.h"

namespace tovrel {

// One command frame as the device received it.
struct ReceivedCommand {
  std::vector<std::uint8_t> bytes;  // ESC through the final 'C'
  std::uint32_t baud = 0;           // the device's speed when it arrived
  Clock::Micros at = 0;             // when its last byte arrived
};

class EmulatedDevice {
 public:
  // The records of what arrived and what was sent keep this many of the latest entries, so
  // that a device served for hours, whatever its clients send, keeps its memory flat.
  static constexpr std::size_t kCommandHistory = 1024;
  static constexpr std::size_t kSentByteHistory = 16384;
  // A host that sends commands faster than their replies can leave would make the replies queue
  // up without end: while this many reply bytes wait to be sent, a new command is carried out
  // but not answered, as by a device whose transmit buffer is full.
  static constexpr std::size_t kPendingReplyLimit = 4096;

  explicit EmulatedDevice(DeviceConfig config = {}, DeviceFaults faults = {});

  // ---- The line side ----

  // A byte has completely arrived at `at`, sent in `format`. A format other than the device's
  // own (its speed, 8 data bits, no parity) makes it kGarbledByte: counted, stored as such while
  // an image is being received, and otherwise dropped together with any command in progress.
  void ReceiveByte(std::uint8_t byte, const LineFormat& format, Clock::Micros at);
  // Convenience for tests: bytes arriving one byte time apart at the device's own format,
  // the first at `first_at`. Returns when the last one arrived.
  Clock::Micros ReceiveBytes(const std::vector<std::uint8_t>& bytes, Clock::Micros first_at);

  // CTS as the device drives it.
  bool ClearToSend(Clock::Micros at) const;
  // The earliest time from `at` on at which CTS is on; nullopt when it never comes on again.
  std::optional<Clock::Micros> NextClearToSend(Clock::Micros at) const;

  // How many more bytes the device takes in before one of them may change what the host can see
  // (CTS dropped, a reply started): 0 when the very next byte may, as any byte outside an image
  // can end a command. Lets whoever drives the line look at it only when something can show.
  std::uint64_t BytesBeforeReaction() const;

  // When the next byte the device has to send may start; nullopt when it has nothing to send.
  std::optional<Clock::Micros> NextOutputReady() const;
  // Takes that byte off the device's output to put it on the line at the device's current speed.
  // Only when NextOutputReady() has a value.
  std::uint8_t StartOutputByte();
  // The byte taken last has completely left the line at `at`. A speed change waiting for the
  // end of an acknowledgement happens here.
  void FinishOutputByte(Clock::Micros at);
  // Convenience for tests: takes every byte the device has to send, as if each left at once,
  // applying any speed change that follows them.
  std::vector<std::uint8_t> TakeAllOutput(Clock::Micros at);

  // The speed the device sends and listens at, and its whole format.
  std::uint32_t Speed() const { return speed_; }
  LineFormat Format() const { return LineFormat{speed_, 8, 0}; }

  // ---- What tests look at ----

  // The latest commands received (up to kCommandHistory), oldest first.
  const std::vector<ReceivedCommand>& Commands() const { return commands_; }
  // Every command received since power-on.
  std::uint64_t CommandCount() const { return command_count_; }
  // Image bytes received since the last accepted start-programming command.
  const std::vector<std::uint8_t>& Image() const { return image_; }
  // Size announced by the last accepted start-programming command.
  std::uint32_t AnnouncedImageBytes() const { return announced_bytes_; }
  // True while image bytes are being taken in.
  bool ReceivingImage() const { return receiving_image_; }
  // True once every announced byte has arrived.
  bool ProgrammingComplete() const { return programming_complete_; }
  // Pieces finished (full pieces, and the last partial one).
  std::uint32_t PiecesReceived() const { return pieces_received_; }
  // Bytes that arrived in a format the device was not using.
  std::uint32_t GarbledBytes() const { return garbled_bytes_; }
  // Bytes that arrived while CTS was off (a host that honours CTS sends none).
  std::uint32_t BytesWhileCtsOff() const { return bytes_while_cts_off_; }
  // Bytes outside any complete command frame (garbled ones included).
  std::uint32_t IgnoredBytes() const { return parser_.IgnoredBytes(); }
  // The latest bytes the device put on the line (up to kSentByteHistory), in order (NULs
  // included).
  const std::vector<std::uint8_t>& SentBytes() const { return sent_bytes_; }
  // The identification the next inquiry reports.
  const std::string& ProductId() const { return product_id_; }

  const DeviceConfig& Config() const { return config_; }
  // Faults may be changed at any time; each command looks at them when it arrives.
  DeviceFaults& Faults() { return faults_; }

  // Fixed reply bytes.
  static constexpr char kBaudAck[] = "\x1b!b1C";
  static constexpr char kBaudRefused[] = "\x1b!b0C";
  static constexpr char kStartAccepted[] = "\x1b!g01C";
  static constexpr char kStartRefused[] = "\x1b!g00C";
  static constexpr char kInquiryHeaderStart[] = "\x1b!e1";

 private:
  struct OutputByte {
    std::uint8_t value = 0;
    Clock::Micros ready_at = 0;
    std::optional<std::uint32_t> switch_to_baud;  // after this byte has left the line
  };

  void HandleCommand(const std::vector<std::uint8_t>& frame, Clock::Micros at);
  void HandleInquiry(Clock::Micros at);
  void HandleBaudRate(const std::vector<std::uint8_t>& params, Clock::Micros at);
  void HandleStart(const std::vector<std::uint8_t>& params, Clock::Micros at);
  void ReceiveImageByte(std::uint8_t byte, Clock::Micros at);
  void FinishPiece(Clock::Micros at);
  // Every announced byte has arrived: the device shows its new identification.
  void CompleteImage();
  // Queues a reply shaped by `fault` and the general faults; a speed change, if any, follows
  // its last byte (or happens at once when nothing is sent).
  void Reply(std::vector<std::uint8_t> bytes, ReplyFault fault, Clock::Micros at,
             std::optional<std::uint32_t> switch_to_baud = std::nullopt);
  bool CtsHeldOff() const;

  DeviceConfig config_;
  DeviceFaults faults_;
  CommandFrameParser parser_;
  std::uint32_t speed_;
  std::string product_id_;

  std::deque<OutputByte> output_;
  std::optional<OutputByte> sending_;

  Clock::Micros busy_until_ = 0;
  bool stuck_off_ = false;

  bool receiving_image_ = false;
  bool programming_complete_ = false;
  std::uint32_t announced_bytes_ = 0;
  std::uint32_t bytes_in_piece_ = 0;
  std::uint32_t pieces_received_ = 0;
  std::vector<std::uint8_t> image_;

  std::vector<ReceivedCommand> commands_;
  std::uint64_t command_count_ = 0;
  std::vector<std::uint8_t> sent_bytes_;
  std::uint32_t garbled_bytes_ = 0;
  std::uint32_t bytes_while_cts_off_ = 0;
};

}  // namespace tovrel
