// The judging of every device reply: the judges themselves on replies of any length and
// content, then a whole update against a device whose every reply (identification header and
// count, baud acknowledgement, start-programming reply), CTS line and platform failures come
// from the fuzz input, on a virtual clock.
//
// Properties checked on every input:
//  - the judges read nothing past the reply they are given (it sits in a block of exactly its
//    size) and say what the wire format says: the acknowledgement is exactly ESC "!b1C", a start
//    is accepted by a '1' at index 4, the count is bytes 4 to 6 read as a decimal number and no
//    more than 96 identification bytes are ever read;
//  - an update reports success only after the device accepted the start, acknowledged every
//    rate change exactly and was identified twice, and then the device received exactly the
//    image; each identification shown is the one the device sent, cut to what fits (and, on a
//    terminal, with its control characters escaped: no byte from the device reaches a terminal
//    as a control sequence);
//  - the port is closed and the file is closed on every way out, and no call reaches the port
//    once it is closed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/device_commands.h"
#include "app/terminal_text.h"
#include "app/update_sequence.h"
#include "core/clock.h"
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "serial/portable_locks.h"
#include "tests/support/memory_file_system.h"

namespace tovrel::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const char* text) {
  return Bytes(text, text + std::strlen(text));
}

// The count field as the wire format defines it, worked out here on its own: blanks, one sign,
// digits, in bytes 4 to 6.
std::int32_t CountField(const std::uint8_t* header) {
  std::size_t i = 4;
  auto blank = [](std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  while (i < 7 && blank(header[i])) {
    ++i;
  }
  bool negative = false;
  if (i < 7 && (header[i] == '+' || header[i] == '-')) {
    negative = header[i] == '-';
    ++i;
  }
  std::int32_t value = 0;
  while (i < 7 && header[i] >= '0' && header[i] <= '9') {
    value = value * 10 + (header[i] - '0');
    ++i;
  }
  return negative ? -value : value;
}

void CheckJudges(FuzzInput& input) {
  const Bytes reply = input.Bytes(input.Byte() % 12u);
  const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[reply.size() + 1]);
  std::copy(reply.begin(), reply.end(), block.get());
  const auto length = static_cast<std::uint32_t>(reply.size());
  const Bytes ack = BytesOf("\x1b!b1C");
  TOVREL_FUZZ_CHECK(IsBaudAcknowledgement(block.get(), length) == (reply == ack));
  TOVREL_FUZZ_CHECK(IsStartAccepted(block.get(), length) == (length > 4 && reply[4] == '1'));
  if (reply.size() >= kInquiryHeaderBytes) {
    // Exactly the header, so that a read past its seventh byte is seen.
    const std::unique_ptr<std::uint8_t[]> header(new std::uint8_t[kInquiryHeaderBytes]);
    std::copy(reply.begin(), reply.begin() + kInquiryHeaderBytes, header.get());
    const std::int32_t count = ReadIdentificationCount(header.get());
    TOVREL_FUZZ_CHECK(count == CountField(header.get()));
    const std::uint32_t to_read = IdentificationBytesToRead(count);
    TOVREL_FUZZ_CHECK(to_read <= kMaxIdentificationBytes);
    TOVREL_FUZZ_CHECK(to_read == (count <= 0   ? 0u
                                  : count > 96 ? 96u
                                               : static_cast<std::uint32_t>(count)));
  }
}

// The device as the port classes see it: each command it is sent is answered with the next reply
// of the script, NULs dropped on arrival as the driver does under fNull.
class ScriptedDevice final : public SerialApiWithPortableLocks {
 public:
  ScriptedDevice(FuzzInput& input, VirtualClock& clock) : input_(input), clock_(clock) {
    const std::uint8_t knobs = input.Byte();
    fail_open_ = (knobs & 0x01u) != 0 && (knobs & 0x80u) != 0;
    fail_drain_on_ = (knobs & 0x02u) != 0 ? 1u + input.Byte() % 8u : 0u;
    short_write_on_ = (knobs & 0x04u) != 0 ? 1u + input.Byte() % 8u : 0u;
    fail_status_on_ = (knobs & 0x08u) != 0 ? 1u + input.Byte() % 64u : 0u;
    fail_set_state_ = (knobs & 0x10u) != 0 && (knobs & 0x80u) != 0;
  }

  // The replies the device sent, to each kind of command, in order.
  std::vector<Bytes> inquiry_replies;
  std::vector<Bytes> baud_replies;
  std::vector<Bytes> start_replies;
  Bytes image;  // everything written that was not a command
  int opens = 0;
  int closes = 0;

