#include "serial/device_port.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fake_serial_api.h"
#include "tests/support/case_name.h"
#include "tests/support/line_states.h"

namespace tovrel {
namespace {

using testing::FakeSerialApi;

const std::uint8_t kCommand[] = {0x1B, '!', 'e', '0', 'C'};

class DevicePortTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  FakeSerialApi api{clock};

  // The calls made after construction, starting from the first one named `from`.
  std::vector<std::string> CallsFrom(const std::string& from) const {
    const int first = api.IndexOf(from);
    if (first < 0) {
      return {};
    }
    return {api.calls.begin() + first, api.calls.end()};
  }
};

TEST_F(DevicePortTest, ConfiguresTheLinkForTheDevice) {
  DevicePort port(api, clock, "COM2", 115200);
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.LastError(), 0);
  EXPECT_EQ(port.BaudRate(), 115200u);
  EXPECT_EQ(port.OwnerThread(), 0xFFFFFFFFu);
  EXPECT_EQ(FrameOf(api.state), FrameOf(Frame(115200, 8, NOPARITY, ONESTOPBIT, 0x2804u)));
  EXPECT_EQ(api.state.XonLim, 0);
  EXPECT_EQ(api.state.XoffLim, 0);
  EXPECT_EQ(api.state.EvtChar, 0);
  EXPECT_EQ(api.state.XonChar, 0x11);  // set by the first configuration and kept
  EXPECT_EQ(api.state.XoffChar, 0x13);
  EXPECT_EQ(TimeoutsOf(api.timeouts),
            TimeoutsOf(ReadTimeouts(0, 0, 20000, WriteTimeouts(200, 10000))));
}

TEST_F(DevicePortTest, RefusedDeviceConfigurationLeavesThePortUnusableButClosable) {
  api.fail_set_state_from_call = 2;  // the first configuration goes through, the device's not
  api.error_number = 87;
  {
    DevicePort port(api, clock, "COM2", 38400);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastError(), kErrSetState);
    EXPECT_EQ(port.SystemError(), 87u);
    EXPECT_EQ(api.CountCalls("ClosePort"), 0);
  }
  EXPECT_EQ(api.CountCalls("ClosePort"), 1);
}

TEST_F(DevicePortTest, FailedOpenConfiguresNothing) {
  api.fail_open = true;
  api.error_number = 2;
  DevicePort port(api, clock, "COM2", 38400);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.LastError(), kErrOpen);
  EXPECT_EQ(port.SystemError(), 2u);
  EXPECT_EQ(api.calls, std::vector<std::string>{"OpenPort"});
}

TEST_F(DevicePortTest, PortThatNeverOpenedFailsEveryOperationWithoutBlocking) {
  api.fail_open = true;
  DevicePort port(api, clock, "COM2", 38400);
  std::uint8_t reply[8] = {};
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 7, 15), 0);
  EXPECT_EQ(port.LastError(), kErrModemStatus);  // the invalid handle has no modem lines
  EXPECT_EQ(port.SetBaudRate(9600), 0);
  EXPECT_EQ(port.LastError(), kErrGetState);
  EXPECT_EQ(port.Lock(INFINITE), 0);  // there is no lock to take
  EXPECT_TRUE(api.written.empty());
  EXPECT_EQ(clock.TotalSlept(), 0u);
}

TEST_F(DevicePortTest, SendCommandWaitsForCtsDrainsPurgesWritesThenReads) {
  DevicePort port(api, clock, "COM2", 38400);
  api.incoming = "stale";  // a late byte from before the command must not be read as the reply
  api.replies = {"HEADER!extra"};
  api.fail_read = true;  // an earlier failure, cleared by the successful transaction
  std::uint8_t scratch;
  (void)port.Read(&scratch, 1);  // fails, as scripted
  api.fail_read = false;
  api.calls.clear();
  std::uint8_t reply[8] = {};
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 7, 15), 1);
  EXPECT_EQ(api.calls,
            (std::vector<std::string>{"GetModemStatus", "Drain", "Purge 12", "WriteBytes 5",
                                      "GetTimeouts", "SetTimeouts", "ReadBytes 7"}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply)), "HEADER!");
  EXPECT_EQ(api.written, std::string(kCommand, kCommand + 5));
  EXPECT_EQ(port.LastError(), 0);
  EXPECT_EQ(port.SystemError(), 0u);
  EXPECT_EQ(api.incoming, "extra");  // exactly the reply's length is taken
}

