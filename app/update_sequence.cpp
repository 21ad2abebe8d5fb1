#include "app/update_sequence.h"

#include <cinttypes>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/device_commands.h"
#include "app/terminal_text.h"
#include "serial/device_port.h"

namespace tovrel {
namespace {

// The largest size the start-programming command can announce.
constexpr std::uint64_t kLargestAnnounceableSize = 0xFFFFFFFFu;

class UpdateRun {
 public:
  UpdateRun(const char* firmware_file, const char* port_name, std::int32_t baud_rate,
            UpdateEnvironment& env)
      : firmware_name_(firmware_file),
        port_name_(port_name),
        requested_rate_(baud_rate),
        env_(env),
        console_(env.console),
        stop_(env.interruption),
        trace_(env.trace) {}

  int Run();

 private:
  struct TransferResult {
    bool failed = false;
    std::uint32_t transferred = 0;
  };

  // Asks the device for its identification and shows it. False when the device did not answer.
  bool IdentifyDevice();
  // Sends a baud-rate command and judges its acknowledgement.
  bool TellDeviceRate(std::uint32_t number);
  TransferResult Transfer(std::uint32_t file_size);
  // A piece written is not yet a piece the device has where the port is a network server's:
  // waits (bounded) for the port to know, and keeps in the count only the whole pieces it knows
  // have reached the device. A transfer with pieces unaccounted for did not complete.
  void CountOnlyDelivered(TransferResult& result);
  // One line on the diagnostics sink with the reason the port did not open or set up.
  void ExplainOpenFailure();
  void ShowProgress(std::uint32_t transferred, std::uint32_t file_size);

  // One of the fixed pauses. False when a stop request cut it short.
  bool Pause(std::uint32_t milliseconds) {
    trace_.Line("pause %u ms", static_cast<unsigned>(milliseconds));
    const bool whole = SleepUnlessInterrupted(env_.clock, stop_, milliseconds);
    if (!whole) {
      trace_.Line("pause cut short by a stop request");
    }
    return whole;
  }
  // Prints a step's failure message, or, when it was a stop request that ended the step, the
  // line that says so instead.
  template <typename PrintFailure>
  void ReportFailure(PrintFailure print_failure) {
    if (stop_.Requested()) {
      console_.Print("Update interrupted.\n");
    } else {
      print_failure();
    }
  }
  // The exit of a pause cut short.
  int StopInterrupted() {
    CloseFile();
    ReleasePort();
    console_.Print("Update interrupted.\n");
    return kExitFailure;
  }

  // To release the port is to close it and free it.
  void ReleasePort() {
    if (port_) {
      port_->Close();
      port_.reset();
    }
  }
  void CloseFile() {
    if (file_) {
      file_->Close();
      file_.reset();
    }
  }
  bool RateNeedsTransferSpeed() const {
    return requested_rate_ > static_cast<std::int32_t>(kTransferBaudRate);
  }

