// The host-facing bookkeeping of the link: opening and closing, line state and time-outs, what
// the host did, and every host-side fault knob.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "emulator/simulated_link.h"
#include "link_harness.h"
#include "tests/support/case_name.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {
namespace {

TEST(SimulatedLinkHost, OpensOnceAtATimeAndRecordsTheNames) {
  LinkHarness h;
  PortHandle first = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(h.link.OpenPort("COM7", first)));
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(h.link.IsOpen());
  EXPECT_TRUE(OpenFailsWith(h.link, "COM8", kSimErrorAccessDenied));
  EXPECT_TRUE(h.link.ClosePort(first));
  EXPECT_FALSE(h.link.IsOpen());
  PortHandle second = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(h.link.OpenPort("\\\\.\\COM12", second)));
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);
  EXPECT_EQ(h.link.OpenedNames(), (std::vector<std::string>{"COM7", "COM8", "\\\\.\\COM12"}));
  EXPECT_EQ(h.link.CallCount(HostOp::kOpenPort), 3u);
  EXPECT_EQ(h.link.CallCount(HostOp::kClosePort), 1u);

  // The old handle is dead.
  std::uint32_t status = 0;
  EXPECT_TRUE(FailedWith(h.link.GetModemStatus(first, status), kSimErrorInvalidHandle));
  EXPECT_FALSE(h.link.ClosePort(first));
}

TEST(SimulatedLinkHost, AFreshPortHasTheDriverDefaults) {
  LinkHarness h;
  ASSERT_TRUE(Succeeded(h.link.OpenPort("COM1", h.port)));
  DCB state;
  ASSERT_TRUE(h.link.GetLineState(h.port, state));
  EXPECT_EQ(state.BaudRate, 9600u);
  EXPECT_EQ(state.flags, 0x1011u);
  EXPECT_EQ(state.ByteSize, 8);
  EXPECT_EQ(state.XonChar, 0x11);
  EXPECT_EQ(state.XoffChar, 0x13);
  COMMTIMEOUTS t;
  t.ReadTotalTimeoutConstant = 99;
  ASSERT_TRUE(h.link.GetTimeouts(h.port, t));
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_TRUE(h.link.DtrOn());
}

struct BadState {
  const char* name;
  void (*spoil)(DCB&);
};

using tovrel::case_printing::operator<<;

class InvalidLineState : public ::testing::TestWithParam<BadState> {};

TEST_P(InvalidLineState, IsRejectedAndTheOldOneStays) {
  LinkHarness h;
  h.Open(38400);
  DCB state = h.link.HostLineState();
  GetParam().spoil(state);
  EXPECT_TRUE(FailedWith(h.link.SetLineState(h.port, state), kSimErrorInvalidParameter));
  EXPECT_EQ(h.link.HostLineState().BaudRate, 38400u);
}

INSTANTIATE_TEST_SUITE_P(Fields, InvalidLineState,
                         ::testing::Values(BadState{"ZeroBaud", [](DCB& s) { s.BaudRate = 0; }},
                                           BadState{"FourDataBits", [](DCB& s) { s.ByteSize = 4; }},
                                           BadState{"NineDataBits", [](DCB& s) { s.ByteSize = 9; }},
                                           BadState{"Parity5", [](DCB& s) { s.Parity = 5; }},
                                           BadState{"StopBits3", [](DCB& s) { s.StopBits = 3; }}),
                         CaseName());

