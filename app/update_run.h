// One run of the update, from accepted arguments to the exit status: the steps RunUpdate takes
// share the port, the file, the record and the station's settings. The sequence itself is in
// update_sequence.cpp; what a station adds before it (the settings, the image's fingerprint, the
// port's name and the wait for the device) is in update_station.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/console.h"
#include "app/device_commands.h"
#include "app/firmware_file.h"
#include "app/run_record.h"
#include "app/sha256.h"
#include "app/station_settings.h"
#include "app/update_sequence.h"
#include "serial/device_port.h"

namespace tovrel {

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
  // A piece written is not yet a piece the device has where the port is a network server's:
  // waits (bounded) for the port to know, and keeps in the count only the whole pieces it knows
  // have reached the device. A transfer with pieces unaccounted for did not complete.
  void CountOnlyDelivered(TransferResult& result);
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

}  // namespace tovrel
