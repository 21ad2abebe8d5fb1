#include "app/update_sequence.h"

#include <cinttypes>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/device_commands.h"
#include "app/terminal_text.h"
#include "app/update_run.h"

namespace tovrel {
namespace {

// The largest size the start-programming command can announce.
constexpr std::uint64_t kLargestAnnounceableSize = 0xFFFFFFFFu;

}  // namespace

int UpdateRun::Run() {
  const Clock::Micros started = env_.clock.Now();
  record_.portGiven = port_name_ != nullptr ? port_name_ : "";
  record_.imagePath = firmware_name_ != nullptr ? firmware_name_ : "";
  record_.rate = requested_rate_;
  const int status = Steps();
  record_.elapsedMicros = env_.clock.Now() - started;
  record_.exitStatus = status;
  return status;
}

int UpdateRun::Steps() {
  trace_.Line("update: image \"%s\", port \"%s\", %d baud", firmware_name_, port_name_,
              static_cast<int>(requested_rate_));
  if (!TakeSettings()) {
    return kExitFailure;
  }
  if (settings_.expectedSha256 && !CheckFingerprint()) {
    return kExitFailure;
  }
  if (!ReachDevice()) {
    return kExitFailure;
  }
  if (!Pause(kPauseAfterInquiryMs)) {
    NoteFailure(run_step::kPauseAfterInquiry);
    return StopInterrupted();
  }

  file_ = env_.files.OpenForReading(firmware_name_);
  if (!file_) {
    NoteFailure(run_step::kFile);
    console_.Print("Unable to open file \"%s\"\n", firmware_name_);
    ReleasePort();
    PrintUsage(console_);
    return kExitFailure;
  }

  // A size the start-programming command cannot carry is refused like an unreadable one.
  std::uint64_t size = 0;
  if (!file_->Size(size) || size > kLargestAnnounceableSize) {
    NoteFailure(run_step::kSize);
    console_.Print("Request for size of file failed\n");
    ReleasePort();
    CloseFile();
    return kExitFailure;
  }
  const auto file_size = static_cast<std::uint32_t>(size);
  record_.imageBytes = size;

  std::uint8_t reply[8] = {};
  if (RateNeedsTransferSpeed()) {
    if (!TellDeviceRate(kTransferBaudRate)) {
      NoteFailure(run_step::kTransferRate);
      ReportFailure([this] { console_.Print("Failed to change transporter/printer to 38400\n"); });
      ReleasePort();
      CloseFile();
      return kExitFailure;
    }
    if (!port_->SetBaudRate(kTransferBaudRate)) {
      NoteFailure(run_step::kTransferRate);
      ReportFailure([this] { console_.Print("Baud rate change to 38400 failed\n"); });
      ReleasePort();
      CloseFile();
      return kExitFailure;
    }
  }

  const CommandBytes start = MakeStartProgrammingCommand(file_size);
  if (!port_->SendCommand(start.data(), start.size(), reply, kStartReplyBytes,
                          kCommandTimeoutSeconds)) {
    NoteFailure(run_step::kStart);
    CloseFile();
    ReleasePort();
    ReportFailure([&] {
      console_.Print("Comm error: failed to send command \"%s\"\n",
                     TextForConsole(start.text(), console_.IsTerminal()).c_str());
    });
    return kExitFailure;
  }
  if (!IsStartAccepted(reply, kStartReplyBytes)) {
    NoteFailure(run_step::kStart);
    console_.Print("Invalid response from Velmor\n");
    ReleasePort();
    CloseFile();
    return kExitFailure;
  }

  if (!Pause(kPauseAfterStartMs)) {
    NoteFailure(run_step::kPauseAfterStart);
    return StopInterrupted();
  }
  console_.Print("\nProgramming - %3d%%", 0);
  // Each progress step reaches a log file as soon as it is shown, as a line does.
  console_.Flush();
  TransferResult result = Transfer(file_size);
  if (!FingerprintSent(result, file_size)) {
    result.failed = true;
  }
  CloseFile();
  console_.Print("\b\b\b\b%3d%%\n", 100);

  if (result.failed && stop_.Requested()) {
    // The last piece may still be on its way out; the purge on release would cut it short,
    // and the device would hold fewer bytes than reported.
    // Best effort: a drain that gives up leaves the count to ConfirmOutput below.
    (void)port_->Drain();
  }
  CountOnlyDelivered(result);
  if (result.failed) {
    NoteFailure(run_step::kTransfer);
    ReleasePort();
    trace_.Line("transfer failed after %u image bytes", static_cast<unsigned>(result.transferred));
    console_.Print("Flash update failed, %" PRIu32 " bytes transferred.\n", result.transferred);
    return kExitFailure;
  }

  if (!Pause(kPauseAfterTransferMs)) {
    NoteFailure(run_step::kPauseAfterTransfer);
    return StopInterrupted();
  }
  if (RateNeedsTransferSpeed()) {
    const auto rate = static_cast<std::uint32_t>(requested_rate_);
    if (!TellDeviceRate(BaudRateCommandNumberForReturn(rate))) {
      NoteFailure(run_step::kReturnRate);
      ReportFailure([this] {
        console_.Print("Failed to change transporter/printer to %d baud\n", requested_rate_);
      });
      ReleasePort();
      return kExitFailure;
    }
    if (!port_->SetBaudRate(rate)) {
      NoteFailure(run_step::kReturnRate);
      ReportFailure([this] { console_.Print("Baud rate change to %d failed\n", requested_rate_); });
      ReleasePort();
      return kExitFailure;
    }
  }

  std::string identification;
  if (!AskIdentification(identification)) {
    ReportInquiryFailure(run_step::kFinalInquiry);
    return kExitFailure;
  }
  record_.identificationAfter = identification;
  ShowIdentification(identification);
  ReleasePort();
  record_.outcome = RunOutcome::kComplete;
  trace_.Line("update complete");
  console_.Print("Flash update complete!\n");
  return kExitSuccess;
}

bool UpdateRun::AskIdentification(std::string& identification) {
  // Header and text share one zeroed buffer; the text is at most 96 bytes, so it always ends in
  // a zero inside the buffer.
  std::uint8_t inquiry[kInquiryBufferBytes] = {};
  const CommandBytes command = MakeInquiryCommand();
  if (!port_->SendCommand(command.data(), command.size(), inquiry, kInquiryHeaderBytes,
                          kInquiryTimeoutSeconds)) {
    return false;
  }
  // Runs under the reply time-out the header's transaction left in force.
  const std::uint32_t text_bytes = IdentificationBytesToRead(ReadIdentificationCount(inquiry));
  if (!port_->Read(inquiry + kInquiryHeaderBytes, text_bytes)) {
    return false;
  }
  identification.assign(reinterpret_cast<const char*>(inquiry + kInquiryHeaderBytes), text_bytes);
  return true;
}

void UpdateRun::ShowIdentification(const std::string& identification) {
  // As a C text, up to a zero byte, as it always was shown.
  console_.Print("Product ID: %s\n",
                 TextForConsole(identification.c_str(), console_.IsTerminal()).c_str());
}

void UpdateRun::ReportInquiryFailure(const char* step) {
  NoteFailure(step);
  ReleasePort();
  ReportFailure([this] { console_.Print("Failed to get Inquiry data from device\n"); });
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
    sent_hash_.Update(piece, got);
    result.transferred += got;
    if (result.transferred % kProgressStepBytes == 0) {
      ShowProgress(result.transferred, file_size);
    }
  }
  return result;
}

void UpdateRun::CountOnlyDelivered(TransferResult& result) {
  std::uint32_t unconfirmed = 0;
  // A port that cannot find out leaves in `unconfirmed` what it never learned about: the count
  // below is then the lower one either way.
  (void)port_->ConfirmOutput(unconfirmed);
  if (unconfirmed == 0) {
    return;
  }
  const std::uint32_t delivered =
      unconfirmed < result.transferred ? result.transferred - unconfirmed : 0;
  trace_.Line("%u image bytes not known to have reached the device",
              static_cast<unsigned>(result.transferred - delivered));
  result.failed = true;
  result.transferred = delivered - delivered % kPieceBytes;
  // The fingerprint was taken of every piece sent; of the fewer the device is known to have,
  // there is none.
  record_.bytesTransferred = result.transferred;
  record_.sentSha256.reset();
}

void UpdateRun::ShowProgress(std::uint32_t transferred, std::uint32_t file_size) {
  console_.Print("\b\b\b\b%3d%%", ProgressPercent(transferred, file_size));
  console_.Flush();
}

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
