#include "app/update_sequence.h"

#include <cinttypes>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/device_commands.h"
#include "app/sha256.h"
#include "app/terminal_text.h"
#include "serial/device_port.h"

namespace tovrel {
namespace {

// The largest size the start-programming command can announce.
constexpr std::uint64_t kLargestAnnounceableSize = 0xFFFFFFFFu;
// The image is read in pieces of this size to be hashed before the run: memory stays as flat.
constexpr std::uint32_t kHashPieceBytes = 4096;

// A name from outside in a line on standard error, which may be a terminal.
std::string Shown(const char* name) {
  return TextForConsole(name != nullptr ? name : "", true);
}

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
        trace_(env.trace),
        record_(env.record != nullptr ? *env.record : own_record_) {}

  int Run();

 private:
  struct TransferResult {
    bool failed = false;
    std::uint32_t transferred = 0;
  };

  int Steps();
  // Reads the station's settings. False, after saying why, for a malformed one or a usb: name
  // that is not one.
  bool TakeSettings();
  // Hashes the image before anything is opened. False, after saying why, when it cannot be
  // read or is not the image expected.
  bool CheckFingerprint();
  // Opens the port and gets the device's first identification, trying again while the wait
  // lasts. False after the last try's failure has been reported.
  bool ReachDevice();
  // One try to open the port under the name the given one stands for. False when it did not
  // open; a port object that failed its set-up is kept for the failure's report.
  bool OpenPort();
  void ReportOpenFailure();
  // Asks the device for its identification; the exact bytes in `identification`. False when
  // the device did not answer.
  bool AskIdentification(std::string& identification);
  void ShowIdentification(const std::string& identification);
  // Releases the port and says that the inquiry failed.
  void ReportInquiryFailure(const char* step);
  // Sends a baud-rate command and judges its acknowledgement.
  bool TellDeviceRate(std::uint32_t number);
  TransferResult Transfer(std::uint32_t file_size);
  // The fingerprint of what was sent, for the record and the trace. False when a fingerprint
  // was expected and a whole image was sent without it.
  bool FingerprintSent(const TransferResult& result, std::uint32_t file_size);
  // One line on the diagnostics sink with the reason the port did not open or set up.
  void ExplainOpenFailure();
  void ShowProgress(std::uint32_t transferred, std::uint32_t file_size);

  // Notes in the record where the run ended, and the port's error codes while it is there.
  void NoteFailure(const char* step);
  // A run that does not start: the line that says why, and the record.
  void Refuse(const char* step, const std::string& why) {
    Diagnose(why);
    record_.outcome = RunOutcome::kRefused;
    record_.step = step;
  }
  // "tovrel: " and `text` as a line on the diagnostics sink; the record keeps it as the reason.
  void Diagnose(const std::string& text) {
    record_.reason = "tovrel: " + text;
    // Standard error is in text mode: a plain line feed is a line end everywhere.
    const std::string line = record_.reason + "\n";
    env_.diagnostics.Write(line.data(), line.size());
    env_.diagnostics.Flush();
  }
  // What a file that cannot be flashed gets on the console.
  void PrintFileRefusal() {
    console_.Print("Unable to open file \"%s\"\n", firmware_name_);
    PrintUsage(console_);
  }

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
  RunRecord own_record_;
  RunRecord& record_;
  StationSettings settings_;
  // The name the last try opened, and why the last try found none to open.
  std::string opened_name_;
  std::string resolve_failure_;
  std::unique_ptr<DevicePort> port_;
  std::unique_ptr<FirmwareFile> file_;
  Sha256 sent_hash_;
};

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

