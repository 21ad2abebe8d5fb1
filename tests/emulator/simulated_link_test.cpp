// The modelled line as the host sees it: byte timing, read and write time-outs, CTS, NULs,
// purges and speeds, all on a virtual clock.
#include "emulator/simulated_link.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "link_harness.h"
#include "tests/support/case_name.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {
namespace {

const std::string kEsc = "\x1b";
const std::string kInquiry = kEsc + "!e0C";
const std::string kInquiryReply = kEsc + "!e1021VELMOR TP-200 FW 1.04";
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr Clock::Micros kByteAt9600 = 1042;
constexpr Clock::Micros kByteAt38400 = 261;

DeviceConfig AtSpeed(std::uint32_t baud) {
  DeviceConfig config;
  config.initial_baud = baud;
  return config;
}

DeviceFaults Faults(void (*set)(DeviceFaults&)) {
  DeviceFaults faults;
  set(faults);
  return faults;
}

TEST(SimulatedLink, AFiveByteCommandAt9600TakesFivePointTwoMilliseconds) {
  LinkHarness h(AtSpeed(9600));
  h.Open(9600);
  EXPECT_EQ(h.Write(kInquiry), 5u);
  EXPECT_EQ(h.clock.Now(), 5 * kByteAt9600);
  ASSERT_EQ(h.device.Commands().size(), 1u);
  EXPECT_EQ(h.device.Commands()[0].at, 5 * kByteAt9600);
  EXPECT_EQ(h.device.Commands()[0].baud, 9600u);
}

TEST(SimulatedLink, ReadReturnsOnceTheAskedBytesHaveArrived) {
  LinkHarness h;
  h.Open(38400);
  h.Write(kInquiry);
  const Clock::Micros sent = h.clock.Now();
  EXPECT_EQ(Text(h.Read(7)), kInquiryReply.substr(0, 7));
  EXPECT_EQ(h.clock.Now(), sent + 7 * kByteAt38400);
  EXPECT_EQ(Text(h.Read(21)), kInquiryReply.substr(7));
  EXPECT_EQ(h.clock.Now(), sent + 28 * kByteAt38400);
  EXPECT_EQ(h.device.SentBytes(), Bytes(kInquiryReply));
}

TEST(SimulatedLink, ReadRunsOutAtTheTotalTimeoutWithWhatArrived) {
  LinkHarness h({}, Faults([](DeviceFaults& f) { f.inquiry = ReplyFault::kShortReply; }));
  h.Open(38400, kDeviceFlags, 15000);
  h.Write(kInquiry);
  const Clock::Micros sent = h.clock.Now();
  EXPECT_EQ(h.Read(28).size(), 27u);
  EXPECT_EQ(h.clock.Now(), sent + 15'000'000u);
}

TEST(SimulatedLink, SilentDeviceReadSleepsStraightToTheTimeout) {
  LinkHarness h({}, Faults([](DeviceFaults& f) { f.silent = true; }));
  h.Open(38400, kDeviceFlags, 20000);
  h.Write(kInquiry);
  const Clock::Micros sent = h.clock.Now();
  const Clock::Micros slept = h.clock.TotalSlept();
  EXPECT_TRUE(h.Read(7).empty());
  EXPECT_EQ(h.clock.Now(), sent + 20'000'000u);
  EXPECT_EQ(h.clock.TotalSlept() - slept, 20'000'000u);
}

struct ReadTimeoutCase {
  const char* name;
  COMMTIMEOUTS timeouts;
  std::uint32_t count;
  std::size_t expect_bytes;
  Clock::Micros expect_elapsed;  // from the end of the inquiry's write
};

using tovrel::case_printing::operator<<;

// Read time-outs over the device port's write time-outs.
COMMTIMEOUTS Timeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
  return ReadTimeouts(interval, multiplier, constant, WriteTimeouts(200, 10000));
}

class ReadTimeouts : public ::testing::TestWithParam<ReadTimeoutCase> {};

