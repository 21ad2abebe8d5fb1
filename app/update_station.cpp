// What a station adds to the run before the sequence proper: the settings from the
// environment, the image's fingerprint, the name the port given stands for, and the wait for a
// device that is not there yet; and the record's notes of where a run ended.
#include <string>

#include "app/command_line.h"
#include "app/port_names.h"
#include "app/terminal_text.h"
#include "app/update_run.h"

namespace tovrel {
namespace {

// The image is read in pieces of this size to be hashed before the run: memory stays as flat.
constexpr std::uint32_t kHashPieceBytes = 4096;

// A name from outside in a line on standard error, which may be a terminal.
std::string Shown(const char* name) {
  return TextForConsole(name != nullptr ? name : "", true);
}

}  // namespace

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

}  // namespace tovrel