  if (result.failed) {
    NoteFailure(run_step::kTransfer);
    if (stop_.Requested()) {
      // The last piece may still be on its way out; the purge on release would cut it short,
      // and the device would hold fewer bytes than reported.
      port_->Drain();
    }
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

bool UpdateRun::TakeSettings() {
  std::string refusal;
  if (!ReadStationSettings(env_.station, settings_, refusal)) {
    Refuse(run_step::kSettings, refusal);
    return false;
  }
  UsbPortSelector selector;
  if (IsUsbPortName(port_name_) && !ParseUsbPortName(port_name_, selector)) {
    // On the console as any other name that names no port.
    console_.Print("Unable to open COM port \"%s\"\n",
                   TextForConsole(port_name_, console_.IsTerminal()).c_str());
    PrintUsage(console_);
    Refuse(run_step::kPortName, Shown(port_name_) + ": " + kNotAUsbPortName);
    return false;
  }
  if (settings_.waitSeconds > 0) {
    trace_.Line("waiting up to %u s for the device", static_cast<unsigned>(settings_.waitSeconds));
  }
  return true;
}

bool UpdateRun::CheckFingerprint() {
  std::unique_ptr<FirmwareFile> file = env_.files.OpenForReading(firmware_name_);
  Sha256 hash;
  std::uint64_t bytes = 0;
  bool readable = file != nullptr;
  std::uint8_t piece[kHashPieceBytes];
  // A large image takes a while to hash: a stop request is looked for between pieces.
  while (readable && !stop_.Requested()) {
    std::uint32_t got = 0;
    readable = file->Read(piece, kHashPieceBytes, got);
    if (!readable || got == 0) {
      break;
    }
    hash.Update(piece, got);
    bytes += got;
  }
  if (file) {
    file->Close();
  }
  if (stop_.Requested()) {
    NoteFailure(run_step::kFingerprint);
    console_.Print("Update interrupted.\n");
    return false;
  }
  if (!readable) {
    NoteFailure(run_step::kFile);
    PrintFileRefusal();
    return false;
  }
  const std::string hex = hash.FinishHex();
  record_.imageBytes = bytes;
  if (!hex.empty()) {
    record_.imageSha256 = hex;
  }
  trace_.Line("image: %llu bytes, SHA-256 %s", static_cast<unsigned long long>(bytes),
              hex.empty() ? "unknown" : hex.c_str());
  if (hex != *settings_.expectedSha256) {
    PrintFileRefusal();
    Refuse(run_step::kFingerprint,
           Shown(firmware_name_) + ": SHA-256 " + (hex.empty() ? "unknown" : hex) + ", not " +
               *settings_.expectedSha256 + " as " + kExpectSha256Variable + " asks");
    return false;
  }
  return true;
}

bool UpdateRun::ReachDevice() {
  const Clock::Micros began = env_.clock.Now();
  const Clock::Micros wait = Clock::Micros{settings_.waitSeconds} * 1'000'000u;
  for (unsigned attempt = 1;; ++attempt) {
    if (wait > 0) {
      trace_.Line("wait: try %u, %.3f s gone", attempt,
                  static_cast<double>(env_.clock.Now() - began) / 1e6);
    }
    std::string identification;
    const bool opened = OpenPort();
    if (opened && AskIdentification(identification)) {
      record_.identificationBefore = identification;
      ShowIdentification(identification);
      return true;
    }
    // No try starts once the wait is over; one under way keeps its own time-outs.
    if (env_.clock.Now() - began < wait && !stop_.Requested()) {
      ReleasePort();
      if (SleepUnlessInterrupted(env_.clock, stop_, kWaitRetryMs)) {
        continue;
      }
      trace_.Line("wait cut short by a stop request");
    }
    if (opened) {
      ReportInquiryFailure(run_step::kInquiry);
    } else {
      ReportOpenFailure();
    }
    return false;
  }
}

bool UpdateRun::OpenPort() {
  opened_name_.clear();
  resolve_failure_.clear();
  record_.portOpened.reset();
  std::string opened;
  if (!env_.portNames.Resolve(port_name_, opened, resolve_failure_)) {
    trace_.Line("port \"%s\": %s", port_name_, resolve_failure_.c_str());
    return false;
  }
  if (opened != port_name_) {
    trace_.Line("port \"%s\" is \"%s\"", port_name_, opened.c_str());
  }
  opened_name_ = opened;
  record_.portOpened = opened;
  port_ = std::make_unique<DevicePort>(env_.serial, env_.clock, opened_name_.c_str(),
                                       static_cast<std::uint32_t>(requested_rate_), stop_, trace_);
  return port_->IsOpen();
}

void UpdateRun::ReportOpenFailure() {
  NoteFailure(run_step::kOpen);
  ReportFailure([this] {
    console_.Print("Unable to open COM port \"%s\"\n",
                   TextForConsole(port_name_, console_.IsTerminal()).c_str());
    PrintUsage(console_);
    ExplainOpenFailure();
  });
  ReleasePort();
}

void UpdateRun::ExplainOpenFailure() {
  if (!resolve_failure_.empty()) {
    Diagnose(Shown(port_name_) + ": " + resolve_failure_);
    return;
  }
  if (!port_ || port_->SystemError() == 0) {
    return;
  }
  const std::uint32_t number = port_->SystemError();
  const std::string reason = port_->LastError() == kErrOpen
                                 ? env_.serial.OpenFailureReason(opened_name_.c_str(), number)
                                 : "the port does not take the settings the device needs: " +
                                       env_.serial.ErrorText(number);
  // A usb: name says which port it stood for.
  const std::string subject = IsUsbPortName(port_name_)
                                  ? Shown(port_name_) + " (" + Shown(opened_name_.c_str()) + ")"
                                  : Shown(port_name_);
  Diagnose(subject + ": " + reason);
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

void UpdateRun::NoteFailure(const char* step) {
  record_.outcome = stop_.Requested() ? RunOutcome::kInterrupted : RunOutcome::kFailed;
  record_.step = step;
  if (port_) {
    record_.errorCode = port_->LastError();
    record_.systemError = port_->SystemError();
    record_.systemErrorText =
        record_.systemError != 0 ? env_.serial.ErrorText(record_.systemError) : "";
  }
}

bool UpdateRun::FingerprintSent(const TransferResult& result, std::uint32_t file_size) {
  record_.bytesTransferred = result.transferred;
  const std::string sent = sent_hash_.FinishHex();
  if (!sent.empty()) {
    record_.sentSha256 = sent;
  }
  trace_.Line("sent %u image bytes, SHA-256 %s", static_cast<unsigned>(result.transferred),
              sent.empty() ? "unknown" : sent.c_str());
  if (result.failed || result.transferred != file_size) {
    return true;
  }
  if (!record_.imageSha256 && !sent.empty()) {
    record_.imageSha256 = sent;
  }
  // The file was hashed before the port was opened; one that changed since has given the
  // device an image nobody asked for.
  if (settings_.expectedSha256 && sent != *settings_.expectedSha256) {
    Diagnose(Shown(firmware_name_) + ": the bytes sent have SHA-256 " +
             (sent.empty() ? "unknown" : sent) + ", not " + *settings_.expectedSha256 +
             ": the file changed during the update");
    return false;
  }
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
    sent_hash_.Update(piece, got);
    result.transferred += got;
    if (result.transferred % kProgressStepBytes == 0) {
      ShowProgress(result.transferred, file_size);
    }
  }
  return result;
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
