// A station's runs on the virtual clock: bad settings refused before anything is opened, the
// image's fingerprint, the wait for a device not there yet, and ports chosen by USB identity.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/sha256.h"
#include "app/update_sequence.h"
#include "tests/support/case_name.h"
#include "tests/support/test_files.h"
#include "update_fixture.h"

namespace tovrel {
namespace {

using testing::UpdateHarness;

const std::string kUsage = testing::kUsageText;
const std::string kComplete =
    "Product ID: VELMOR TP-200 FW 1.04\n"
    "\nProgramming -   0%\b\b\b\b 25%\b\b\b\b 50%\b\b\b\b 75%\b\b\b\b100%\b\b\b\b100%\n"
    "Product ID: VELMOR TP-200 FW 1.05\nFlash update complete!\n";
const std::string kImage = UpdateHarness::Image(4096);

std::string Sha256Of(const std::string& bytes) {
  Sha256 hash;
  hash.Update(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return hash.FinishHex();
}
const std::string kSha = Sha256Of(kImage);
const std::string kOtherSha = Sha256Of("another image");
const char kShaInCapitals[] = "470D1B89FC75293C6793EC18AE42D29A06E47C26FDE262729975D35DE66BC5B1";

// One station run of the 4 KiB image at 38400 baud, and what it must give.
struct StationCase {
  std::string name;
  std::string port;
  const char* expect_sha256;
  const char* wait;
  Clock::Micros absent_until;  // the adapter is plugged in (~0u: never)
  Clock::Micros off_until;     // the device is switched on
  int status;
  std::string output;
  std::string diagnostics;
  std::string step;
  long opens;  // tries to open the port
};

constexpr Clock::Micros kNever = ~Clock::Micros{0};

class Station : public ::testing::TestWithParam<StationCase> {};

TEST_P(Station, GivesItsMessagesStatusAndRecord) {
  const StationCase& c = GetParam();
  UpdateHarness run;
  run.files.content = kImage;
  // The emulated port is an FTDI adapter, beside one of the same kind and two others.
  ListedPortNames adapters(
      [](std::vector<ports::PortInfo>& listed, std::string&) {
        listed = {{"sim://", "yes", "ftdi_sio", "0403:6001", "A50285BI", "", "", "", ""},
                  {"/dev/ttyUSB1", "yes", "ftdi_sio", "0403:6001", "FT99", "", "", "", ""},
                  {"/dev/ttyACM0", "yes", "cdc_acm", "2341:0043", "", "", "", "", ""},
                  {"/dev/ttyS0", "yes", "serial", "", "", "", "", "", ""}};
        return true;
      },
      [](const std::string& name) { return name; });
  run.port_names = &adapters;
  run.station = {c.expect_sha256, c.wait};
  run.host_faults.open_fails = c.absent_until == kNever;
  run.host_faults.open_fails_until = c.absent_until;
  run.device_config.switched_on_at = c.off_until;

  EXPECT_EQ(run.Update(38400, c.port.c_str()), c.status);
  EXPECT_EQ(run.Output(), WithPlatformLineEnds(c.output));
  EXPECT_EQ(run.diagnostics.Text(), c.diagnostics);
  EXPECT_EQ(std::count_if(run.Link().Calls().begin(), run.Link().Calls().end(),
                          [](const HostCall& call) { return call.op == HostOp::kOpenPort; }),
            c.opens);
  const bool refused = c.step == "settings" || c.step == "port-name" || c.step == "fingerprint";
  EXPECT_EQ(run.record.outcome, c.status == kExitSuccess ? RunOutcome::kComplete
                                : refused                ? RunOutcome::kRefused
                                                         : RunOutcome::kFailed);
  if (refused && c.step != "fingerprint") {
    EXPECT_EQ(run.files.opens, 0);
  }
  EXPECT_EQ(run.record.step, c.step);
  EXPECT_EQ(run.record.reason, c.diagnostics.substr(0, c.diagnostics.find('\n')));
}

// Refused before anything is opened: a usb: name as a port that does not open.
StationCase Refused(std::string name, std::string port, const char* expect, const char* wait,
                    const std::string& why) {
  const bool usb = port != "sim://";
  std::string output = usb ? "Unable to open COM port \"" + port + "\"\n" + kUsage : "";
  const char* step = usb ? "port-name" : "settings";
  return {name, port, expect, wait, 0, 0, kExitFailure, output, "tovrel: " + why + "\n", step, 0};
}

const std::string kNotUsb = std::string(": ") + kNotAUsbPortName;
const std::string kBadSha = "TOVREL_EXPECT_SHA256 must be a SHA-256 in 64 hex digits, not ";
const std::string kBadWait = "TOVREL_WAIT must be a whole number of seconds from 0 to 86400, not ";
const std::string kShaWithEscape = std::string(63, 'a') + "\x1b";
const std::string kNoOpen = "Unable to open COM port \"sim://\"\n" + kUsage;

INSTANTIATE_TEST_SUITE_P(
    BadValues, Station,
    ::testing::Values(Refused("ShortFingerprint", "sim://", "abc", nullptr, kBadSha + "\"abc\""),
                      Refused("EmptyFingerprint", "sim://", "", nullptr, kBadSha + "\"\""),
                      Refused("FingerprintWithAnEscape", "sim://", kShaWithEscape.c_str(), nullptr,
                              kBadSha + "\"" + std::string(63, 'a') + "\\x1B\""),
                      Refused("WaitInUnits", "sim://", nullptr, "5s", kBadWait + "\"5s\""),
                      Refused("WaitOverADay", "sim://", nullptr, "86401", kBadWait + "\"86401\""),
                      Refused("EmptyWait", "sim://", nullptr, "", kBadWait + "\"\""),
                      Refused("UsbNameWithTooManyParts", "usb:0403:6001:A:B", nullptr, nullptr,
                              "usb:0403:6001:A:B" + kNotUsb),
                      Refused("UsbIdNotHex", "usb:04g3:6001", nullptr, nullptr,
                              "usb:04g3:6001" + kNotUsb)),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Fingerprints, Station,
    ::testing::Values(StationCase{"AsExpectedInCapitals", "sim://", kShaInCapitals, nullptr, 0, 0,
                                  kExitSuccess, kComplete, "", "", 1},
                      StationCase{"NotTheImageExpected", "sim://", kOtherSha.c_str(), nullptr, 0, 0,
                                  kExitFailure, "Unable to open file \"image.bin\"\n" + kUsage,
                                  "tovrel: image.bin: SHA-256 " + kSha + ", not " + kOtherSha +
                                      " as TOVREL_EXPECT_SHA256 asks\n",
                                  "fingerprint", 0}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Waits, Station,
    ::testing::Values(StationCase{"AdapterPluggedInLate", "sim://", nullptr, "5", 2'200'000, 0,
                                  kExitSuccess, kComplete, "", "", 6},
                      StationCase{"DeviceSwitchedOnLate", "sim://", nullptr, "10", 0, 7'000'000,
                                  kExitSuccess, kComplete, "", "", 3},
                      StationCase{"AdapterNeverThere", "sim://", nullptr, "2", kNever, 0,
                                  kExitFailure, kNoOpen, "tovrel: sim://: no such device\n", "open",
                                  5},
                      // A try under way keeps its time-outs: the second, from 3.5 s, is the last.
                      StationCase{"DeviceNeverSwitchedOn", "sim://", nullptr, "5", 0, kNever,
                                  kExitFailure, "Failed to get Inquiry data from device\n", "",
                                  "inquiry", 2}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    UsbNames, Station,
    ::testing::Values(
        StationCase{"SerialAlone", "usb:A50285BI", nullptr, nullptr, 0, 0, kExitSuccess, kComplete,
                    "", "", 1},
        StationCase{"SerialInAnyCase", "usb:0403:6001:a50285bi", nullptr, nullptr, 0, 0,
                    kExitSuccess, kComplete, "", "", 1},
        StationCase{
            "IdsOfTwoAdapters", "usb:0403:6001", nullptr, nullptr, 0, 0, kExitFailure,
            "Unable to open COM port \"usb:0403:6001\"\n" + kUsage,
            "tovrel: usb:0403:6001: 2 USB serial adapters match: /dev/ttyUSB1 (0403:6001 FT99), "
            "sim:// (0403:6001 A50285BI); name one by its serial number\n",
            "open", 0},
        StationCase{
            "NoneAlike", "usb:1A86:7523", nullptr, nullptr, 0, 0, kExitFailure,
            "Unable to open COM port \"usb:1A86:7523\"\n" + kUsage,
            "tovrel: usb:1A86:7523: no USB serial adapter matches; present: /dev/ttyACM0 "
            "(2341:0043 no serial number), /dev/ttyUSB1 (0403:6001 FT99), sim:// (0403:6001 "
            "A50285BI)\n",
            "open", 0}),
    CaseName());

// The fingerprints in the record are of the bytes sent, and of the image once all
// of it went. A file that changed after it was hashed fails the update, though
// every byte went.
TEST(StationRecord, HoldsTheFingerprintsOfWhatWasSent) {
  for (const bool changed : {false, true}) {
    UpdateHarness run;
    run.files.content = kImage;
    run.device_faults.cts_stuck_off_after_pieces = changed ? 64 : 3;
    run.station.expectSha256 = kSha.c_str();
    run.files.on_open = [&] { run.files.content[100] ^= changed && run.files.opens == 2 ? 1 : 0; };
    EXPECT_EQ(run.Update(115200), kExitFailure);
    const std::string sent = changed ? run.files.content : kImage.substr(0, 384);
    EXPECT_EQ(run.record.sentSha256, Sha256Of(sent));
    EXPECT_EQ(run.record.bytesTransferred, sent.size());
    EXPECT_EQ(run.record.imageSha256, kSha);
    EXPECT_EQ(run.record.step, "transfer");
    EXPECT_EQ(
        run.diagnostics.Text().find(": the file changed during the update\n") != std::string::npos,
        changed);
  }
}

}  // namespace
}  // namespace tovrel
