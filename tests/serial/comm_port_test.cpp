#include "serial/comm_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_serial_api.h"
#include "tests/support/case_name.h"
#include "tests/support/line_states.h"

namespace tovrel {
namespace {

using testing::FakeSerialApi;

class CommPortTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  FakeSerialApi api{clock};

  CommPort Open(int data_bits = 8, int stop_bits = ONESTOPBIT) {
    return CommPort(api, "COM2", 9600, data_bits, NOPARITY, stop_bits);
  }
};

TEST_F(CommPortTest, OpensAndConfiguresThePort) {
  CommPort port = Open();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.LastError(), 0);
  EXPECT_EQ(api.opened_name, "COM2");
  EXPECT_EQ(api.calls, (std::vector<std::string>{"OpenPort", "SetupQueues 1024 256", "SetTimeouts",
                                                 "GetLineState", "SetLineState 9600"}));
  EXPECT_EQ(TimeoutsOf(api.timeouts),
            TimeoutsOf(ReadTimeouts(500, 500, 5000, WriteTimeouts(500, 2000))));
  // The driver reported every flag set: 0x307E cleared, 0x0381 set, the rest kept.
  EXPECT_EQ(FrameOf(api.state),
            FrameOf(Frame(9600, 8, NOPARITY, ONESTOPBIT, (0xFFFFFFFFu & ~0x307Eu) | 0x0381u)));
  EXPECT_EQ(api.state.XonChar, 0x11);
  EXPECT_EQ(api.state.XoffChar, 0x13);
  EXPECT_EQ(api.state.XonLim, 2048);  // left as the driver had it
  EXPECT_EQ(api.state.EvtChar, 'E');
}

struct StopBitsCase {
  int data_bits;
  int stop_bits;
  std::uint8_t configured;
};

class CommPortStopBits : public CommPortTest, public ::testing::WithParamInterface<StopBitsCase> {};

TEST_P(CommPortStopBits, OneAndAHalfOnlyForFiveBitCharacters) {
  CommPort port = Open(GetParam().data_bits, GetParam().stop_bits);
  EXPECT_EQ(api.state.StopBits, GetParam().configured);
}

INSTANTIATE_TEST_SUITE_P(Codes, CommPortStopBits,
                         ::testing::Values(StopBitsCase{8, ONE5STOPBITS, TWOSTOPBITS},
                                           StopBitsCase{6, ONE5STOPBITS, TWOSTOPBITS},
                                           StopBitsCase{5, ONE5STOPBITS, ONE5STOPBITS},
                                           StopBitsCase{8, ONESTOPBIT, ONESTOPBIT},
                                           StopBitsCase{8, TWOSTOPBITS, TWOSTOPBITS}),
                         NameBy([](const StopBitsCase& c) {
                           return "DataBits" + std::to_string(c.data_bits) + "StopCode" +
                                  std::to_string(c.stop_bits);
                         }));

TEST_F(CommPortTest, FailedOpenRecordsTheSystemError) {
  api.fail_open = true;
  api.error_number = 5;
  CommPort port = Open();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.LastError(), kErrOpen);
  EXPECT_EQ(port.SystemError(), 5u);
  EXPECT_EQ(api.calls, std::vector<std::string>{"OpenPort"});
}

struct ConfigFailure {
  const char* name;
  void (*script)(FakeSerialApi&);
  std::int32_t code;
  int calls_made;
};

class CommPortConfigFailure : public CommPortTest,
                              public ::testing::WithParamInterface<ConfigFailure> {};

TEST_P(CommPortConfigFailure, KeepsThePortOpenWithTheStepsCode) {
  GetParam().script(api);
  api.error_number = 31;
  CommPort port = Open();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.LastError(), GetParam().code);
  EXPECT_EQ(port.SystemError(), 31u);
  EXPECT_EQ(static_cast<int>(api.calls.size()), GetParam().calls_made);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CommPortConfigFailure,
    ::testing::Values(ConfigFailure{"SetTimeouts",
                                    [](FakeSerialApi& a) { a.fail_set_timeouts_from_call = 1; },
                                    kErrSetTimeouts, 3},
                      ConfigFailure{"GetState", [](FakeSerialApi& a) { a.fail_get_state = true; },
                                    kErrGetState, 4},
                      ConfigFailure{"SetState",
                                    [](FakeSerialApi& a) { a.fail_set_state_from_call = 1; },
                                    kErrSetState, 5}),
    CaseName());

struct PieceCase {
  std::uint32_t count;
  std::vector<std::uint32_t> pieces;
};