  SysResult OpenPort(const char*, PortHandle& port) override {
    TOVREL_FUZZ_CHECK(!open_);
    port = INVALID_HANDLE_VALUE;
    if (fail_open_) {
      return SysResult::Failed(2);
    }
    open_ = true;
    ++opens;
    port = kHandle;
    return SysResult::Ok();
  }
  SysResult SetupQueues(PortHandle port, std::uint32_t, std::uint32_t) override {
    return Use(port);
  }
  SysResult GetLineState(PortHandle port, DCB& state) override {
    state = state_;
    return Use(port);
  }
  SysResult SetLineState(PortHandle port, const DCB& state) override {
    if (!Use(port) || fail_set_state_) {
      return SysResult::Failed(31);
    }
    state_ = state;
    return SysResult::Ok();
  }
  SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) override {
    timeouts = timeouts_;
    return Use(port);
  }
  SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) override {
    timeouts_ = timeouts;
    return Use(port);
  }
  SysResult GetModemStatus(PortHandle port, std::uint32_t& status) override {
    if (!Use(port) || ++status_reads_ == fail_status_on_) {
      return SysResult::Failed(22);
    }
    // CTS off for as many looks as the script says before each command.
    status = cts_off_looks_ > 0 ? 0u : MS_CTS_ON;
    if (cts_off_looks_ > 0) {
      --cts_off_looks_;
    }
    return SysResult::Ok();
  }
  SysResult ClearDtr(PortHandle port) override { return Use(port); }
  SysResult Purge(PortHandle port, std::uint32_t flags) override {
    if ((flags & (PURGE_RXCLEAR | PURGE_RXABORT)) != 0) {
      incoming_.clear();
    }
    return Use(port);
  }
  SysResult ClearErrors(PortHandle port) override { return Use(port); }
  SysResult ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& bytes_read) override {
    bytes_read = 0;
    if (!Use(port)) {
      return SysResult::Failed(6);
    }
    const std::size_t take = count < incoming_.size() ? count : incoming_.size();
    std::copy(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(take), buffer);
    incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(take));
    bytes_read = static_cast<std::uint32_t>(take);
    if (take < count) {
      // The rest never came: the read waited out its time-out.
      clock_.Advance(Clock::Micros{1000} *
                     (timeouts_.ReadTotalTimeoutConstant +
                      std::uint64_t{timeouts_.ReadTotalTimeoutMultiplier} * count));
    }
    return SysResult::Ok();
  }
  SysResult WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                       std::uint32_t& bytes_written) override {
    bytes_written = 0;
    if (!Use(port)) {
      return SysResult::Failed(6);
    }
    ++writes_;
    bytes_written = writes_ == short_write_on_ && count > 0 ? count - 1 : count;
    cts_off_looks_ = input_.Byte() % 4u == 0 ? input_.Byte() : 0u;
    const bool command = count >= 3 && bytes[0] == kEsc && bytes[1] == '!';
    if (!command) {
      image.insert(image.end(), bytes, bytes + bytes_written);
      return SysResult::Ok();
    }
    if (bytes_written < count) {
      return SysResult::Ok();  // a command cut short is not one the device answers
    }
    Bytes reply = NextReply(bytes[2]);
    if ((state_.flags & kDcbNull) != 0) {
      reply.erase(std::remove(reply.begin(), reply.end(), std::uint8_t{0}), reply.end());
    }
    incoming_.insert(incoming_.end(), reply.begin(), reply.end());
    (bytes[2] == 'e'   ? inquiry_replies
     : bytes[2] == 'b' ? baud_replies
                       : start_replies)
        .push_back(reply);
    return SysResult::Ok();
  }
  SysResult Drain(PortHandle port) override {
    if (!Use(port) || ++drains_ == fail_drain_on_) {
      return SysResult::Failed(5);
    }
    return SysResult::Ok();
  }
  SysResult ClosePort(PortHandle port) override {
    if (!Use(port)) {
      return SysResult::Failed(6);
    }
    open_ = false;
    ++closes;
    return SysResult::Ok();
  }

  static constexpr PortHandle kHandle = 7;

 private:
  SysResult Use(PortHandle port) {
    TOVREL_FUZZ_CHECK(open_ && port == kHandle);  // nothing reaches a port once closed
    return SysResult::Ok();
  }

  // A right reply, a right reply with one byte changed or cut short, or any bytes at all.
  Bytes NextReply(std::uint8_t letter) {
    Bytes right = letter == 'e'   ? BytesOf("\x1b!e1013VELMOR TP-200")
                  : letter == 'b' ? BytesOf("\x1b!b1C")
                                  : BytesOf("\x1b!g01C");
    switch (input_.Byte() % 4u) {
      case 0:
        return right;
      case 1: {
        const std::size_t at = input_.Byte() % right.size();
        right[at] = input_.Byte();
        return right;
      }
      case 2:
        right.resize(input_.Byte() % (right.size() + 1));
        return right;
      default:
        return input_.SizedBytes();
    }
  }

  FuzzInput& input_;
  VirtualClock& clock_;
  bool open_ = false;
  bool fail_open_ = false;
  bool fail_set_state_ = false;
  std::uint32_t fail_drain_on_ = 0;
  std::uint32_t short_write_on_ = 0;
  std::uint32_t fail_status_on_ = 0;
  std::uint32_t drains_ = 0;
  std::uint32_t writes_ = 0;
  std::uint32_t status_reads_ = 0;
  std::uint32_t cts_off_looks_ = 0;
  DCB state_;
  COMMTIMEOUTS timeouts_;
  Bytes incoming_;
};

