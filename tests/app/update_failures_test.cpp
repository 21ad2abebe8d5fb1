// Every way an update can stop early: the message, the exit status, what the device was sent,
// and the order in which the message, the port's release and the file's close happen.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/update_sequence.h"
#include "tests/support/case_name.h"
#include "tests/support/test_files.h"
#include "update_fixture.h"

namespace tovrel {
namespace {

using testing::Event;
using testing::UpdateHarness;

const std::string kUsage = testing::kUsageText;
const std::string kId = "Product ID: VELMOR TP-200 FW 1.04\n";
const std::string kTransfer =
    "\nProgramming -   0%\b\b\b\b 25%\b\b\b\b 50%\b\b\b\b 75%\b\b\b\b100%\b\b\b\b100%\n";
const std::string kInquiry = "\x1b!e0C";

// Whether the port and the file were still open when something happened.
enum class Open { kBoth, kPortOnly, kNeither, kUnchecked };

struct FailureCase {
  const char* name;
  const char* step;  // where the run's record says it ended
  std::int32_t rate;
  std::function<void(UpdateHarness&)> arrange;
  std::string output;                     // the whole console output
  std::string message;                    // the failure message, to find its event
  Open at_message;                        // what was open when it was printed
  std::vector<std::string> commands;      // every command the device received, in order
  std::size_t image_bytes;                // image bytes the device received
  Open at_file_close = Open::kUnchecked;  // kPortOnly: file closed before the port
};

using tovrel::case_printing::operator<<;

class UpdateFailures : public ::testing::TestWithParam<FailureCase> {};

void ExpectOpenState(const Event* event, Open expected, const std::string& what) {
  ASSERT_NE(event, nullptr) << what;
  switch (expected) {
    case Open::kBoth:
      EXPECT_TRUE(event->port_open) << what;
      EXPECT_TRUE(event->file_open) << what;
      break;
    case Open::kPortOnly:
      EXPECT_TRUE(event->port_open) << what;
      EXPECT_FALSE(event->file_open) << what;
      break;
    case Open::kNeither:
      EXPECT_FALSE(event->port_open) << what;
      EXPECT_FALSE(event->file_open) << what;
      break;
    case Open::kUnchecked:
      break;
  }
}

TEST_P(UpdateFailures, StopsWithItsMessageAndReleasesEverything) {
  const FailureCase& c = GetParam();
  UpdateHarness run;
  run.files.content = UpdateHarness::Image(4096);
  c.arrange(run);

  EXPECT_EQ(run.Update(c.rate), kExitFailure);

  EXPECT_EQ(run.Output(), WithPlatformLineEnds(c.output));
  ExpectOpenState(run.FindEvent(WithPlatformLineEnds(c.message)), c.at_message, "at the message");
  if (c.at_file_close != Open::kUnchecked) {
    ExpectOpenState(run.FindEvent("file closed"), c.at_file_close, "at the file's close");
  }
  std::vector<std::string> commands = run.CommandTexts();
  EXPECT_EQ(commands, c.commands);
  EXPECT_EQ(run.Device().Image().size(), c.image_bytes);
  // Whatever the device got is the start of the file, never a piece with a hole in it.
  const std::vector<std::uint8_t>& image = run.Device().Image();
  EXPECT_EQ(std::string(image.begin(), image.end()), run.files.content.substr(0, image.size()));
  EXPECT_FALSE(run.Link().IsOpen());
  EXPECT_LE(run.ClosePortCalls(), 1);
  EXPECT_FALSE(run.files.IsOpen());
  EXPECT_EQ(run.Output().find("Flash update complete!"), std::string::npos);
  EXPECT_EQ(run.record.outcome, RunOutcome::kFailed);
  EXPECT_EQ(run.record.step, c.step);
}

std::string FailedAfterId(const std::string& message) {
  return kId + message;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UpdateFailures,
    ::testing::Values(
        FailureCase{"PortDoesNotOpen",
                    "open",
                    38400,
                    [](UpdateHarness& f) { f.host_faults.open_fails = true; },
                    "Unable to open COM port \"sim://\"\n" + kUsage,
                    "Unable to open COM port",
                    Open::kUnchecked,
                    {},
                    0},
        FailureCase{"PortRefusesTheDeviceSettings",
                    "open",
                    38400,
                    [](UpdateHarness& f) { f.host_faults.set_line_state_fails_from_call = 2; },
                    "Unable to open COM port \"sim://\"\n" + kUsage,
                    "Unable to open COM port",
                    Open::kPortOnly,
                    {},
                    0},
        FailureCase{"DeviceSilent",
                    "inquiry",
                    38400,
                    [](UpdateHarness& f) { f.device_faults.silent = true; },
                    "Failed to get Inquiry data from device\n",
                    "Failed to get Inquiry",
                    Open::kNeither,
                    {kInquiry},
                    0},
        FailureCase{"IdentificationCutShort",
                    "inquiry",
                    115200,
                    [](UpdateHarness& f) { f.device_faults.inquiry = ReplyFault::kShortReply; },
                    "Failed to get Inquiry data from device\n",
                    "Failed to get Inquiry",
                    Open::kNeither,
                    {kInquiry},
                    0},
        FailureCase{"CtsNeverRaised",
                    "inquiry",
                    38400,
                    [](UpdateHarness& f) { f.device_faults.cts_stuck_off = true; },
                    "Failed to get Inquiry data from device\n",
                    "Failed to get Inquiry",
                    Open::kNeither,
                    {},
                    0},
        FailureCase{"FirmwareFileMissing",
                    "file",
                    38400,
                    [](UpdateHarness& f) { f.firmware_argument = "missing.bin"; },
                    kId + "Unable to open file \"missing.bin\"\n" + kUsage,
                    "Unable to open file",
                    Open::kPortOnly,
                    {kInquiry},
                    0},
        FailureCase{"FileSizeUnreadable",
                    "size",
                    38400,
                    [](UpdateHarness& f) { f.files.fail_size = true; },
                    FailedAfterId("Request for size of file failed\n"),
                    "Request for size",
                    Open::kBoth,
                    {kInquiry},
                    0,
                    Open::kNeither},
        FailureCase{"FileOf4GiB",
                    "size",
                    38400,
                    [](UpdateHarness& f) { f.files.reported_size = 0x100000000ull; },
                    FailedAfterId("Request for size of file failed\n"),
                    "Request for size",
                    Open::kBoth,
                    {kInquiry},
                    0,
                    Open::kNeither},
        FailureCase{"DeviceRefusesTransferRate",
                    "transfer-rate",
                    115200,
                    [](UpdateHarness& f) { f.device_faults.refuse_rate_change = true; },
                    FailedAfterId("Failed to change transporter/printer to 38400\n"),
                    "Failed to change transporter/printer to 38400",
                    Open::kBoth,
                    {kInquiry, "\x1b!b38400C"},
                    0,
                    Open::kNeither},
        FailureCase{"WrongRateAcknowledgement",
                    "transfer-rate",
                    230400,
                    [](UpdateHarness& f) { f.device_faults.baud = ReplyFault::kWrongReply; },
                    FailedAfterId("Failed to change transporter/printer to 38400\n"),
                    "Failed to change transporter/printer to 38400",
                    Open::kBoth,
                    {kInquiry, "\x1b!b38400C"},
                    0,
                    Open::kNeither},
        FailureCase{"HostRefusesTransferRate",
                    "transfer-rate",
                    115200,
                    [](UpdateHarness& f) { f.host_faults.set_line_state_fails_from_call = 3; },
                    FailedAfterId("Baud rate change to 38400 failed\n"),
                    "Baud rate change",
                    Open::kBoth,
                    {kInquiry, "\x1b!b38400C"},
                    0,
                    Open::kNeither},
        FailureCase{"StartNotAnswered",
                    "start",
                    38400,
                    [](UpdateHarness& f) { f.device_faults.start = ReplyFault::kNoReply; },
                    // The fixture's console is a terminal: the ESC of the command is shown escaped.
                    FailedAfterId("Comm error: failed to send command \"\\x1B!g04096C\"\n"),
                    "Comm error",
                    Open::kNeither,
                    {kInquiry, "\x1b!g04096C"},
                    0,
                    Open::kPortOnly},
        FailureCase{"StartRefused",
                    "start",
                    38400,
                    [](UpdateHarness& f) { f.device_faults.start = ReplyFault::kWrongReply; },
                    FailedAfterId("Invalid response from Velmor\n"),
                    "Invalid response",
                    Open::kBoth,
                    {kInquiry, "\x1b!g04096C"},
                    0,
                    Open::kNeither},
        FailureCase{"SizeTooLargeForTheDevice",
                    "start",
                    38400,
                    [](UpdateHarness& f) { f.files.reported_size = 0xFFFFFFFFull; },
                    FailedAfterId("Invalid response from Velmor\n"),
                    "Invalid response",
                    Open::kBoth,
                    {kInquiry, "\x1b!g04294967295C"},
                    0,
                    Open::kNeither},
        FailureCase{"PieceRefusedAfterThree",
                    "transfer",
                    38400,
                    [](UpdateHarness& f) { f.device_faults.cts_stuck_off_after_pieces = 3; },
                    FailedAfterId("\nProgramming -   0%\b\b\b\b100%\n"
                                  "Flash update failed, 384 bytes transferred.\n"),
                    "Flash update failed",
                    Open::kNeither,
                    {kInquiry, "\x1b!g04096C"},
                    384,
                    Open::kPortOnly},
        // The fourth piece waits for a CTS that never comes: the three before it count, even
        // when the fourth would have been the last.
        FailureCase{"CtsStuckBeforeTheLastPiece",
                    "transfer",
                    38400,
                    [](UpdateHarness& f) {
                      f.files.content = UpdateHarness::Image(512);
                      f.device_faults.cts_stuck_off_after_pieces = 3;
                    },
                    FailedAfterId("\nProgramming -   0%\b\b\b\b100%\n"
                                  "Flash update failed, 384 bytes transferred.\n"),
                    "Flash update failed",
                    Open::kNeither,
                    {kInquiry, "\x1b!g0512C"},
                    384,
                    Open::kPortOnly},
        // CTS goes off half way through the fourth piece for longer than the piece's write
        // time-out (10 s + 128 x 200 ms): the write gives up with the rest of the piece unsent,
        // and nothing after it is written.
        FailureCase{"CtsHeldMidPieceBeyondTheWriteTimeout",
                    "transfer",
                    38400,
                    [](UpdateHarness& f) {
                      f.device_faults.cts_hold_at_image_byte = 448;
                      f.device_faults.cts_hold_us = 40'000'000;
                    },
                    FailedAfterId("\nProgramming -   0%\b\b\b\b100%\n"
                                  "Flash update failed, 384 bytes transferred.\n"),
                    "Flash update failed",
                    Open::kNeither,
                    {kInquiry, "\x1b!g04096C"},
                    448,
                    Open::kPortOnly},
        FailureCase{"FileUnreadableMidway",
                    "transfer",
                    38400,
                    [](UpdateHarness& f) { f.files.fail_read_on_call = 5; },
                    FailedAfterId("\nProgramming -   0%\b\b\b\b100%\n"
                                  "Flash update failed, 512 bytes transferred.\n"),
                    "Flash update failed",
                    Open::kNeither,
                    {kInquiry, "\x1b!g04096C"},
                    512,
                    Open::kPortOnly},
        FailureCase{"FileShorterThanAnnounced",
                    "transfer",
                    38400,
                    [](UpdateHarness& f) { f.files.reported_size = 4096 + 100; },
                    FailedAfterId("\nProgramming -   0%\b\b\b\b 24%\b\b\b\b 48%\b\b\b\b 73%"
                                  "\b\b\b\b 97%\b\b\b\b100%\n"
                                  "Flash update failed, 4096 bytes transferred.\n"),
                    "Flash update failed",
                    Open::kNeither,
                    {kInquiry, "\x1b!g04196C"},
                    4096,
                    Open::kPortOnly},
        FailureCase{
            "DeviceRefusesReturnRate",
            "return-rate",
            115200,
            // Writes: inquiry, rate, start, 32 pieces, then the rate back.
            [](UpdateHarness& f) { f.host_faults.write_fails_from_call = 36; },
            FailedAfterId(kTransfer + "Failed to change transporter/printer to 115200 baud\n"),
            "Failed to change transporter/printer to 115200",
            Open::kPortOnly,
            {kInquiry, "\x1b!b38400C", "\x1b!g04096C"},
            4096,
            Open::kPortOnly},
        FailureCase{"HostRefusesReturnRate",
                    "return-rate",
                    230400,
                    [](UpdateHarness& f) { f.host_faults.set_line_state_fails_from_call = 4; },
                    FailedAfterId(kTransfer + "Baud rate change to 230400 failed\n"),
                    "Baud rate change to 230400",
                    Open::kPortOnly,
                    {kInquiry, "\x1b!b38400C", "\x1b!g04096C", "\x1b!b23040C"},
                    4096,
                    Open::kPortOnly},
        FailureCase{"SecondInquiryUnanswered",
                    "final-inquiry",
                    38400,
                    // Reads: header, text, start reply, then the second header.
                    [](UpdateHarness& f) { f.host_faults.read_fails_from_call = 4; },
                    FailedAfterId(kTransfer + "Failed to get Inquiry data from device\n"),
                    "Failed to get Inquiry",
                    Open::kNeither,
                    {kInquiry, "\x1b!g04096C", kInquiry},
                    4096,
                    Open::kPortOnly}),
    CaseName());

}  // namespace
}  // namespace tovrel