  const char* firmware_name_;
  const char* port_name_;
  std::int32_t requested_rate_;
  UpdateEnvironment& env_;
  Console& console_;
  Interruption& stop_;
  Trace& trace_;
  std::unique_ptr<DevicePort> port_;
  std::unique_ptr<FirmwareFile> file_;
};

int UpdateRun::Run() {
  trace_.Line("update: image \"%s\", port \"%s\", %d baud", firmware_name_, port_name_,
              static_cast<int>(requested_rate_));
  port_ = std::make_unique<DevicePort>(env_.serial, env_.clock, port_name_,
                                       static_cast<std::uint32_t>(requested_rate_), stop_, trace_);
  if (!port_->IsOpen()) {
    ReportFailure([this] {
      console_.Print("Unable to open COM port \"%s\"\n", port_name_);
      PrintUsage(console_);
      ExplainOpenFailure();
    });
    ReleasePort();
    return kExitFailure;
  }

  if (!IdentifyDevice()) {
    return kExitFailure;
  }
  if (!Pause(kPauseAfterInquiryMs)) {
    return StopInterrupted();
  }

  file_ = env_.files.OpenForReading(firmware_name_);
  if (!file_) {
    console_.Print("Unable to open file \"%s\"\n", firmware_name_);
    ReleasePort();
    PrintUsage(console_);
    return kExitFailure;
  }

  // A size the start-programming command cannot carry is refused like an unreadable one.
  std::uint64_t size = 0;
  if (!file_->Size(size) || size > kLargestAnnounceableSize) {
    console_.Print("Request for size of file failed\n");
    ReleasePort();
    CloseFile();
    return kExitFailure;
  }
  const auto file_size = static_cast<std::uint32_t>(size);

  std::uint8_t reply[8] = {};
  if (RateNeedsTransferSpeed()) {
    if (!TellDeviceRate(kTransferBaudRate)) {
      ReportFailure([this] { console_.Print("Failed to change transporter/printer to 38400\n"); });
      ReleasePort();
      CloseFile();
      return kExitFailure;
    }
    if (!port_->SetBaudRate(kTransferBaudRate)) {
      ReportFailure([this] { console_.Print("Baud rate change to 38400 failed\n"); });
      ReleasePort();
      CloseFile();
      return kExitFailure;
    }
  }

  const CommandBytes start = MakeStartProgrammingCommand(file_size);
  if (!port_->SendCommand(start.data(), start.size(), reply, kStartReplyBytes,
                          kCommandTimeoutSeconds)) {
    CloseFile();
    ReleasePort();
    ReportFailure([&] {
      console_.Print("Comm error: failed to send command \"%s\"\n",
                     TextForConsole(start.text(), console_.IsTerminal()).c_str());
    });
    return kExitFailure;
  }
  if (!IsStartAccepted(reply, kStartReplyBytes)) {
    console_.Print("Invalid response from Velmor\n");
    ReleasePort();
    CloseFile();
    return kExitFailure;
  }

  if (!Pause(kPauseAfterStartMs)) {
    return StopInterrupted();
  }
  console_.Print("\nProgramming - %3d%%", 0);
  // Each progress step reaches a log file as soon as it is shown, as a line does.
  console_.Flush();
  TransferResult result = Transfer(file_size);
  CloseFile();
  console_.Print("\b\b\b\b%3d%%\n", 100);

  if (result.failed && stop_.Requested()) {
    // The last piece may still be on its way out; the purge on release would cut it short,
    // and the device would hold fewer bytes than reported.
    port_->Drain();
  }
  CountOnlyDelivered(result);
  if (result.failed) {
    ReleasePort();
    trace_.Line("transfer failed after %u image bytes", static_cast<unsigned>(result.transferred));
    console_.Print("Flash update failed, %" PRIu32 " bytes transferred.\n", result.transferred);
    return kExitFailure;
  }

  if (!Pause(kPauseAfterTransferMs)) {
    return StopInterrupted();
  }
  if (RateNeedsTransferSpeed()) {
    const auto rate = static_cast<std::uint32_t>(requested_rate_);
    if (!TellDeviceRate(BaudRateCommandNumberForReturn(rate))) {
      ReportFailure([this] {
        console_.Print("Failed to change transporter/printer to %d baud\n", requested_rate_);
      });
      ReleasePort();
      return kExitFailure;
    }
    if (!port_->SetBaudRate(rate)) {
      ReportFailure([this] { console_.Print("Baud rate change to %d failed\n", requested_rate_); });
      ReleasePort();
      return kExitFailure;
    }
  }

  if (!IdentifyDevice()) {
    return kExitFailure;
  }
  ReleasePort();
  trace_.Line("update complete");
  console_.Print("Flash update complete!\n");
  return kExitSuccess;
}

void UpdateRun::ExplainOpenFailure() {
  const std::uint32_t number = port_->SystemError();
  if (number == 0) {
    return;
  }
  const std::string reason = port_->LastError() == kErrOpen
                                 ? env_.serial.OpenFailureReason(port_name_, number)
                                 : "the port does not take the settings the device needs: " +
                                       env_.serial.ErrorText(number);
  // Standard error is in text mode: a plain line feed is a line end everywhere.
  const std::string line = std::string("tovrel: ") + port_name_ + ": " + reason + "\n";
  env_.diagnostics.Write(line.data(), line.size());
  env_.diagnostics.Flush();
}

bool UpdateRun::IdentifyDevice() {
  // Header and text share one zeroed buffer; the text is at most 96 bytes, so it always ends in
  // a zero inside the buffer.
  std::uint8_t inquiry[kInquiryBufferBytes] = {};
  const CommandBytes command = MakeInquiryCommand();
  bool answered = port_->SendCommand(command.data(), command.size(), inquiry, kInquiryHeaderBytes,
                                     kInquiryTimeoutSeconds) != 0;
  if (answered) {
    // Runs under the reply time-out the header's transaction left in force.
    const std::uint32_t text_bytes = IdentificationBytesToRead(ReadIdentificationCount(inquiry));
    answered = port_->Read(inquiry + kInquiryHeaderBytes, text_bytes) != 0;
  }
  if (!answered) {
    ReleasePort();
    ReportFailure([this] { console_.Print("Failed to get Inquiry data from device\n"); });
    return false;
  }
  const char* identification = reinterpret_cast<const char*>(inquiry + kInquiryHeaderBytes);
  console_.Print("Product ID: %s\n", TextForConsole(identification, console_.IsTerminal()).c_str());
  return true;
}

bool UpdateRun::TellDeviceRate(std::uint32_t number) {
  const CommandBytes command = MakeBaudRateCommand(number);
  std::uint8_t reply[8] = {};
  return port_->SendCommand(command.data(), command.size(), reply, kBaudReplyBytes,
                            kCommandTimeoutSeconds) != 0 &&
         IsBaudAcknowledgement(reply, kBaudReplyBytes);
}

UpdateRun::TransferResult UpdateRun::Transfer(std::uint32_t file_size) {
  TransferResult result;
  std::uint8_t piece[kPieceBytes];
  while (result.transferred < file_size) {
    // Between two pieces: the transfer's safe point, where every piece sent is whole.
    if (stop_.Requested()) {
      result.failed = true;
      return result;
    }
    // Never read past the size announced: a file that grew since would otherwise send the
    // device more than it was told to expect.
    const std::uint32_t remaining = file_size - result.transferred;
    const std::uint32_t wanted = remaining < kPieceBytes ? remaining : kPieceBytes;
    std::uint32_t got = 0;
    if (!file_->Read(piece, wanted, got) || got < wanted) {
      // An unreadable or shortened file cannot give the device the image it was promised.
      result.failed = true;
      return result;
    }
    trace_.Line("image piece at offset %u, %u bytes", static_cast<unsigned>(result.transferred),
                static_cast<unsigned>(got));
    if (!port_->SendCommand(piece, got, nullptr, 0, kCommandTimeoutSeconds, false)) {
      result.failed = true;
      return result;
    }
    result.transferred += got;
    if (result.transferred % kProgressStepBytes == 0) {
      ShowProgress(result.transferred, file_size);
    }
  }
  return result;
}

void UpdateRun::CountOnlyDelivered(TransferResult& result) {
  std::uint32_t unconfirmed = 0;
  port_->ConfirmOutput(unconfirmed);
  if (unconfirmed == 0) {
    return;
  }
  const std::uint32_t delivered =
      unconfirmed < result.transferred ? result.transferred - unconfirmed : 0;
  trace_.Line("%u image bytes not known to have reached the device",
              static_cast<unsigned>(result.transferred - delivered));
  result.failed = true;
  result.transferred = delivered - delivered % kPieceBytes;
}

void UpdateRun::ShowProgress(std::uint32_t transferred, std::uint32_t file_size) {
  console_.Print("\b\b\b\b%3d%%", ProgressPercent(transferred, file_size));
  console_.Flush();
}

}  // namespace

int ProgressPercent(std::uint32_t transferred, std::uint32_t file_size) {
  if (file_size == 0 || transferred >= file_size) {
    return 100;
  }
  // In 64 bits: the product overflows 32 bits from about 43 MB on.
  return static_cast<int>(std::uint64_t{transferred} * 100u / file_size);
}

int RunUpdate(const char* firmware_file, const char* port_name, std::int32_t baud_rate,
              UpdateEnvironment& env) {
  UpdateRun run(firmware_file, port_name, baud_rate, env);
  return run.Run();
}

}  // namespace tovrel