// What an inquiry reply shows, worked out from the reply as received: nothing when the header
// or the announced text did not all come.
bool ExpectedIdentification(const Bytes& reply, std::string& shown) {
  if (reply.size() < kInquiryHeaderBytes) {
    return false;
  }
  const std::int32_t count = CountField(reply.data());
  const std::size_t text = count <= 0 ? 0u : count > 96 ? 96u : static_cast<std::size_t>(count);
  if (reply.size() < kInquiryHeaderBytes + text) {
    return false;
  }
  shown.clear();
  for (std::size_t i = 0; i < text && reply[kInquiryHeaderBytes + i] != 0; ++i) {
    shown.push_back(static_cast<char>(reply[kInquiryHeaderBytes + i]));
  }
  return true;
}

// Each inquiry answered in full shows its identification, in order, and the first one that was
// not ends the run; returns how many were shown.
std::size_t CheckIdentificationsShown(const std::vector<Bytes>& replies, const std::string& output,
                                      bool terminal) {
  std::size_t cursor = 0;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    std::string text;
    if (!ExpectedIdentification(replies[i], text)) {
      TOVREL_FUZZ_CHECK(i + 1 == replies.size());
      TOVREL_FUZZ_CHECK(output.find("Failed to get Inquiry data from device\n", cursor) !=
                        std::string::npos);
      break;
    }
    // Shown as sent to a file or pipe; escaped where needed on a terminal.
    const std::string line = "Product ID: " + TextForConsole(text, terminal) + "\n";
    const std::size_t at = output.find(line, cursor);
    TOVREL_FUZZ_CHECK(at != std::string::npos);
    cursor = at + line.size();
    ++shown;
  }
  return shown;
}

// Whatever the device sends, a terminal gets no control character but the line feeds and
// backspaces of the program's own messages: no escape sequence, no C1 control.
void CheckNoControls(const std::string& output) {
  for (std::size_t i = 0; i < output.size(); ++i) {
    const auto byte = static_cast<unsigned char>(output[i]);
    TOVREL_FUZZ_CHECK(byte >= 0x20 || byte == '\n' || byte == '\b');
    TOVREL_FUZZ_CHECK(byte != 0x7F);
    if (byte == 0xC2 && i + 1 < output.size()) {
      const auto next = static_cast<unsigned char>(output[i + 1]);
      TOVREL_FUZZ_CHECK(next < 0x80 || next > 0x9F);
    }
  }
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void CheckUpdate(FuzzInput& input) {
  static constexpr std::int32_t kRates[] = {9600, 38400, 115200, 230400};
  const std::uint8_t setup = input.Byte();
  const std::int32_t rate = kRates[setup % 4u];
  const bool terminal = (setup & 0x80u) != 0;
  testing::MemoryFileSystem files;
  const std::size_t image_size = input.Number16() % 600u;
  for (std::size_t i = 0; i < image_size; ++i) {
    files.content.push_back(static_cast<char>(i * 7u + 1u));
  }
  VirtualClock clock;
  ScriptedDevice device(input, clock);
  StringSink sink;
  int status = 0;
  {
    Console console(sink, terminal);
    UpdateEnvironment environment{device, clock, console, files};
    status = RunUpdate(files.path.c_str(), "COM2", rate, environment);
  }
  const std::string& output = sink.text;

  TOVREL_FUZZ_CHECK(status == kExitSuccess || status == kExitFailure);
  TOVREL_FUZZ_CHECK(device.opens == device.closes);
  TOVREL_FUZZ_CHECK(files.opens == files.closes);
  TOVREL_FUZZ_CHECK((status == kExitSuccess) == EndsWith(output, "Flash update complete!\n"));

  const std::size_t shown = CheckIdentificationsShown(device.inquiry_replies, output, terminal);
  if (terminal) {
    CheckNoControls(output);
  }
  if (status == kExitSuccess) {
    TOVREL_FUZZ_CHECK(shown == 2);
    TOVREL_FUZZ_CHECK(device.start_replies.size() == 1);
    const Bytes& start = device.start_replies[0];
    TOVREL_FUZZ_CHECK(start.size() >= kStartReplyBytes && start[4] == '1');
    const bool rate_changes = rate > static_cast<std::int32_t>(kTransferBaudRate);
    TOVREL_FUZZ_CHECK(device.baud_replies.size() == (rate_changes ? 2u : 0u));
    for (const Bytes& reply : device.baud_replies) {
      TOVREL_FUZZ_CHECK(reply.size() >= kBaudReplyBytes &&
                        Bytes(reply.begin(), reply.begin() + kBaudReplyBytes) ==
                            BytesOf("\x1b!b1C"));
    }
    TOVREL_FUZZ_CHECK(device.image == Bytes(files.content.begin(), files.content.end()));
  }
}

}  // namespace
}  // namespace tovrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tovrel::fuzz::FuzzInput input(data, size);
  tovrel::fuzz::CheckJudges(input);
  tovrel::fuzz::CheckUpdate(input);
  return 0;
}