TEST(SimulatedLinkHost, RecordsWhatTheHostDidInOrder) {
  LinkHarness h;
  h.Open(38400);
  ASSERT_TRUE(h.link.ClearErrors(h.port));
  ASSERT_TRUE(h.link.Purge(h.port, PURGE_TXCLEAR | PURGE_RXCLEAR));
  ASSERT_TRUE(h.link.ClearDtr(h.port));
  EXPECT_FALSE(h.link.DtrOn());
  ASSERT_TRUE(h.link.Purge(h.port, 0x0F));
  ASSERT_TRUE(h.link.ClosePort(h.port));

  std::vector<HostOp> ops;
  for (const HostCall& call : h.link.Calls()) {
    ops.push_back(call.op);
  }
  EXPECT_EQ(ops,
            (std::vector<HostOp>{HostOp::kOpenPort, HostOp::kGetLineState, HostOp::kSetLineState,
                                 HostOp::kSetTimeouts, HostOp::kClearErrors, HostOp::kPurge,
                                 HostOp::kClearDtr, HostOp::kPurge, HostOp::kClosePort}));
  EXPECT_EQ(h.link.PurgeFlags(), (std::vector<std::uint32_t>{0x0C, 0x0F}));
  EXPECT_EQ(h.link.Calls()[2].argument, 38400u);
  EXPECT_EQ(h.link.CallCount(HostOp::kClearDtr), 1u);
  EXPECT_FALSE(h.link.IsOpen());
  EXPECT_EQ(h.link.OpenHandle(), INVALID_HANDLE_VALUE);
}

TEST(SimulatedLinkHost, CountsWithoutRecordingWhenTold) {
  VirtualClock clock;
  EmulatedDevice device;
  LinkConfig config;
  config.record_calls = false;
  SimulatedLink link(clock, device, config);
  PortHandle port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(link.OpenPort("sim://", port)));
  std::uint32_t status = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(link.GetModemStatus(port, status));
  }
  EXPECT_TRUE(link.Calls().empty());
  EXPECT_EQ(link.CallCount(HostOp::kGetModemStatus), 1000u);
}

TEST(SimulatedLinkHost, RecordsBytesMovedAndModemStatus) {
  LinkHarness h;
  h.Open(38400);
  h.Write(std::string("\x1b!e0C"));
  h.Read(7);
  EXPECT_TRUE(h.Cts());
  const std::vector<HostCall>& calls = h.link.Calls();
  ASSERT_GE(calls.size(), 3u);
  const HostCall& write = calls[calls.size() - 3];
  const HostCall& read = calls[calls.size() - 2];
  const HostCall& status = calls.back();
  EXPECT_EQ(write.op, HostOp::kWriteBytes);
  EXPECT_EQ(write.argument, 5u);
  EXPECT_EQ(write.result, 5u);
  EXPECT_EQ(read.op, HostOp::kReadBytes);
  EXPECT_EQ(read.at, 5u * 261u);
  EXPECT_EQ(read.result, 7u);
  EXPECT_EQ(status.result, MS_CTS_ON);
}

TEST(SimulatedLinkHost, ClosingDiscardsQueuesAndLaterReplies) {
  LinkHarness h;
  h.Open(38400);
  h.Write(std::string("\x1b!e0C"));
  ASSERT_TRUE(h.link.ClosePort(h.port));
  h.clock.Sleep(50);
  h.link.Sync();
  // The byte under way when the port closed is lost; a closed port holds RTS off, so the device
  // keeps the rest of its reply.
  EXPECT_EQ(h.link.LostInput(), 1u);
  EXPECT_FALSE(h.link.DtrOn());
  ASSERT_TRUE(Succeeded(h.link.OpenPort("COM2", h.port)));
  EXPECT_EQ(h.link.PendingInput(), 0u);
}

TEST(SimulatedLinkHost, OpenFaultReportsItsErrorNumber) {
  HostFaults faults;
  faults.open_fails = true;
  faults.open_error_number = 1234;
  LinkHarness h({}, {}, {}, faults);
  EXPECT_TRUE(OpenFailsWith(h.link, "COM3", 1234u));
  EXPECT_FALSE(h.link.IsOpen());
  EXPECT_EQ(h.link.OpenedNames(), (std::vector<std::string>{"COM3"}));
  h.link.Faults().open_fails = false;
  EXPECT_TRUE(Succeeded(h.link.OpenPort("COM3", h.port)));
}

struct HostFaultCase {
  const char* name;
  HostOp op;
  std::uint32_t HostFaults::*from_call;
  std::function<SysResult(LinkHarness&)> call;
};