TEST_F(DevicePortTest, MissingReplyLastsTheReplyTimeout) {
  DevicePort port(api, clock, "COM2", 38400);
  std::uint8_t reply[8] = {};
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 7, 15), 0);
  EXPECT_EQ(port.LastError(), kErrReadShort);
  EXPECT_EQ(api.calls.back(), "ClearErrors");
  EXPECT_EQ(clock.TotalSlept(), 15000u * 1000u);
}

TEST_F(DevicePortTest, ReplyTimeoutStaysInForceForALaterRead) {
  DevicePort port(api, clock, "COM2", 38400);
  std::uint8_t reply[8] = {};
  (void)port.SendCommand(kCommand, 5, reply, 7, 15);  // what it leaves in force is the point
  EXPECT_EQ(api.timeouts.ReadTotalTimeoutConstant, 15000u);
  api.incoming = "ID";
  EXPECT_EQ(port.Read(reply, 2), 1);
  EXPECT_EQ(api.timeouts.ReadTotalTimeoutConstant, 15000u);
  EXPECT_EQ(port.LastError(), 0);
}

TEST_F(DevicePortTest, CommandWithoutReplyLeavesTheReadTimeoutAlone) {
  DevicePort port(api, clock, "COM2", 38400);
  std::uint8_t reply[8] = {};
  api.calls.clear();
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 0, 30), 1);
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 6, 30), 1);
  EXPECT_EQ(api.CountCalls("SetTimeouts"), 0);
  EXPECT_EQ(api.CountCalls("ReadBytes"), 0);
  EXPECT_EQ(api.timeouts.ReadTotalTimeoutConstant, 20000u);
  EXPECT_EQ(port.LastError(), 0);
  EXPECT_EQ(port.SystemError(), 0u);
}

TEST_F(DevicePortTest, CtsOnAtOnceSendsWithoutSleeping) {
  DevicePort port(api, clock, "COM2", 38400);
  api.calls.clear();
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 1);
  EXPECT_EQ(api.CountCalls("GetModemStatus"), 1);
  EXPECT_EQ(clock.TotalSlept(), 0u);
}

TEST_F(DevicePortTest, CtsThatComesLateIsPolledEvery10Ms) {
  DevicePort port(api, clock, "COM2", 38400);
  api.cts_sequence = {false, false, false, true};
  api.calls.clear();
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 1);
  EXPECT_EQ(api.CountCalls("GetModemStatus"), 4);
  EXPECT_EQ(clock.TotalSlept(), 30u * 1000u);
}

TEST_F(DevicePortTest, CtsNeverOnGivesUpAfter301ReadsWithNothingSent) {
  DevicePort port(api, clock, "COM2", 38400);
  api.cts_sequence = {false};
  api.calls.clear();
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 0);
  EXPECT_EQ(port.LastError(), kErrCtsTimeout);
  EXPECT_EQ(api.CountCalls("GetModemStatus"), 301);
  EXPECT_EQ(clock.TotalSlept(), 3010u * 1000u);
  EXPECT_EQ(api.CountCalls("Drain"), 0);
  EXPECT_EQ(api.CountCalls("Purge"), 0);
  EXPECT_EQ(api.CountCalls("WriteBytes"), 0);
  EXPECT_EQ(api.CountCalls("ClearErrors"), 0);
}

// A stop request that arrives at a set time on the virtual clock.
class StopAt final : public Interruption {
 public:
  StopAt(Clock& clock, Clock::Micros at) : clock_(clock), at_(at) {}
  bool Requested() override { return clock_.Now() >= at_; }

 private:
  Clock& clock_;
  Clock::Micros at_;
};

TEST_F(DevicePortTest, StopDuringTheCtsWaitEndsItWithNothingSent) {
  StopAt stop(clock, 500'000);
  DevicePort port(api, clock, "COM2", 38400, stop);
  api.cts_sequence = {false};
  api.calls.clear();
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 0);
  EXPECT_EQ(port.LastError(), kErrInterrupted);
  EXPECT_EQ(clock.TotalSlept(), 500u * 1000u);
  EXPECT_EQ(api.CountCalls("Drain"), 0);
  EXPECT_EQ(api.CountCalls("WriteBytes"), 0);
}

TEST_F(DevicePortTest, StopBeforeTheWriteSendsNothingButWhatWasQueuedLeaves) {
  StopAt stop(clock, 0);
  DevicePort port(api, clock, "COM2", 38400, stop);
  api.calls.clear();
  std::uint8_t reply[8] = {};
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 7, 15), 0);
  EXPECT_EQ(port.LastError(), kErrInterrupted);
  EXPECT_EQ(api.calls, (std::vector<std::string>{"GetModemStatus", "Drain"}));
  EXPECT_TRUE(api.written.empty());
}

