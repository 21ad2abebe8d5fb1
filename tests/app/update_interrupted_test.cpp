// A stop request (Ctrl-C, a termination signal) at each kind of point of an update, on the
// virtual clock: the wait in progress ends early, a piece being written is written whole, the run
// leaves through the exits of the step it stopped, and the port and the file are released.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/update_sequence.h"
#include "tests/support/case_name.h"
#include "update_fixture.h"

namespace tovrel {
namespace {

using testing::UpdateHarness;
using Moment = std::optional<Clock::Micros>;

constexpr Clock::Micros kMs = 1000;
const std::string kId = "Product ID: VELMOR TP-200 FW 1.04\n";
const std::string kInquiry = "\x1b!e0C";
const std::string kStart = "\x1b!g04096C";
const std::string kStopped = "Update interrupted.\n";

// `delay` after the `n`th write (counted from 1) began, once it has been made.
Moment AfterWrite(UpdateHarness& run, std::size_t n, Clock::Micros delay) {
  std::size_t seen = 0;
  for (const HostCall& call : run.Link().Calls()) {
    if (call.op == HostOp::kWriteBytes && ++seen == n) {
      return call.at + delay;
    }
  }
  return std::nullopt;
}

// `delay` after the first output containing `text`.
Moment AfterOutput(UpdateHarness& run, const std::string& text, Clock::Micros delay) {
  const testing::Event* event = run.FindEvent(WithPlatformLineEnds(text));
  return event != nullptr ? Moment(event->at + delay) : std::nullopt;
}

struct StopCase {
  const char* name;
  std::int32_t rate;
  std::function<void(UpdateHarness&)> arrange;
  std::function<Moment(UpdateHarness&)> stop_at;
  std::string output;
  std::vector<std::string> commands;
  std::size_t image_bytes;
  // Longest the run may go on once the request has come: the wait it cut short looks every
  // 10 ms, and a piece on the line (33 ms at 38400 baud) is finished first.
  Clock::Micros at_most_after;
};

using tovrel::case_printing::operator<<;

class UpdateInterrupted : public ::testing::TestWithParam<StopCase> {};

TEST_P(UpdateInterrupted, EndsAtTheNextSafePointAndReleasesEverything) {
  const StopCase& c = GetParam();
  UpdateHarness run;
  run.files.content = UpdateHarness::Image(4096);
  if (c.arrange) {
    c.arrange(run);
  }
  run.stop_at = c.stop_at;

  EXPECT_EQ(run.Update(c.rate), kExitFailure);

  EXPECT_EQ(run.Output(), WithPlatformLineEnds(c.output));
  EXPECT_EQ(run.CommandTexts(), c.commands);
  const std::vector<std::uint8_t>& image = run.Device().Image();
  EXPECT_EQ(image.size(), c.image_bytes);
  EXPECT_EQ(std::string(image.begin(), image.end()), run.files.content.substr(0, image.size()));
  ASSERT_TRUE(run.StopSeenFrom().has_value());
  EXPECT_LE(run.clock.Now(), *run.StopSeenFrom() + c.at_most_after);
  EXPECT_FALSE(run.Link().IsOpen());
  EXPECT_FALSE(run.Link().DtrOn());
  EXPECT_EQ(run.ClosePortCalls(), 1);
  EXPECT_FALSE(run.files.IsOpen());
  EXPECT_EQ(run.record.outcome, RunOutcome::kInterrupted);
}

INSTANTIATE_TEST_SUITE_P(
    Points, UpdateInterrupted,
    ::testing::Values(
        StopCase{"BeforeAnythingIsSent",
                 38400,
                 nullptr,
                 [](UpdateHarness&) { return Moment(0); },
                 kStopped,
                 {},
                 0,
                 0},
        StopCase{"WhileTheDeviceSaysNothing",
                 38400,
                 [](UpdateHarness& run) { run.device_faults.silent = true; },
                 [](UpdateHarness&) { return Moment(2000 * kMs); },
                 kStopped,
                 {kInquiry},
                 0,
                 10 * kMs},
        // A station's wait for a device still off, in the pause after its first try.
        StopCase{"WhileWaitingForTheDevice",
                 38400,
                 [](UpdateHarness& run) {
                   run.station.waitSeconds = "30";
                   run.device_config.switched_on_at = 20'000 * kMs;
                 },
                 [](UpdateHarness&) { return Moment(3200 * kMs); },
                 kStopped,
                 {},
                 0,
                 10 * kMs},
        StopCase{"InThePauseAfterIdentification",
                 38400,
                 nullptr,
                 [](UpdateHarness& run) { return AfterOutput(run, kId, 500 * kMs); },
                 kId + kStopped,
                 {kInquiry},
                 0,
                 10 * kMs},
        // The device has been told the size and waits in programming mode, at 38400 baud.
        StopCase{"InThePauseAfterTheStart",
                 115200,
                 nullptr,
                 [](UpdateHarness& run) {
                   const auto& commands = run.Device().Commands();
                   return commands.size() == 3 ? Moment(commands[2].at + 1000 * kMs) : std::nullopt;
                 },
                 kId + kStopped,
                 {kInquiry, "\x1b!b38400C", kStart},
                 0,
                 10 * kMs},
        // Writes: inquiry, start, then the pieces; the eighth piece is the tenth write. It is
        // finished, and counted, before the run stops.
        StopCase{"MidPiece",
                 38400,
                 nullptr,
                 [](UpdateHarness& run) { return AfterWrite(run, 10, 10 * kMs); },
                 kId + "\nProgramming -   0%\b\b\b\b 25%\b\b\b\b100%\n"
                       "Flash update failed, 1024 bytes transferred.\n",
                 {kInquiry, kStart},
                 1024,
                 40 * kMs},
        StopCase{"WhileWaitingForCts",
                 38400,
                 [](UpdateHarness& run) { run.device_faults.cts_stuck_off_after_pieces = 3; },
                 [](UpdateHarness& run) { return AfterWrite(run, 5, 1000 * kMs); },
                 kId + "\nProgramming -   0%\b\b\b\b100%\n"
                       "Flash update failed, 384 bytes transferred.\n",
                 {kInquiry, kStart},
                 384,
                 10 * kMs},
        StopCase{"InThePauseAfterTheTransfer",
                 38400,
                 nullptr,
                 [](UpdateHarness& run) { return AfterOutput(run, "100%\n", 3000 * kMs); },
                 kId +
                     "\nProgramming -   0%\b\b\b\b 25%\b\b\b\b 50%\b\b\b\b 75%\b\b\b\b100%"
                     "\b\b\b\b100%\n" +
                     kStopped,
                 {kInquiry, kStart},
                 4096,
                 10 * kMs}),
    CaseName());

}  // namespace
}  // namespace tovrel
