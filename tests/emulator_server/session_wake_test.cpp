// A session woken only when it asks to be (its NextDueTime, and at once after the client sent
// something) shows the client exactly what one looked at every microsecond shows, at the same
// moments, in a few dozen steps instead of tens of thousands.
#include <gtest/gtest.h>

#include <poll.h>

#include <optional>
#include <string>
#include <vector>

#include "session_harness.h"
#include "tests/support/case_name.h"

namespace tovrel::testing {
namespace {

using rfc2217::ComPortCommand;

constexpr Clock::Micros kEnd = 60'000;  // long after the image and the last CTS change

// What the client saw and when: a COM-PORT-OPTION message, or the data received so far.
struct Seen {
  Clock::Micros at = 0;
  int command = -1;  // -1 for data
  Bytes value;
  std::size_t data_bytes = 0;

  friend bool operator==(const Seen& a, const Seen& b) {
    return a.at == b.at && a.command == b.command && a.value == b.value &&
           a.data_bytes == b.data_bytes;
  }
};

void PrintTo(const Seen& seen, std::ostream* os) {
  *os << seen.at << " us: " << (seen.command < 0 ? "data " : "com-port ") << seen.command << " "
      << seen.data_bytes;
}

struct WakeCase {
  const char* name;
  bool hardware_flow;
  std::optional<std::uint32_t> cts_hold_at_image_byte;
};

using tovrel::case_printing::operator<<;

struct Served {
  std::vector<Seen> seen;
  Bytes image;
  int steps = 0;
  bool went_idle = false;
};

Served Serve(const WakeCase& c, bool only_when_due) {
  DeviceConfig config;
  config.initial_baud = 115200;
  config.busy_per_piece_us = 2'000;
  DeviceFaults faults;
  faults.cts_hold_at_image_byte = c.cts_hold_at_image_byte;
  faults.cts_hold_us = 3'000;
  SessionHarness h(config, faults);
  Served run;
  if (!h.Connected()) {
    return run;
  }
  if (c.hardware_flow) {
    h.Client().SendComPort(ComPortCommand::kSetControl, {rfc2217::kControlHardwareFlow});
  }
  h.Client().SendData(BytesOf("\x1b!g0256C"));
  std::size_t messages = 0;
  std::size_t data = 0;
  bool image_sent = false;
  while (h.Time().Now() <= kEnd) {
    h.Session().Step(0);
    ++run.steps;
    h.Client().Receive();
    const Clock::Micros now = h.Time().Now();
    for (; messages < h.Client().ComPort().size(); ++messages) {
      const auto& message = h.Client().ComPort()[messages];
      run.seen.push_back({now, static_cast<int>(message.command), message.value, 0});
    }
    if (h.Client().Data().size() != data) {
      data = h.Client().Data().size();
      run.seen.push_back({now, -1, {}, data});
    }
    if (!image_sent && data >= 6) {
      // Two pieces in one go; the step that follows at once stands for the socket's wake-up.
      h.Client().SendData(Bytes(256, 0x5A));
      image_sent = true;
      continue;
    }
    if (!only_when_due) {
      h.Time().Advance(1);
      continue;
    }
    const std::optional<Clock::Micros> due = h.Session().NextDueTime();
    if (!due) {
      run.went_idle = true;
      break;
    }
    EXPECT_GT(*due, now) << "a session that is due now has work it left undone";
    h.Time().Advance(*due > now ? *due - now : 1);
  }
  run.image = h.Session().Device().Image();
  return run;
}

class SessionWakeTimes : public ::testing::TestWithParam<WakeCase> {};

TEST_P(SessionWakeTimes, AreEnoughToShowEverythingWhenItHappens) {
  const Served reference = Serve(GetParam(), false);
  const Served woken = Serve(GetParam(), true);
  ASSERT_EQ(reference.image.size(), 256u);
  EXPECT_TRUE(woken.image == reference.image);
  EXPECT_EQ(woken.seen, reference.seen);
  EXPECT_TRUE(woken.went_idle) << "nothing is left to happen, so nothing should be due";
  // Each byte of the command and of the reply, each CTS change and the end of the image.
  EXPECT_LT(woken.steps, 40);
}

INSTANTIATE_TEST_SUITE_P(Lines, SessionWakeTimes,
                         ::testing::Values(WakeCase{"NoFlowControl", false, std::nullopt},
                                           WakeCase{"HardwareFlowControl", true, std::nullopt},
                                           WakeCase{"CtsHeldMidPiece", true, 200u},
                                           WakeCase{"CtsHeldAtPieceEnd", false, 128u}),
                         CaseName());

TEST(SessionSleep, NothingIsDueWhileASilentClientIsConnected) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Run(1'000);
  EXPECT_EQ(h.Session().NextDueTime(), std::nullopt);
  // Input, and the client closing: nothing to send, so nothing else wakes the server.
  EXPECT_EQ(h.Session().WaitEvents() & ~POLLRDHUP, POLLIN);
}

}  // namespace
}  // namespace tovrel::testing
