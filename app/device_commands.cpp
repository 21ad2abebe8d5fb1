#include "app/device_commands.h"

#include "app/decimal.h"

namespace tovrel {

void CommandBytes::Append(std::uint8_t byte) {
  if (length < kCapacity) {
    bytes[length] = byte;
    ++length;
  }
}

void CommandBytes::Append(std::string_view characters) {
  for (const char c : characters) {
    Append(static_cast<std::uint8_t>(c));
  }
}

void CommandBytes::AppendDecimal(std::uint32_t number) {
  // Ten digits hold any 32-bit value; written backwards, then appended in reading order.
  char digits[10];
  std::size_t count = 0;
  do {
    digits[count] = static_cast<char>('0' + number % 10u);
    ++count;
    number /= 10u;
  } while (number != 0);
  while (count != 0) {
    --count;
    Append(static_cast<std::uint8_t>(digits[count]));
  }
}

namespace {

CommandBytes CommandWithNumber(std::string_view head, std::uint32_t number) {
  CommandBytes command;
  command.Append(kEsc);
  command.Append(head);
  command.AppendDecimal(number);
  command.Append(std::string_view("C"));
  return command;
}

}  // namespace

CommandBytes MakeInquiryCommand() {
  CommandBytes command;
  command.Append(kEsc);
  command.Append(std::string_view("!e0C"));
  return command;
}

CommandBytes MakeBaudRateCommand(std::uint32_t number) {
  return CommandWithNumber("!b", number);
}

std::uint32_t BaudRateCommandNumberForReturn(std::uint32_t requested_rate) {
  return requested_rate / 10u;
}

CommandBytes MakeStartProgrammingCommand(std::uint32_t file_size) {
  return CommandWithNumber("!g0", file_size);
}

std::int32_t ReadIdentificationCount(const std::uint8_t* header) {
  if (header == nullptr) {
    return 0;
  }
  constexpr std::size_t kCountOffset = 4;
  constexpr std::size_t kCountDigits = 3;
  return ParseDecimal(header + kCountOffset, kCountDigits);
}

std::uint32_t IdentificationBytesToRead(std::int32_t count) {
  if (count <= 0) {
    return 0;
  }
  const auto wanted = static_cast<std::uint32_t>(count);
  return wanted < kMaxIdentificationBytes ? wanted : kMaxIdentificationBytes;
}

bool IsBaudAcknowledgement(const std::uint8_t* reply, std::uint32_t length) {
  static constexpr std::uint8_t kAcknowledgement[kBaudReplyBytes] = {kEsc, '!', 'b', '1', 'C'};
  if (reply == nullptr || length != kBaudReplyBytes) {
    return false;
  }
  for (std::uint32_t i = 0; i < kBaudReplyBytes; ++i) {
    if (reply[i] != kAcknowledgement[i]) {
      return false;
    }
  }
  return true;
}

bool IsStartAccepted(const std::uint8_t* reply, std::uint32_t length) {
  constexpr std::uint32_t kVerdictIndex = 4;
  return reply != nullptr && length > kVerdictIndex && reply[kVerdictIndex] == '1';
}

}  // namespace tovrel
