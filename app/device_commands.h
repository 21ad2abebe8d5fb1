#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovrel {

// The wire format spoken with the transporter/printer. Every command is ESC, '!', a command
// letter, parameter characters and a final 'C'; every reply has a length fixed by its command.
// Nothing here touches the port.

inline constexpr std::uint8_t kEsc = 0x1B;

// Inquiry reply: a 7-byte header whose bytes 4..6 hold the count of identification bytes that
// follow. Header and text share one zero-filled buffer of 104 bytes.
inline constexpr std::uint32_t kInquiryHeaderBytes = 7;
inline constexpr std::uint32_t kInquiryBufferBytes = 104;
inline constexpr std::uint32_t kMaxIdentificationBytes =
    kInquiryBufferBytes - kInquiryHeaderBytes - 1;
inline constexpr std::uint32_t kBaudReplyBytes = 5;
inline constexpr std::uint32_t kStartReplyBytes = 6;

inline constexpr std::uint32_t kInquiryTimeoutSeconds = 15;
inline constexpr std::uint32_t kCommandTimeoutSeconds = 30;

// The image always travels at this rate; faster links are brought down to it first.
inline constexpr std::uint32_t kTransferBaudRate = 38400;

// One formatted command: up to kCapacity bytes, followed by a zero that is not part of it and is
// never sent. The zero lets text() be printed in a message.
class CommandBytes {
 public:
  static constexpr std::uint32_t kCapacity = 15;

  CommandBytes() = default;

  const std::uint8_t* data() const { return bytes.data(); }
  std::uint32_t size() const { return length; }
  // The command as zero-terminated text, ESC included.
  const char* text() const { return reinterpret_cast<const char*>(bytes.data()); }
  std::string_view view() const { return std::string_view(text(), length); }

  // Adds one byte; a byte beyond kCapacity is dropped (no command here comes near it).
  void Append(std::uint8_t byte);
  void Append(std::string_view characters);
  void AppendDecimal(std::uint32_t number);

  friend bool operator==(const CommandBytes& left, std::string_view right) {
    return left.view() == right;
  }
  friend bool operator!=(const CommandBytes& left, std::string_view right) {
    return !(left == right);
  }

 private:
  std::array<std::uint8_t, kCapacity + 1> bytes{};
  std::uint32_t length = 0;
};

// ESC "!e0C": asks for the product identification.
CommandBytes MakeInquiryCommand();

// ESC "!b" number "C". The number is 38400 itself when the link is brought down for the transfer,
// and BaudRateCommandNumberForReturn(rate) when it is brought back.
CommandBytes MakeBaudRateCommand(std::uint32_t number);
// The number that asks the device to return to `requested_rate`: the rate divided by ten.
std::uint32_t BaudRateCommandNumberForReturn(std::uint32_t requested_rate);

// ESC "!g0" size "C": announces an image of `file_size` bytes. At most 15 bytes.
CommandBytes MakeStartProgrammingCommand(std::uint32_t file_size);

// The count announced in an inquiry header: bytes 4..6 read as a decimal number (leading blanks
// and a sign allowed, stopping at the first non-digit, no digits giving 0). Reads only those three
// bytes. A null header reads as 0.
std::int32_t ReadIdentificationCount(const std::uint8_t* header);

// How many identification bytes to read for an announced `count`. A negative count reads nothing.
// A count above kMaxIdentificationBytes reads only that many: the read stays inside the 104-byte
// buffer and the text stays zero-terminated. The surplus bytes stay queued in the driver, and the
// purge at the start of the next transaction drops them.
std::uint32_t IdentificationBytesToRead(std::int32_t count);

// True only for exactly the 5 bytes ESC "!b1C".
bool IsBaudAcknowledgement(const std::uint8_t* reply, std::uint32_t length);

// True when the reply has at least 5 bytes and index 4 holds '1'; the other bytes are not looked
// at.
bool IsStartAccepted(const std::uint8_t* reply, std::uint32_t length);

}  // namespace tovrel