struct CtsWaitCase {
  std::uint32_t seconds;
  int status_reads;
  std::uint64_t slept_ms;
};

class DevicePortCtsWait : public DevicePortTest,
                          public ::testing::WithParamInterface<CtsWaitCase> {};

TEST_P(DevicePortCtsWait, ReadsOnceMoreThanItSleepsButTheLastTime) {
  DevicePort port(api, clock, "COM2", 38400);
  api.cts_sequence = {false};
  api.calls.clear();
  EXPECT_EQ(port.WaitForClearToSend(GetParam().seconds), 0);
  EXPECT_EQ(port.LastError(), kErrCtsTimeout);
  EXPECT_EQ(api.CountCalls("GetModemStatus"), GetParam().status_reads);
  EXPECT_EQ(clock.TotalSlept(), GetParam().slept_ms * 1000u);
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, DevicePortCtsWait,
    ::testing::Values(CtsWaitCase{0, 1, 10}, CtsWaitCase{1, 101, 1010}, CtsWaitCase{3, 301, 3010}),
    NameBy([](const CtsWaitCase& c) { return std::to_string(c.seconds) + "Seconds"; }));

TEST_F(DevicePortTest, CtsTimeoutLeavesTheSystemErrorAsItWas) {
  DevicePort port(api, clock, "COM2", 38400);
  api.fail_read = true;
  api.error_number = 42;
  std::uint8_t byte;
  (void)port.Read(&byte, 1);  // fails, as scripted
  api.cts_sequence = {false};
  EXPECT_EQ(port.WaitForClearToSend(0), 0);
  EXPECT_EQ(port.LastError(), kErrCtsTimeout);
  EXPECT_EQ(port.SystemError(), 42u);
}

// A platform call that fails before anything is written ends the transaction with its code and
// the system's error number. A drain that gave up ends it before the purge: purging would drop
// the unsent rest of the last piece and let the next one follow it.
struct EarlyFailureCase {
  const char* name;
  bool FakeSerialApi::*fault;
  std::uint32_t error_number;
  std::int32_t code;
  std::vector<std::string> calls;
};

class DevicePortEarlyFailure : public DevicePortTest,
                               public ::testing::WithParamInterface<EarlyFailureCase> {};

TEST_P(DevicePortEarlyFailure, EndsTheTransactionWithNothingWritten) {
  const EarlyFailureCase& c = GetParam();
  DevicePort port(api, clock, "COM2", 38400);
  api.*c.fault = true;
  api.error_number = c.error_number;
  api.calls.clear();
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 0);
  EXPECT_EQ(port.LastError(), c.code);
  EXPECT_EQ(port.SystemError(), c.error_number);
  EXPECT_EQ(api.calls, c.calls);
  EXPECT_EQ(port.OwnerThread(), 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(Calls, DevicePortEarlyFailure,
                         ::testing::Values(EarlyFailureCase{"UnreadableModemStatus",
                                                            &FakeSerialApi::fail_modem_status,
                                                            50,
                                                            kErrModemStatus,
                                                            {"GetModemStatus", "ClearErrors"}},
                                           EarlyFailureCase{"DrainGivesUp",
                                                            &FakeSerialApi::fail_drain,
                                                            1460,
                                                            kErrWrite,
                                                            {"GetModemStatus", "Drain"}}),
                         CaseName());

TEST_F(DevicePortTest, FailedWriteInsideATransaction) {
  DevicePort port(api, clock, "COM2", 38400);
  api.fail_write_on_piece = 1;
  api.error_number = 1117;
  std::uint8_t reply[8];
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 7, 15), 0);
  EXPECT_EQ(port.LastError(), kErrWrite);
  EXPECT_EQ(port.SystemError(), 1117u);
  EXPECT_EQ(api.CountCalls("ReadBytes"), 0);
}

TEST_F(DevicePortTest, FiveOfSixReplyBytesIsAShortRead) {
  DevicePort port(api, clock, "COM2", 38400);
  api.replies = {"ABCDE"};
  std::uint8_t reply[8] = {};
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 6, 30), 0);
  EXPECT_EQ(port.LastError(), kErrReadShort);
  EXPECT_EQ(port.SystemError(), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply)), "ABCDE");
}