class CommPortWritePieces : public CommPortTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(CommPortWritePieces, HandsAtMost256BytesToEachWrite) {
  CommPort port = Open();
  std::vector<std::uint8_t> data(GetParam().count);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7);
  }
  ASSERT_EQ(port.Write(data.data(), GetParam().count), 1);
  EXPECT_EQ(api.write_sizes, GetParam().pieces);
  EXPECT_EQ(api.written, std::string(data.begin(), data.end()));
  EXPECT_EQ(port.LastError(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CommPortWritePieces,
    ::testing::Values(PieceCase{600, {256, 256, 88}}, PieceCase{256, {256}},
                      PieceCase{257, {256, 1}}, PieceCase{1, {1}}, PieceCase{512, {256, 256}}),
    NameBy([](const PieceCase& c) { return std::to_string(c.count) + "Bytes"; }));

TEST_F(CommPortTest, EmptyOrNullTransfersSucceedWithoutPlatformCalls) {
  CommPort port = Open();
  const std::size_t calls_before = api.calls.size();
  std::uint8_t byte = 0;
  EXPECT_EQ(port.Write(&byte, 0), 1);
  EXPECT_EQ(port.Write(nullptr, 10), 1);
  EXPECT_EQ(port.Read(&byte, 0), 1);
  EXPECT_EQ(port.Read(nullptr, 10), 1);
  EXPECT_EQ(api.calls.size(), calls_before);
  EXPECT_EQ(port.LastError(), 0);
  EXPECT_EQ(port.SystemError(), 0u);
}

TEST_F(CommPortTest, TransfersOnAPortThatNeverOpenedFailWith100) {
  api.fail_open = true;
  api.error_number = 2;
  CommPort port = Open();
  const std::size_t calls_before = api.calls.size();
  std::uint8_t buffer[4] = {};
  EXPECT_EQ(port.Write(buffer, 4), 0);
  EXPECT_EQ(port.LastError(), kErrOpen);
  EXPECT_EQ(port.SystemError(), 0u);
  EXPECT_EQ(port.Read(buffer, 4), 0);
  EXPECT_EQ(port.LastError(), kErrOpen);
  EXPECT_EQ(port.SystemError(), 0u);
  EXPECT_EQ(api.calls.size(), calls_before);
  // The time-out setters go to the platform, which refuses the invalid handle.
  EXPECT_EQ(port.SetReadTimeout(100), 0);
  EXPECT_EQ(port.LastError(), kErrGetTimeouts);
  EXPECT_EQ(port.SetWriteTimeouts(100, 1), 0);
  EXPECT_EQ(port.LastError(), kErrGetTimeouts);
}

TEST_F(CommPortTest, FailedWriteClearsTheErrorState) {
  CommPort port = Open();
  api.fail_write_on_piece = 2;
  api.error_number = 1117;
  std::vector<std::uint8_t> data(300, 0x55);
  EXPECT_EQ(port.Write(data.data(), 300), 0);
  EXPECT_EQ(port.LastError(), kErrWrite);
  EXPECT_EQ(port.SystemError(), 1117u);
  EXPECT_EQ(api.written.size(), 256u);
  EXPECT_EQ(api.calls.back(), "ClearErrors");
}

TEST_F(CommPortTest, ShortWriteStopsWithoutClearingErrors) {
  CommPort port = Open();
  api.short_write_on_piece = 2;
  std::vector<std::uint8_t> data(300, 0x55);
  EXPECT_EQ(port.Write(data.data(), 300), 0);
  EXPECT_EQ(port.LastError(), kErrWriteShort);
  EXPECT_EQ(port.SystemError(), 0u);
  EXPECT_EQ(api.write_sizes, (std::vector<std::uint32_t>{256, 44}));
  EXPECT_EQ(api.written.size(), 256u + 43u);
  EXPECT_EQ(api.CountCalls("ClearErrors"), 0);
}

TEST_F(CommPortTest, ReadsExactlyTheCountInOneCall) {
  CommPort port = Open();
  api.incoming = "ABCDEFGHIJ";
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(port.Read(buffer, 7), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 7), "ABCDEFG");
  EXPECT_EQ(api.CountCalls("ReadBytes"), 1);
  EXPECT_EQ(buffer[7], 0);  // nothing past the count is touched
}

TEST_F(CommPortTest, ShortReadKeepsTheBytesThatArrived) {
  CommPort port = Open();
  api.incoming = "12345";
  std::uint8_t buffer[7] = {};
  EXPECT_EQ(port.Read(buffer, 7), 0);
  EXPECT_EQ(port.LastError(), kErrReadShort);
  EXPECT_EQ(port.SystemError(), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "12345");
  EXPECT_EQ(api.calls.back(), "ClearErrors");
  EXPECT_EQ(api.CountCalls("ReadBytes"), 1);  // no retry
}