// The device answers the inquiry with 27 of its 28 bytes (the last arrives never).
TEST_P(ReadTimeouts, FollowTheWin32Rules) {
  LinkHarness h({}, Faults([](DeviceFaults& f) { f.inquiry = ReplyFault::kShortReply; }));
  h.Open(38400);
  h.SetTimeouts(GetParam().timeouts);
  h.Write(kInquiry);
  const Clock::Micros sent = h.clock.Now();
  EXPECT_EQ(h.Read(GetParam().count).size(), GetParam().expect_bytes);
  EXPECT_EQ(h.clock.Now() - sent, GetParam().expect_elapsed);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadTimeouts,
    ::testing::Values(
        ReadTimeoutCase{"MultiplierAndConstant", Timeouts(0, 10, 100), 28, 27, 380'000},
        ReadTimeoutCase{"MultiplierOnly", Timeouts(0, 1000, 0), 28, 27, 28'000'000},
        ReadTimeoutCase{"EnoughBytesBeforeTheTimeout", Timeouts(0, 10, 100), 7, 7,
                        7 * kByteAt38400},
        ReadTimeoutCase{"IntervalAfterTheLastArrival", Timeouts(5, 0, 1000), 28, 27,
                        27 * kByteAt38400 + 5'000},
        ReadTimeoutCase{"IntervalLongerThanTotal", Timeouts(500, 0, 20), 28, 27, 20'000},
        ReadTimeoutCase{"ReturnAtOnce", Timeouts(kMaxDword, 0, 0), 28, 0, 0},
        ReadTimeoutCase{"ReturnOnFirstByte", Timeouts(kMaxDword, kMaxDword, 1000), 28, 1,
                        kByteAt38400},
        // Where Win32 would wait for ever, the read ends once nothing more can arrive.
        ReadTimeoutCase{"NoTimeouts", Timeouts(0, 0, 0), 28, 27, 27 * kByteAt38400},
        ReadTimeoutCase{"IntervalOnly", Timeouts(50, 0, 0), 28, 27, 27 * kByteAt38400 + 50'000}),
    CaseName());

TEST(SimulatedLink, AReadThatWin32WouldNeverEndReturnsWhenNothingCanArrive) {
  LinkHarness h({}, Faults([](DeviceFaults& f) { f.silent = true; }));
  h.Open(38400);
  h.SetTimeouts(Timeouts(50, 0, 0));
  h.Write(kInquiry);
  const Clock::Micros sent = h.clock.Now();
  EXPECT_TRUE(h.Read(7).empty());
  EXPECT_EQ(h.clock.Now(), sent);
}

TEST(SimulatedLink, NulsInRepliesAreDroppedOnlyWhenTheHostAsksForIt) {
  const DeviceFaults nuls = Faults([](DeviceFaults& f) { f.reply_nuls = 1; });
  {
    LinkHarness h({}, nuls);
    h.Open(38400, kDeviceFlags);
    h.Write(kEsc + "!b38400C");
    EXPECT_EQ(Text(h.Read(5)), kEsc + "!b1C");
    EXPECT_EQ(h.link.DiscardedNuls(), 4u);
  }
  {
    LinkHarness h({}, nuls);
    h.Open(38400, kDeviceFlags & ~kDcbNull);
    h.Write(kEsc + "!b38400C");
    EXPECT_EQ(Text(h.Read(5)), std::string("\x1b\0!\0b", 5));
    EXPECT_EQ(h.link.DiscardedNuls(), 0u);
  }
}

TEST(SimulatedLink, PurgeDropsReceivedInputAndUnsentOutput) {
  LinkConfig config;
  config.write_completion = WriteCompletion::kWhenBuffered;
  config.host_tx_buffer_bytes = 256;
  LinkHarness h({}, {}, config);
  h.Open(38400, 0x2000);
  h.Write(kInquiry);
  h.clock.Sleep(20);
  h.link.Sync();
  EXPECT_EQ(h.link.PendingInput(), 28u);
  ASSERT_TRUE(h.link.Purge(h.port, PURGE_RXCLEAR));
  EXPECT_EQ(h.link.PendingInput(), 0u);

  EXPECT_EQ(h.Write(std::vector<std::uint8_t>(100, 0x55)), 100u);
  EXPECT_EQ(h.link.PendingOutput(), 100u) << "the write returned at once into the buffer";
  ASSERT_TRUE(h.link.Purge(h.port, PURGE_TXABORT | PURGE_TXCLEAR));
  EXPECT_EQ(h.link.PendingOutput(), 1u) << "the byte already on the line still goes";
  ASSERT_TRUE(h.link.Drain(h.port));
  EXPECT_EQ(h.device.IgnoredBytes(), 1u);
  EXPECT_EQ(h.link.PurgeFlags(), (std::vector<std::uint32_t>{PURGE_RXCLEAR, 0x5}));
}

TEST(SimulatedLink, CtsFlowControlHoldsHostOutputUntilTheWriteTimesOut) {
  LinkHarness h({}, Faults([](DeviceFaults& f) { f.cts_stuck_off = true; }));
  h.Open(38400);
  EXPECT_FALSE(h.Cts());
  EXPECT_EQ(h.Write(kInquiry), 0u);
  EXPECT_EQ(h.clock.Now(), (200u * 5 + 10000) * 1000u);
  EXPECT_EQ(h.device.IgnoredBytes(), 0u);
  EXPECT_TRUE(h.device.Commands().empty());
  EXPECT_EQ(h.link.PendingOutput(), 0u);

  // Without write time-outs the write gives up as soon as nothing could let the bytes go.
  h.SetTimeouts(COMMTIMEOUTS{});
  const Clock::Micros before = h.clock.Now();
  EXPECT_EQ(h.Write(kInquiry), 0u);
  EXPECT_EQ(h.clock.Now(), before);
}

TEST(SimulatedLink, WithoutCtsFlowControlBytesGoOutWhileCtsIsOff) {
  LinkHarness h({}, Faults([](DeviceFaults& f) { f.cts_stuck_off = true; }));
  h.Open(38400, kDeviceFlags & ~kDcbOutxCtsFlow);
  EXPECT_EQ(h.Write(kInquiry), 5u);
  EXPECT_EQ(h.device.BytesWhileCtsOff(), 5u);
  EXPECT_EQ(Text(h.Read(28)), kInquiryReply);
}

TEST(SimulatedLink, TheDevicePacesImagePiecesThroughCts) {
  LinkHarness h;
  h.Open(38400);
  h.Write(kEsc + "!g0300C");
  EXPECT_EQ(Text(h.Read(6)), kEsc + "!g01C");

  std::vector<std::uint8_t> image(300);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 7);
  }
  int polls_with_cts_off = 0;
  for (std::size_t at = 0; at < image.size(); at += 128) {
    while (!h.Cts()) {
      ++polls_with_cts_off;
      h.clock.Sleep(10);
    }
    const std::size_t end = std::min(image.size(), at + 128);
    const Clock::Micros start = h.clock.Now();
    EXPECT_EQ(h.Write(std::vector<std::uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(at),
                                                image.begin() + static_cast<std::ptrdiff_t>(end))),
              end - at);
    EXPECT_EQ(h.clock.Now() - start, (end - at) * kByteAt38400);
    EXPECT_FALSE(h.Cts()) << "busy right after each piece";
  }
  EXPECT_EQ(polls_with_cts_off, 2);
  h.clock.Sleep(5);
  EXPECT_TRUE(h.Cts());
  EXPECT_EQ(h.device.Image(), image);
  EXPECT_TRUE(h.device.ProgrammingComplete());
  EXPECT_EQ(h.device.PiecesReceived(), 3u);
  EXPECT_EQ(h.device.BytesWhileCtsOff(), 0u);
}

TEST(SimulatedLink, AWriteStartedWhileTheDeviceIsBusyWaitsForCts) {
  LinkHarness h;
  h.Open(38400);
  h.Write(kEsc + "!g0256C");
  h.Read(6);
  h.Write(std::vector<std::uint8_t>(128, 1));
  const Clock::Micros start = h.clock.Now();
  EXPECT_EQ(h.Write(std::vector<std::uint8_t>(128, 2)), 128u);
  EXPECT_EQ(h.clock.Now() - start, 5'000 + 128 * kByteAt38400);
  EXPECT_EQ(h.device.BytesWhileCtsOff(), 0u);
  EXPECT_TRUE(h.device.ProgrammingComplete());
}

TEST(SimulatedLink, AWriteHeldByCtsReturnsShortAtItsTimeout) {
  DeviceConfig config;
  config.piece_bytes = 64;
  LinkHarness h(config, Faults([](DeviceFaults& f) { f.cts_stuck_off_after_pieces = 1; }));
  h.Open(38400);
  h.Write(kEsc + "!g0128C");
  h.Read(6);
  const Clock::Micros start = h.clock.Now();
  EXPECT_EQ(h.Write(std::vector<std::uint8_t>(128, 3)), 64u);
  EXPECT_EQ(h.clock.Now() - start, (200u * 128 + 10000) * 1000u);
  EXPECT_EQ(h.device.Image().size(), 64u);
  EXPECT_EQ(h.link.PendingOutput(), 0u) << "the bytes that did not go are dropped";
}

TEST(SimulatedLink, DrainWaitsForBufferedBytesToLeaveTheLine) {
  LinkConfig config;
  config.write_completion = WriteCompletion::kWhenBuffered;
  config.host_tx_buffer_bytes = 16;
  LinkHarness h({}, {}, config);
  h.Open(38400);
  EXPECT_EQ(h.Write(std::vector<std::uint8_t>(128, 0x55)), 128u);
  EXPECT_EQ(h.clock.Now(), 112 * kByteAt38400);
  EXPECT_EQ(h.link.PendingOutput(), 16u);
  ASSERT_TRUE(h.link.Drain(h.port));
  EXPECT_EQ(h.clock.Now(), 128 * kByteAt38400);
  EXPECT_EQ(h.link.PendingOutput(), 0u);
  EXPECT_EQ(h.device.IgnoredBytes(), 128u);
  ASSERT_TRUE(h.link.Drain(h.port));
  EXPECT_EQ(h.clock.Now(), 128 * kByteAt38400) << "nothing left: no wait";
}

TEST(SimulatedLink, DrainGivesUpAtTheWriteTimeoutWhileCtsStaysOff) {
  DeviceConfig device_config;
  device_config.piece_bytes = 64;
  LinkConfig config;
  config.write_completion = WriteCompletion::kWhenBuffered;
  config.host_tx_buffer_bytes = 16;
  LinkHarness h(device_config, Faults([](DeviceFaults& f) { f.cts_stuck_off_after_pieces = 1; }),
                config);
  h.Open(38400);
  h.Write(kEsc + "!g0128C");
  h.Read(6);
  EXPECT_EQ(h.Write(std::vector<std::uint8_t>(128, 3)), 80u);
  EXPECT_EQ(h.link.PendingOutput(), 16u);
  const Clock::Micros start = h.clock.Now();
  EXPECT_TRUE(FailedWith(h.link.Drain(h.port), kSimErrorTimeout));
  EXPECT_EQ(h.clock.Now() - start, (200u * 16 + 10000) * 1000u);

  h.SetTimeouts(COMMTIMEOUTS{});
  const Clock::Micros before = h.clock.Now();
  EXPECT_FALSE(h.link.Drain(h.port));
  EXPECT_EQ(h.clock.Now(), before);
}

TEST(SimulatedLink, TheDeviceNeverUnderstandsACommandSentAtTheWrongSpeed) {
  LinkHarness h;
  h.Open(115200);
  h.Write(kInquiry);
  EXPECT_TRUE(h.Read(7).empty());
  EXPECT_EQ(h.device.GarbledBytes(), 5u);
  EXPECT_TRUE(h.device.Commands().empty());
}

TEST(SimulatedLink, BothSidesChangeSpeedInTheRightOrder) {
  LinkHarness h(AtSpeed(115200));
  h.Open(115200);
  h.Write(kEsc + "!b38400C");
  EXPECT_EQ(Text(h.Read(5)), kEsc + "!b1C");
  EXPECT_EQ(h.device.Speed(), 38400u);
  h.SetSpeed(38400);
  h.Write(kEsc + "!b11520C");
  EXPECT_EQ(Text(h.Read(5)), kEsc + "!b1C");
  h.SetSpeed(115200);
  h.Write(kInquiry);
  EXPECT_EQ(Text(h.Read(28)), kInquiryReply);

  std::vector<std::uint32_t> speeds;
  for (const ReceivedCommand& command : h.device.Commands()) {
    speeds.push_back(command.baud);
  }
  EXPECT_EQ(speeds, (std::vector<std::uint32_t>{115200, 38400, 115200}));
  EXPECT_EQ(h.device.GarbledBytes(), 0u);
  EXPECT_EQ(h.link.GarbledInput(), 0u);
}

TEST(SimulatedLink, AHostThatChangesSpeedBeforeTheAckReadsItGarbled) {
  LinkHarness h;
  h.Open(38400);
  h.Write(kEsc + "!b11520C");
  h.SetSpeed(115200);
  EXPECT_EQ(h.Read(5), std::vector<std::uint8_t>(5, kGarbledByte));
  EXPECT_EQ(h.link.GarbledInput(), 5u);
}

// With the RTS handshake a full input queue drops RTS and the device waits; with RTS simply on
// the device goes on sending and what does not fit is lost.
TEST(SimulatedLink, AFullInputQueueHoldsTheDeviceUnderTheHandshakeAndLosesBytesWithout) {
  for (const bool handshake : {true, false}) {
    SCOPED_TRACE(handshake ? "RTS handshake" : "RTS on");
    LinkHarness h;
    const std::uint32_t rts = handshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    h.Open(38400, (kDeviceFlags & ~kDcbRtsControlMask) | (rts << kDcbRtsControlShift));
    ASSERT_TRUE(h.link.SetupQueues(h.port, 10, 256));
    h.Write(kInquiry);
    h.clock.Sleep(100);
    EXPECT_EQ(h.Read(28).size(), handshake ? 28u : 10u);
    EXPECT_EQ(h.link.LostInput(), handshake ? 0u : 18u);
    EXPECT_EQ(h.link.InputQueueBytes(), 10u);
    EXPECT_EQ(h.link.OutputQueueBytes(), 256u);
  }
}

// The device honours the hardware handshake: nothing comes while the host holds RTS off, and the
// held reply follows as soon as RTS goes on.
TEST(SimulatedLink, TheDeviceHoldsItsReplyWhileTheHostsRtsIsOff) {
  LinkHarness h;
  const std::uint32_t off = kDeviceFlags & ~kDcbRtsControlMask;
  h.Open(38400, off | (RTS_CONTROL_DISABLE << kDcbRtsControlShift));
  h.Write(kInquiry);
  h.clock.Sleep(1000);
  h.link.Sync();
  EXPECT_EQ(h.link.PendingInput(), 0u);
  EXPECT_EQ(h.device.SentBytes().size(), 0u);
  h.SetSpeed(38400, off | (RTS_CONTROL_HANDSHAKE << kDcbRtsControlShift));
  EXPECT_EQ(h.Read(28).size(), 28u);
}

// Wraps a virtual clock to count the sleeps, so that a wait can be seen to go straight to the
// next event rather than creep.
class CountingClock final : public Clock {
 public:
  Micros Now() override { return inner_.Now(); }
  void SleepFor(Micros duration) override {
    ++sleeps;
    inner_.SleepFor(duration);
  }
  int sleeps = 0;

 private:
  VirtualClock inner_;
};

// Opens COM1 on a link of its own clock at `baud`, with `flags` where given, and a read time-out
// of `read_ms`.
void OpenAt(SimulatedLink& link, PortHandle& port, std::uint32_t baud, std::uint32_t read_ms,
            std::optional<std::uint32_t> flags = std::nullopt) {
  ASSERT_TRUE(Succeeded(link.OpenPort("COM1", port)));
  DCB state;
  ASSERT_TRUE(link.GetLineState(port, state));
  state.BaudRate = baud;
  state.flags = flags.value_or(state.flags);
  ASSERT_TRUE(link.SetLineState(port, state));
  ASSERT_TRUE(link.SetTimeouts(port, tovrel::ReadTimeouts(0, 0, read_ms)));
}

TEST(SimulatedLink, WaitsSleepFromEventToEventOnly) {
  CountingClock clock;
  EmulatedDevice device;
  SimulatedLink link(clock, device);
  PortHandle port = INVALID_HANDLE_VALUE;
  ASSERT_NO_FATAL_FAILURE(OpenAt(link, port, 38400, 15000));
  std::uint32_t done = 0;
  const std::vector<std::uint8_t> inquiry = Bytes(kInquiry);
  ASSERT_TRUE(link.WriteBytes(port, inquiry.data(), 5, done));
  EXPECT_LE(clock.sleeps, 10);
  std::vector<std::uint8_t> reply(40);
  clock.sleeps = 0;
  ASSERT_TRUE(link.ReadBytes(port, reply.data(), 40, done));
  EXPECT_EQ(done, 28u);
  EXPECT_LE(clock.sleeps, 2 * 28 + 2);
}

TEST(SimulatedLink, RunsInRealTimeOnTheSystemClock) {
  SystemClock clock;
  EmulatedDevice device(AtSpeed(230400));
  SimulatedLink link(clock, device);
  PortHandle port = INVALID_HANDLE_VALUE;
  ASSERT_NO_FATAL_FAILURE(OpenAt(link, port, 230400, 1000, kDeviceFlags));
  const Clock::Micros start = clock.Now();
  std::uint32_t done = 0;
  const std::vector<std::uint8_t> inquiry = Bytes(kInquiry);
  ASSERT_TRUE(link.WriteBytes(port, inquiry.data(), 5, done));
  std::vector<std::uint8_t> reply(28);
  ASSERT_TRUE(link.ReadBytes(port, reply.data(), 28, done));
  EXPECT_EQ(Text(reply), kInquiryReply);
  EXPECT_GE(clock.Now() - start, 33 * ByteTimeMicros(230400));
  EXPECT_LT(clock.Now() - start, 500'000u);
}

}  // namespace
}  // namespace tovrel