TEST_F(DevicePortTest, SetBaudRateChangesOnlyTheSpeed) {
  DevicePort port(api, clock, "COM2", 115200);
  const DCB before = api.state;
  EXPECT_EQ(port.SetBaudRate(38400), 1);
  EXPECT_EQ(port.BaudRate(), 38400u);
  EXPECT_EQ(api.state.BaudRate, 38400u);
  EXPECT_EQ(api.state.flags, before.flags);
  EXPECT_EQ(api.state.XonChar, before.XonChar);
  EXPECT_EQ(port.LastError(), 0);
}

TEST_F(DevicePortTest, RefusedSpeedKeepsTheOldRate) {
  DevicePort port(api, clock, "COM2", 115200);
  api.fail_set_state_from_call = 3;
  api.error_number = 87;
  EXPECT_EQ(port.SetBaudRate(38400), 0);
  EXPECT_EQ(port.LastError(), kErrSetState);
  EXPECT_EQ(port.SystemError(), 87u);
  EXPECT_EQ(port.BaudRate(), 115200u);
  EXPECT_EQ(api.state.BaudRate, 115200u);

  api.fail_get_state = true;
  EXPECT_EQ(port.SetBaudRate(38400), 0);
  EXPECT_EQ(port.LastError(), kErrGetState);
}

TEST_F(DevicePortTest, LockWithZeroReturnsAtOnce) {
  DevicePort port(api, clock, "COM2", 38400);
  EXPECT_EQ(port.Lock(0), 0);
  EXPECT_EQ(api.lock_waits, 0);
  EXPECT_EQ(clock.TotalSlept(), 0u);
}

TEST_F(DevicePortTest, LockIsServedInSlicesOf100Ms) {
  DevicePort port(api, clock, "COM2", 38400);
  std::promise<void> taken;
  std::promise<void> release;
  std::thread holder([&] {
    EXPECT_EQ(port.Lock(INFINITE), 1);
    taken.set_value();
    release.get_future().wait();
    port.Unlock();
  });
  taken.get_future().wait();
  EXPECT_EQ(port.Lock(250), 0);
  EXPECT_EQ(api.lock_waits, 3);
  EXPECT_EQ(clock.TotalSlept(), 300u * 1000u);
  EXPECT_EQ(port.Lock(100), 0);
  EXPECT_EQ(api.lock_waits, 4);
  release.set_value();
  holder.join();
  EXPECT_EQ(port.Lock(100), 1);
  port.Unlock();
}

TEST_F(DevicePortTest, AbandonedOrFailedWaitReturnsAtOnce) {
  DevicePort port(api, clock, "COM2", 38400);
  api.scripted_waits = {WaitResult::kTimeout, WaitResult::kAbandoned};
  EXPECT_EQ(port.Lock(INFINITE), 0);
  EXPECT_EQ(port.OwnerThread(), 0xFFFFFFFFu);
  api.scripted_waits = {WaitResult::kFailed};
  EXPECT_EQ(port.Lock(1000), 0);
  EXPECT_EQ(api.lock_waits, 1);
}

TEST_F(DevicePortTest, OwnerOfTheLockCanSendCommands) {
  DevicePort port(api, clock, "COM2", 38400);
  ASSERT_EQ(port.Lock(INFINITE), 1);
  EXPECT_NE(port.OwnerThread(), 0xFFFFFFFFu);
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 1);
  // Every release writes all ones, although the outer taking is still held.
  EXPECT_EQ(port.OwnerThread(), 0xFFFFFFFFu);
  port.Unlock();
}

TEST_F(DevicePortTest, EveryPathGivesTheLockBack) {
  DevicePort port(api, clock, "COM2", 38400);
  api.cts_sequence = {false};
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 0);  // CTS time-out
  api.cts_sequence = {true};
  api.fail_write_on_piece = 1;
  EXPECT_EQ(port.SendCommand(kCommand, 5, nullptr, 0, 0), 0);  // write failure
  std::uint8_t reply[8];
  EXPECT_EQ(port.SendCommand(kCommand, 5, reply, 7, 1), 0);  // short reply
  api.fail_get_state = true;
  EXPECT_EQ(port.SetBaudRate(9600), 0);  // refused speed
  api.fail_modem_status = true;
  EXPECT_EQ(port.WaitForClearToSend(3), 0);  // unreadable status

  std::thread other([&] {
    EXPECT_EQ(port.Lock(100), 1);
    port.Unlock();
  });
  other.join();
}

}  // namespace
}  // namespace tovrel