TEST_F(CommPortTest, FailedReadRecordsTheSystemError) {
  CommPort port = Open();
  api.fail_read = true;
  api.error_number = 995;
  std::uint8_t buffer[3];
  EXPECT_EQ(port.Read(buffer, 3), 0);
  EXPECT_EQ(port.LastError(), kErrRead);
  EXPECT_EQ(port.SystemError(), 995u);
  EXPECT_EQ(api.calls.back(), "ClearErrors");
}

TEST_F(CommPortTest, SuccessfulTransfersClearAnEarlierError) {
  CommPort port = Open();
  api.fail_read = true;
  api.error_number = 995;
  std::uint8_t buffer[3];
  ASSERT_EQ(port.Read(buffer, 3), 0);
  EXPECT_EQ(port.Write(buffer, 3), 1);
  EXPECT_EQ(port.LastError(), 0);
  EXPECT_EQ(port.SystemError(), 0u);
}

TEST_F(CommPortTest, TimeoutSettersKeepTheOtherMembers) {
  CommPort port = Open();
  EXPECT_EQ(port.SetReadTimeout(15000), 1);
  EXPECT_EQ(TimeoutsOf(api.timeouts),
            TimeoutsOf(ReadTimeouts(0, 0, 15000, WriteTimeouts(500, 2000))));
  EXPECT_EQ(port.SetWriteTimeouts(10000, 200), 1);
  EXPECT_EQ(TimeoutsOf(api.timeouts),
            TimeoutsOf(ReadTimeouts(0, 0, 15000, WriteTimeouts(200, 10000))));
}

TEST_F(CommPortTest, TimeoutSettersWriteTheFieldsOnlyOnFailure) {
  CommPort port = Open();
  api.short_write_on_piece = 1;
  std::uint8_t byte = 1;
  ASSERT_EQ(port.Write(&byte, 1), 0);
  EXPECT_EQ(port.SetReadTimeout(100), 1);
  EXPECT_EQ(port.LastError(), kErrWriteShort);

  api.error_number = 87;
  api.fail_set_timeouts_from_call = 1;
  EXPECT_EQ(port.SetWriteTimeouts(1, 1), 0);
  EXPECT_EQ(port.LastError(), kErrSetTimeouts);
  EXPECT_EQ(port.SystemError(), 87u);
  api.fail_get_timeouts = true;
  EXPECT_EQ(port.SetReadTimeout(1), 0);
  EXPECT_EQ(port.LastError(), kErrGetTimeouts);
}

TEST_F(CommPortTest, CloseDropsDtrPurgesAndClosesOnce) {
  CommPort port = Open();
  api.fail_read = true;
  api.error_number = 9;
  std::uint8_t byte;
  EXPECT_EQ(port.Read(&byte, 1), 0);
  api.calls.clear();
  port.Close();
  EXPECT_EQ(api.calls, (std::vector<std::string>{"ClearDtr", "Purge 15", "ClosePort"}));
  EXPECT_TRUE(port.IsOpen());  // Close leaves the fields alone
  EXPECT_EQ(port.LastError(), kErrRead);
  port.Close();
  EXPECT_EQ(api.calls.size(), 3u);
}

TEST_F(CommPortTest, TransfersAfterCloseFailWithoutReachingAClosedPort) {
  CommPort port = Open();
  port.Close();
  std::uint8_t buffer[4] = {1, 2, 3, 4};
  // The platform refuses the invalid handle; nothing is written and nothing crashes.
  EXPECT_EQ(port.Write(buffer, 4), 0);
  EXPECT_EQ(port.LastError(), kErrWrite);
  EXPECT_EQ(port.Read(buffer, 4), 0);
  EXPECT_EQ(port.LastError(), kErrRead);
  EXPECT_EQ(port.SetReadTimeout(10), 0);
  EXPECT_EQ(port.LastError(), kErrGetTimeouts);
  EXPECT_TRUE(api.written.empty());
}

TEST_F(CommPortTest, DestructionClosesAndNeverOpenedPortMakesNoCalls) {
  { CommPort port = Open(); }
  EXPECT_EQ(api.calls.back(), "ClosePort");

  FakeSerialApi refusing(clock);
  refusing.fail_open = true;
  {
    CommPort port(refusing, "COM9", 9600, 8, NOPARITY, ONESTOPBIT);
    port.Close();
  }
  EXPECT_EQ(refusing.calls, std::vector<std::string>{"OpenPort"});
}

}  // namespace
}  // namespace tovrel