class HostFault : public ::testing::TestWithParam<HostFaultCase> {};

TEST_P(HostFault, FiresFromTheNthCallOn) {
  LinkHarness h;
  h.Open(38400);
  const HostFaultCase& c = GetParam();
  h.link.Faults().error_number = 77;
  h.link.Faults().*c.from_call = h.link.CallCount(c.op) + 2;
  EXPECT_TRUE(c.call(h)) << "the call before the Nth still works";
  EXPECT_TRUE(FailedWith(c.call(h), 77u));
  EXPECT_FALSE(c.call(h)) << "and every later one fails";
  EXPECT_FALSE(h.link.Calls().back().ok);
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, HostFault,
    ::testing::Values(
        HostFaultCase{"GetLineState", HostOp::kGetLineState,
                      &HostFaults::get_line_state_fails_from_call,
                      [](LinkHarness& h) {
                        DCB s;
                        return h.link.GetLineState(h.port, s);
                      }},
        HostFaultCase{
            "SetLineState", HostOp::kSetLineState, &HostFaults::set_line_state_fails_from_call,
            [](LinkHarness& h) { return h.link.SetLineState(h.port, h.link.HostLineState()); }},
        HostFaultCase{"GetTimeouts", HostOp::kGetTimeouts,
                      &HostFaults::get_timeouts_fails_from_call,
                      [](LinkHarness& h) {
                        COMMTIMEOUTS timeouts;
                        return h.link.GetTimeouts(h.port, timeouts);
                      }},
        HostFaultCase{
            "SetTimeouts", HostOp::kSetTimeouts, &HostFaults::set_timeouts_fails_from_call,
            [](LinkHarness& h) { return h.link.SetTimeouts(h.port, h.link.HostTimeouts()); }},
        HostFaultCase{"GetModemStatus", HostOp::kGetModemStatus,
                      &HostFaults::modem_status_fails_from_call,
                      [](LinkHarness& h) {
                        std::uint32_t status = 0;
                        return h.link.GetModemStatus(h.port, status);
                      }},
        HostFaultCase{"ReadBytes", HostOp::kReadBytes, &HostFaults::read_fails_from_call,
                      [](LinkHarness& h) {
                        std::uint8_t b[1];
                        std::uint32_t n = 0;
                        return h.link.ReadBytes(h.port, b, 0, n);
                      }},
        HostFaultCase{"WriteBytes", HostOp::kWriteBytes, &HostFaults::write_fails_from_call,
                      [](LinkHarness& h) {
                        const std::uint8_t b[1] = {0x55};
                        std::uint32_t n = 0;
                        const SysResult wrote = h.link.WriteBytes(h.port, b, 1, n);
                        return wrote && n != 1 ? SysResult::Failed(0) : wrote;
                      }}),
    CaseName());

TEST(SimulatedLinkHost, AFailedWriteSendsNothing) {
  HostFaults faults;
  faults.write_fails_from_call = 1;
  LinkHarness h({}, {}, {}, faults);
  h.Open(38400);
  std::uint32_t written = 99;
  const std::uint8_t bytes[5] = {0x1B, '!', 'e', '0', 'C'};
  EXPECT_TRUE(FailedWith(h.link.WriteBytes(h.port, bytes, 5, written), kSimErrorGenFailure));
  EXPECT_EQ(written, 0u);
  h.clock.Sleep(10);
  h.link.Sync();
  EXPECT_TRUE(h.device.Commands().empty());
}

TEST(SimulatedLinkHost, ALaterBaudChangeCanFailAfterTheSetupWorked) {
  HostFaults faults;
  faults.set_line_state_fails_from_call = 2;
  LinkHarness h({}, {}, {}, faults);
  h.Open(115200);  // the first SetLineState
  DCB state = h.link.HostLineState();
  state.BaudRate = 38400;
  EXPECT_FALSE(h.link.SetLineState(h.port, state));
  EXPECT_EQ(h.link.HostLineState().BaudRate, 115200u);
}

}  // namespace
}  // namespace tovrel
