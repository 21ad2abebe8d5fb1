// The RFC 2217 client against a small server on 127.0.0.1. These run over real sockets, so the
// waits are real but brief: every time-out here is tens or a few hundreds of milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_rfc2217_server.h"
#include "rfc2217/line_state_mapping.h"
#include "rfc2217/socket_layer.h"
#include "serial/rfc2217/rfc2217_serial_api.h"
#include "serial/timeout_rules.h"
#include "serial/trace.h"
#include "tests/support/line_states.h"
#include "tests/support/settable_interruption.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using rfc2217::ComPortCommand;

constexpr std::uint32_t kShortMs = 250;  // negotiation, settle and reply bounds in these tests

rfc2217::ClientOptions QuickOptions() {
  rfc2217::ClientOptions options;
  options.connect_timeout_ms = 2000;
  options.negotiation_timeout_ms = kShortMs;
  options.settle_timeout_ms = kShortMs;
  options.reply_timeout_ms = kShortMs;
  options.unlimited_wait_cap_ms = 80;
  return options;
}

class Stopwatch {
 public:
  long long Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// "command:value bytes", for comparing what the server received.
std::string Describe(const rfc2217::ComPortMessage& message) {
  std::string text = std::to_string(static_cast<int>(message.command)) + ":";
  for (std::uint8_t byte : message.value) {
    text += " " + std::to_string(byte);
  }
  return text;
}

// Read time-outs over a write time-out of a second.
COMMTIMEOUTS ReadTimeouts(std::uint32_t interval, std::uint32_t multiplier,
                          std::uint32_t constant) {
  return tovrel::ReadTimeouts(interval, multiplier, constant, WriteTimeouts(0, 1000));
}

class Rfc2217ClientTest : public ::testing::Test {
 protected:
  void Open(FakeServerConfig config = FakeServerConfig(),
            const rfc2217::ClientOptions& options = QuickOptions()) {
    server_ = std::make_unique<FakeRfc2217Server>(std::move(config));
    api_ = std::make_unique<Rfc2217SerialApi>(options);
    ASSERT_TRUE(Succeeded(api_->OpenPort(server_->PortName().c_str(), handle_)));
    opening_messages_ = server_->ReceivedComPort().size();
  }

  void TearDown() override {
    if (api_ && handle_ != INVALID_HANDLE_VALUE) {
      (void)api_->ClosePort(handle_);  // a test that closed the port itself left it gone
    }
  }

  // COM-PORT-OPTION messages the server received after the open.
  std::vector<std::string> SinceOpen() {
    const auto all = server_->ReceivedComPort();
    std::vector<std::string> described;
    for (std::size_t i = opening_messages_; i < all.size(); ++i) {
      described.push_back(Describe(all[i]));
    }
    return described;
  }

  bool AwaitModemStatus(std::uint32_t expected) {
    Stopwatch watch;
    std::uint32_t status = 0;
    while (watch.Ms() < 2000) {
      if (api_->GetModemStatus(handle_, status) && status == expected) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  Bytes Read(std::uint32_t count, bool* ok = nullptr) {
    Bytes buffer(count);
    std::uint32_t got = 0;
    last_read_ = api_->ReadBytes(handle_, buffer.data(), count, got);
    if (ok != nullptr) {
      *ok = static_cast<bool>(last_read_);
    } else {
      EXPECT_TRUE(Succeeded(last_read_));
    }
    buffer.resize(got);
    return buffer;
  }

  std::unique_ptr<FakeRfc2217Server> server_;
  std::unique_ptr<Rfc2217SerialApi> api_;
  PortHandle handle_ = INVALID_HANDLE_VALUE;
  std::size_t opening_messages_ = 0;
  SysResult last_read_ = SysResult::Ok();  // of the last Read()
};

// --- Opening ---------------------------------------------------------------------------------

// Lines the client traces, in order.
class CollectedTrace final : public Trace {
 public:
  CollectedTrace() : Trace(true) {}
  std::vector<std::string> lines;

 protected:
  void Write(const std::string& line) override { lines.push_back(line); }
};

TEST_F(Rfc2217ClientTest, TracesTheNegotiationAndEachModemStateReport) {
  CollectedTrace trace;
  rfc2217::ClientOptions options = QuickOptions();
  options.trace = &trace;
  Open(FakeServerConfig(), options);
  server_->NotifyModemState(rfc2217::kModemDsr);
  ASSERT_TRUE(AwaitModemStatus(MS_DSR_ON));
  ASSERT_GE(trace.lines.size(), 3u);
  EXPECT_EQ(trace.lines.front().rfind("rfc2217: connected to 127.0.0.1:", 0), 0u);
  auto has = [&](const std::string& line) {
    return std::find(trace.lines.begin(), trace.lines.end(), line) != trace.lines.end();
  };
  EXPECT_TRUE(has("rfc2217: COM-PORT-OPTION agreed, binary from us agreed, binary to us agreed"));
  EXPECT_TRUE(has("rfc2217: modem state 0x30 (CTS on)"));
  EXPECT_EQ(trace.lines.back(), "rfc2217: modem state 0x20 (CTS off)");
}

TEST_F(Rfc2217ClientTest, OpenNegotiatesAndLearnsTheSettingsInForce) {
  Open();
  const auto negotiations = server_->ReceivedNegotiations();
  const std::vector<std::pair<telnet::Verb, std::uint8_t>> expected_start = {
      {telnet::Verb::kWill, telnet::kOptionComPort},
      {telnet::Verb::kWill, telnet::kOptionBinary},
      {telnet::Verb::kDo, telnet::kOptionBinary},
      {telnet::Verb::kWill, telnet::kOptionSuppressGoAhead},
      {telnet::Verb::kDo, telnet::kOptionSuppressGoAhead}};
  ASSERT_GE(negotiations.size(), expected_start.size());
  EXPECT_TRUE(std::equal(expected_start.begin(), expected_start.end(), negotiations.begin()));

  std::vector<std::string> opening;
  for (const auto& message : server_->ReceivedComPort()) {
    opening.push_back(Describe(message));
  }
  // Modem-state mask 0xFF, then value-0 questions about rate, size, parity, stop bits, flow.
  EXPECT_EQ(opening,
            (std::vector<std::string>{"11: 255", "1: 0 0 0 0", "2: 0", "3: 0", "4: 0", "5: 0"}));
  DCB state;
  ASSERT_TRUE(api_->GetLineState(handle_, state));
  EXPECT_EQ(FrameOf(state), FrameOf(Frame(19200, 7, EVENPARITY, TWOSTOPBITS,
                                          rfc2217::FlagsForFlow(rfc2217::kControlHardwareFlow))));
  std::uint32_t status = 0;
  ASSERT_TRUE(api_->GetModemStatus(handle_, status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);
}

TEST_F(Rfc2217ClientTest, OptionsTheClientDoesNotSupportAreRefused) {
  FakeServerConfig config;
  config.opening_negotiations = {{telnet::Verb::kDo, 24},
                                 {telnet::Verb::kWill, telnet::kOptionEcho}};
  Open(config);
  const auto negotiations = server_->ReceivedNegotiations();
  auto has = [&](telnet::Verb verb, std::uint8_t option) {
    return std::find(negotiations.begin(), negotiations.end(), std::make_pair(verb, option)) !=
           negotiations.end();
  };
  EXPECT_TRUE(has(telnet::Verb::kWont, 24));
  EXPECT_TRUE(has(telnet::Verb::kDont, telnet::kOptionEcho));
}

TEST_F(Rfc2217ClientTest, RefusedConnectionFailsTheOpen) {
  std::uint16_t port = 0;
  {
    net::SocketLibrary library;
    std::uint32_t error = 0;
    net::Socket listener = net::ListenOnLoopback(port, error);
    ASSERT_TRUE(listener.IsOpen());
  }  // closed: nothing listens there now
  Rfc2217SerialApi api(QuickOptions());
  const std::string name = "rfc2217://127.0.0.1:" + std::to_string(port);
  EXPECT_TRUE(OpenFailsWith(api, name.c_str(), static_cast<std::uint32_t>(ECONNREFUSED)));
}

TEST_F(Rfc2217ClientTest, SilentServerFailsTheOpenWithinTheNegotiationBound) {
  FakeServerConfig config;
  config.behaviour = ServerBehaviour::kSilent;
  FakeRfc2217Server server(config);
  Rfc2217SerialApi api(QuickOptions());
  Stopwatch watch;
  EXPECT_TRUE(OpenFailsWith(api, server.PortName().c_str(), static_cast<std::uint32_t>(ETIMEDOUT)));
  EXPECT_GE(watch.Ms(), kShortMs - 10);
  EXPECT_LT(watch.Ms(), 2000);
}

TEST_F(Rfc2217ClientTest, ServerRefusingComPortOptionFailsTheOpen) {
  FakeServerConfig config;
  config.behaviour = ServerBehaviour::kRefuseComPort;
  FakeRfc2217Server server(config);
  Rfc2217SerialApi api(QuickOptions());
  Stopwatch watch;
  EXPECT_TRUE(
      OpenFailsWith(api, server.PortName().c_str(), static_cast<std::uint32_t>(EPROTONOSUPPORT)));
  EXPECT_LT(watch.Ms(), static_cast<long long>(kShortMs));
}

TEST(Rfc2217Api, BadNamesAndUnknownHandlesFail) {
  Rfc2217SerialApi api(QuickOptions());
  for (const char* name : {"COM2", "rfc2217://host", "rfc2217://host:0", "rfc2217://:1"}) {
    EXPECT_TRUE(OpenFailsWith(api, name, static_cast<std::uint32_t>(EINVAL))) << name;
  }
  std::uint8_t byte = 0;
  std::uint32_t count = 0;
  EXPECT_TRUE(FailedWith(api.ReadBytes(42, &byte, 1, count), static_cast<std::uint32_t>(EBADF)));
  EXPECT_FALSE(api.ClosePort(42));
  // A failure belongs to the call that failed: one on another thread has its own.
  SysResult other_thread = SysResult::Ok();
  std::thread([&] { other_thread = api.SetupQueues(43, 1024, 256); }).join();
  EXPECT_TRUE(FailedWith(other_thread, static_cast<std::uint32_t>(EBADF)));
}

// --- Line state ------------------------------------------------------------------------------

TEST_F(Rfc2217ClientTest, LineStateIsSentAcknowledgedAndReadBack) {
  Open();
  DCB wanted = DeviceLineState(115200);
  wanted.XonLim = 7;  // kept locally
  ASSERT_TRUE(Succeeded(api_->SetLineState(handle_, wanted)));
  // Rate, data size, parity none, one stop bit, flow control off and then hardware both ways,
  // DTR off, RTS raised for the handshake.
  EXPECT_EQ(SinceOpen(), (std::vector<std::string>{"1: 0 1 194 0", "2: 8", "3: 1", "4: 1", "5: 1",
                                                   "5: 3", "5: 16", "5: 9", "5: 11"}));
  DCB in_force;
  ASSERT_TRUE(api_->GetLineState(handle_, in_force));
  EXPECT_EQ(FrameOf(in_force), FrameOf(Frame(115200, 8, NOPARITY, ONESTOPBIT, 0x2804u)));
  EXPECT_EQ(in_force.XonLim, 7);

  // The first configuration of a port: XON/XOFF, DTR and RTS off.
  DCB first = wanted;
  first.BaudRate = 38400;
  first.flags = 0x0381;
  ASSERT_TRUE(api_->SetLineState(handle_, first));
  const auto sent = SinceOpen();
  EXPECT_EQ(std::vector<std::string>(sent.begin() + 9, sent.end()),
            (std::vector<std::string>{"1: 0 0 150 0", "2: 8", "3: 1", "4: 1", "5: 1", "5: 2",
                                      "5: 15", "5: 9", "5: 12"}));
}

TEST_F(Rfc2217ClientTest, ContradictingAcknowledgementFailsAndShowsWhatIsInForce) {
  FakeServerConfig config;
  config.forced_baud_answer = 9600;
  Open(config);
  EXPECT_TRUE(FailedWith(api_->SetLineState(handle_, DeviceLineState(115200)),
                         static_cast<std::uint32_t>(EINVAL)));
  DCB in_force;
  ASSERT_TRUE(api_->GetLineState(handle_, in_force));
  EXPECT_EQ(in_force.BaudRate, 9600u);
}

TEST_F(Rfc2217ClientTest, MissingAcknowledgementFailsWithinTheReplyBound) {
  FakeServerConfig config;
  config.behaviour = ServerBehaviour::kNoAcks;
  Open(config);  // a server that answers no question still opens, with default settings
  DCB state;
  ASSERT_TRUE(api_->GetLineState(handle_, state));
  EXPECT_EQ(state.BaudRate, 9600u);
  std::uint32_t status = 0xFF;
  ASSERT_TRUE(api_->GetModemStatus(handle_, status));
  EXPECT_EQ(status, 0u);

  Stopwatch watch;
  EXPECT_TRUE(FailedWith(api_->SetLineState(handle_, DeviceLineState(115200)),
                         static_cast<std::uint32_t>(ETIMEDOUT)));
  EXPECT_GE(watch.Ms(), kShortMs - 10);
  EXPECT_LT(watch.Ms(), 2000);

  // A server that leaves a request unanswered is gone: what follows fails at once.
  Stopwatch after;
  const Bytes piece(16, 0x55);
  std::uint32_t written = 0;
  EXPECT_FALSE(api_->Purge(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_FALSE(api_->WriteBytes(handle_, piece.data(), 16, written));
  EXPECT_TRUE(
      FailedWith(api_->GetModemStatus(handle_, status), static_cast<std::uint32_t>(ETIMEDOUT)));
  EXPECT_LT(after.Ms(), 50);
}

TEST_F(Rfc2217ClientTest, LineStateTheProtocolCannotCarryIsRefusedUnsent) {
  Open();
  DCB toggle = DeviceLineState(9600);
  toggle.flags = RTS_CONTROL_TOGGLE << kDcbRtsControlShift;
  EXPECT_TRUE(FailedWith(api_->SetLineState(handle_, toggle), static_cast<std::uint32_t>(EINVAL)));
  ASSERT_TRUE(api_->ClearDtr(handle_));
  EXPECT_EQ(SinceOpen(), std::vector<std::string>{"5: 9"});
}

// --- Modem lines -----------------------------------------------------------------------------

TEST_F(Rfc2217ClientTest, CtsChangesArriveAsModemStateNotifications) {
  Open();
  server_->NotifyModemState(rfc2217::kModemDsr | rfc2217::kModemDeltaCts);
  EXPECT_TRUE(AwaitModemStatus(MS_DSR_ON));
  server_->NotifyModemState(rfc2217::kModemCts | rfc2217::kModemDeltaCts);
  EXPECT_TRUE(AwaitModemStatus(MS_CTS_ON));
  server_->NotifyModemState(0xFF);
  EXPECT_TRUE(AwaitModemStatus(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
}

// --- Reading and writing ---------------------------------------------------------------------

TEST_F(Rfc2217ClientTest, ReadTimeOutReturnsAShortCount) {
  Open();
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 60)));
  server_->SendData({'a', 'b', 'c'});
  ASSERT_TRUE(server_->WaitForOrders(1000));
  Stopwatch watch;
  EXPECT_EQ(Read(10), (Bytes{'a', 'b', 'c'}));
  EXPECT_GE(watch.Ms(), 55);
  EXPECT_LT(watch.Ms(), 1000);
}

TEST_F(Rfc2217ClientTest, IntervalTimeOutEndsAReadSoonAfterTheLastByte) {
  Open();
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(20, 0, 5000)));
  server_->SendData({'x', 'y'});
  Stopwatch watch;
  EXPECT_EQ(Read(10), (Bytes{'x', 'y'}));
  EXPECT_LT(watch.Ms(), 1000);
}

TEST_F(Rfc2217ClientTest, SpecialReadTimeOutsAndTheCapOnNoLimit) {
  Open();
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(kMaxDword, 0, 0)));
  Stopwatch at_once;
  EXPECT_TRUE(Read(4).empty());
  EXPECT_LT(at_once.Ms(), 50);

  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 0)));  // capped at 80 ms here
  Stopwatch capped;
  EXPECT_TRUE(Read(4).empty());
  EXPECT_GE(capped.Ms(), 75);
  EXPECT_LT(capped.Ms(), 1000);

  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(kMaxDword, kMaxDword, 2000)));
  server_->SendData({'q'});
  Stopwatch first_byte;
  EXPECT_EQ(Read(4), Bytes{'q'});
  EXPECT_LT(first_byte.Ms(), 1000);
}

TEST_F(Rfc2217ClientTest, IacIsDoubledBothWaysEvenWhenSplitAcrossPackets) {
  Open();
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 500)));
  const Bytes out{0xFF, 0x00, 0x41, 0xFF, 0xFF};
  std::uint32_t written = 0;
  ASSERT_TRUE(
      api_->WriteBytes(handle_, out.data(), static_cast<std::uint32_t>(out.size()), written));
  EXPECT_EQ(written, out.size());
  EXPECT_TRUE(server_->WaitUntil([&] { return server_->DataCountLocked() >= out.size(); }, 1000));
  EXPECT_EQ(server_->ReceivedData(), out);

  // A doubled IAC split between two packets, then a sub-negotiation split as well.
  server_->SendWire({0x41, telnet::kIac});
  ASSERT_TRUE(server_->WaitForOrders(1000));
  server_->SendWire({telnet::kIac, 0x00, telnet::kIac, telnet::kSb, telnet::kOptionComPort});
  server_->SendWire({107, 0x30, telnet::kIac, telnet::kSe, 0x42});
  EXPECT_EQ(Read(4), (Bytes{0x41, 0xFF, 0x00, 0x42}));
  EXPECT_TRUE(AwaitModemStatus(MS_CTS_ON | MS_DSR_ON));
}

TEST_F(Rfc2217ClientTest, NulBytesAreDroppedWhenTheLineStateSaysSo) {
  Open();
  ASSERT_TRUE(api_->SetLineState(handle_, DeviceLineState(115200)));  // fNull set
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 300)));
  server_->SendData({0x00, 'O', 0x00, 0x00, 'K', 0x00});
  Stopwatch watch;
  EXPECT_EQ(Read(2), (Bytes{'O', 'K'}));
  EXPECT_LT(watch.Ms(), 250);
}

TEST_F(Rfc2217ClientTest, ReceivedDataIsDeliveredBeforeTheClosureIsReported) {
  Open();
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 20000)));
  server_->SendData({'h', 'i'});
  server_->CloseConnection();
  ASSERT_TRUE(server_->WaitForOrders(1000));
  EXPECT_EQ(Read(2), (Bytes{'h', 'i'}));
  Stopwatch watch;
  bool ok = true;
  EXPECT_TRUE(Read(1, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(FailedWith(last_read_, static_cast<std::uint32_t>(ECONNRESET)));
  EXPECT_LT(watch.Ms(), 2000);
}

TEST_F(Rfc2217ClientTest, ServerClosingMidRunFailsEveryOperationWithoutHanging) {
  Open();
  ASSERT_TRUE(
      api_->SetTimeouts(handle_, tovrel::ReadTimeouts(0, 0, 20000, WriteTimeouts(0, 20000))));
  server_->CloseConnection();
  ASSERT_TRUE(server_->WaitForOrders(1000));
  Stopwatch watch;
  const Bytes out{'x', 'y'};
  std::uint32_t written = 0;
  EXPECT_TRUE(FailedWith(api_->WriteBytes(handle_, out.data(), 2, written),
                         static_cast<std::uint32_t>(ECONNRESET)));
  bool ok = true;
  Read(1, &ok);
  EXPECT_FALSE(ok);
  std::uint32_t status = 0;
  EXPECT_FALSE(api_->GetModemStatus(handle_, status));
  EXPECT_FALSE(api_->SetLineState(handle_, DeviceLineState(9600)));
  EXPECT_FALSE(api_->Purge(handle_, 0x0F));
  EXPECT_TRUE(FailedWith(api_->Drain(handle_), static_cast<std::uint32_t>(ECONNRESET)));
  EXPECT_LT(watch.Ms(), 2000);
  EXPECT_TRUE(api_->ClosePort(handle_));
  handle_ = INVALID_HANDLE_VALUE;
}

TEST_F(Rfc2217ClientTest, FlowControlSuspendHoldsWritesUntilResumed) {
  Open();
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 60)));
  server_->SuspendFlow();
  ASSERT_TRUE(server_->WaitForOrders(1000));
  const Bytes out{'d', 'a', 't', 'a'};
  std::uint32_t written = 99;
  Stopwatch watch;
  ASSERT_TRUE(api_->WriteBytes(handle_, out.data(), 4, written));
  EXPECT_EQ(written, 0u);
  EXPECT_GE(watch.Ms(), 55);
  server_->ResumeFlow();
  ASSERT_TRUE(server_->WaitForOrders(1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(api_->WriteBytes(handle_, out.data(), 4, written));
  EXPECT_EQ(written, 4u);
  ASSERT_TRUE(api_->Drain(handle_));
  EXPECT_TRUE(server_->WaitUntil([&] { return server_->DataCountLocked() >= 4; }, 1000));
  EXPECT_EQ(server_->ReceivedData(), out);
}

// A write that cannot go out within its time-out returns short; the bytes it reports are
// exactly those the server receives, even when the cut falls inside a doubled 0xFF.
TEST_F(Rfc2217ClientTest, ShortWriteCountsOnlyWhatLeftAndKeepsTheStreamWhole) {
  // Megabytes wait in the sockets ahead of the question behind the big write: the server needs
  // more than the short reply bound to read through them before it can answer.
  rfc2217::ClientOptions options = QuickOptions();
  options.reply_timeout_ms = 10000;
  Open(FakeServerConfig(), options);
  // A rate at which the far line takes no time, so that the socket is what holds the data.
  ASSERT_TRUE(api_->SetLineState(handle_, DeviceLineState(2000000000)));
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 100)));
  server_->PauseReading(true);
  ASSERT_TRUE(server_->WaitForOrders(1000));
  // More than the socket buffers on both ends can hold while the server does not read.
  Bytes big(16u << 20);
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = i % 3 == 0 ? std::uint8_t{0x41} : std::uint8_t{0xFF};
  }
  std::uint32_t written = 0;
  Stopwatch watch;
  ASSERT_TRUE(
      api_->WriteBytes(handle_, big.data(), static_cast<std::uint32_t>(big.size()), written));
  EXPECT_GE(watch.Ms(), 95);
  ASSERT_GT(written, 0u);
  ASSERT_LT(written, big.size());

  server_->PauseReading(false);
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 5000)));
  const Bytes tail{'E', 'N', 'D'};
  std::uint32_t tail_written = 0;
  ASSERT_TRUE(api_->WriteBytes(handle_, tail.data(), 3, tail_written));
  EXPECT_EQ(tail_written, 3u);
  // The server gets a prefix of the big write, at least what was counted, and then the tail:
  // bytes not started were withdrawn, none were lost in the middle.
  Bytes received;
  for (Stopwatch arriving; arriving.Ms() < 5000;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    received = server_->ReceivedData();
    if (received.size() >= std::size_t{written} + 3 &&
        std::equal(tail.begin(), tail.end(), received.end() - 3)) {
      break;
    }
  }
  ASSERT_GE(received.size(), std::size_t{written} + 3);
  const std::size_t prefix = received.size() - 3;
  EXPECT_TRUE(std::equal(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(prefix),
                         big.begin()));
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), received.end() - 3));
}

TEST_F(Rfc2217ClientTest, WritesWaitForTheFarLineAndCountOnlyWhatLeftIt) {
  Open();
  server_->NotifyModemState(rfc2217::kModemCts);
  ASSERT_TRUE(AwaitModemStatus(MS_CTS_ON));
  ASSERT_TRUE(api_->SetLineState(handle_, DeviceLineState(9600)));
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 2000)));
  const Bytes piece(96, 0x55);  // 100 ms at 9600 baud
  std::uint32_t written = 0;

  Stopwatch flowing;
  ASSERT_TRUE(api_->WriteBytes(handle_, piece.data(), 96, written));
  EXPECT_EQ(written, 96u);
  EXPECT_GE(flowing.Ms(), 90);
  EXPECT_LT(flowing.Ms(), 400);
  Stopwatch drained;
  ASSERT_TRUE(api_->Drain(handle_));  // nothing left under way
  EXPECT_LT(drained.Ms(), 20);

  // The far UART is held before the write and freed 300 ms later: the write waits it out.
  server_->NotifyModemState(0);
  ASSERT_TRUE(AwaitModemStatus(0));
  std::thread release([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server_->NotifyModemState(rfc2217::kModemCts);
  });
  Stopwatch held;
  ASSERT_TRUE(api_->WriteBytes(handle_, piece.data(), 96, written));
  release.join();
  EXPECT_EQ(written, 96u);
  EXPECT_GE(held.Ms(), 390);
  EXPECT_LT(held.Ms(), 1000);

  // Held for good: the write time-out ends it with nothing counted, and a drain gives up too.
  server_->NotifyModemState(0);
  ASSERT_TRUE(AwaitModemStatus(0));
  Stopwatch stuck;
  ASSERT_TRUE(api_->WriteBytes(handle_, piece.data(), 96, written));
  EXPECT_EQ(written, 0u);
  EXPECT_GE(stuck.Ms(), 1900);
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 100)));
  EXPECT_TRUE(FailedWith(api_->Drain(handle_), static_cast<std::uint32_t>(ETIMEDOUT)));
}

// A device that holds CTS off is not a server that has gone: while the server answers, the
// device port's waits run their full length, many reply time-outs long, and the connection
// stays.
TEST_F(Rfc2217ClientTest, CtsHeldOffWhileTheServerAnswersKeepsTheFullWaits) {
  Open();
  ASSERT_TRUE(api_->SetLineState(handle_, DeviceLineState(9600)));
  server_->NotifyModemState(0);
  ASSERT_TRUE(AwaitModemStatus(0));
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 4 * kShortMs)));

  // The wait for CTS before a command: the lines are looked at for three reply time-outs.
  std::uint32_t status = MS_CTS_ON;
  for (Stopwatch looking; looking.Ms() < 3 * kShortMs;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    ASSERT_TRUE(api_->GetModemStatus(handle_, status));
    ASSERT_EQ(status, 0u);
  }
  // A transaction on the held line: the purge is answered; the write waits out its time-out.
  ASSERT_TRUE(api_->Purge(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR));
  const Bytes piece(16, 0x55);
  std::uint32_t written = 99;
  Stopwatch held;
  ASSERT_TRUE(api_->WriteBytes(handle_, piece.data(), 16, written));
  EXPECT_EQ(written, 0u);
  EXPECT_GE(held.Ms(), 4 * kShortMs - 10);

  // Still connected: settings are answered, and once CTS is back the writes go.
  ASSERT_TRUE(api_->SetLineState(handle_, DeviceLineState(9600)));
  server_->NotifyModemState(rfc2217::kModemCts);
  ASSERT_TRUE(AwaitModemStatus(MS_CTS_ON));
  ASSERT_TRUE(api_->WriteBytes(handle_, piece.data(), 16, written));
  EXPECT_EQ(written, 16u);
  ASSERT_TRUE(api_->Drain(handle_));
  EXPECT_TRUE(server_->WaitUntil([&] { return server_->DataCountLocked() >= 32; }, 1000));
}

// --- Purge -----------------------------------------------------------------------------------

TEST_F(Rfc2217ClientTest, PurgeDropsReceivedDataAndWhatWasInFlight) {
  FakeServerConfig config;
  config.data_before_purge_ack = {'s', 't', 'a', 'l', 'e'};
  config.data_after_purge_ack = {'n', 'e', 'w'};
  Open(config);
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 300)));
  server_->SendData({'o', 'l', 'd'});
  ASSERT_TRUE(server_->WaitForOrders(1000));
  ASSERT_TRUE(api_->Purge(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_EQ(SinceOpen(), std::vector<std::string>{"12: 3"});
  EXPECT_EQ(Read(3), (Bytes{'n', 'e', 'w'}));
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 30)));
  EXPECT_TRUE(Read(10).empty());
}

TEST_F(Rfc2217ClientTest, PurgeFlagsChooseWhatTheServerDiscards) {
  Open();
  struct Case {
    std::uint32_t flags;
    const char* sent;  // nullptr: nothing is sent
  };
  // A transmit clear stays local: after a drain it would only cut off what the server has not
  // sent yet. An abort (as on close) does reach the server.
  const Case cases[] = {{PURGE_TXCLEAR | PURGE_RXCLEAR, "12: 1"},
                        {PURGE_RXCLEAR, "12: 1"},
                        {PURGE_RXABORT, "12: 1"},
                        {PURGE_TXCLEAR, nullptr},
                        {PURGE_TXABORT, "12: 2"},
                        {PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR, "12: 3"},
                        {0, nullptr}};
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    ASSERT_TRUE(api_->Purge(handle_, c.flags)) << c.flags;
    if (c.sent != nullptr) {
      expected.emplace_back(c.sent);
    }
  }
  EXPECT_EQ(SinceOpen(), expected);
}

// --- Stop requests ---------------------------------------------------------------------------

rfc2217::ClientOptions StoppableBy(SettableInterruption& stop) {
  rfc2217::ClientOptions options = QuickOptions();
  options.negotiation_timeout_ms = 5000;
  options.interruption = &stop;
  return options;
}

TEST_F(Rfc2217ClientTest, StopEndsTheOpenWhileTheServerSaysNothing) {
  FakeServerConfig config;
  config.behaviour = ServerBehaviour::kSilent;
  FakeRfc2217Server server(config);
  SettableInterruption stop;
  Rfc2217SerialApi api(StoppableBy(stop));
  stop.RaiseAfter(50);
  Stopwatch watch;
  EXPECT_TRUE(OpenFailsWith(api, server.PortName().c_str(), static_cast<std::uint32_t>(EINTR)));
  EXPECT_LT(watch.Ms(), 1000);
}

// A read ends soon after the stop, with what came; the requests that release the port are
// still made and acknowledged.
TEST_F(Rfc2217ClientTest, StopEndsAWaitingReadButNotTheRelease) {
  SettableInterruption stop;
  Open(FakeServerConfig(), StoppableBy(stop));
  ASSERT_TRUE(api_->SetTimeouts(handle_, ReadTimeouts(0, 0, 5000)));
  server_->SendData({'a', 'b'});
  ASSERT_TRUE(server_->WaitForOrders(1000));
  stop.RaiseAfter(50);
  bool ok = true;
  Stopwatch watch;
  EXPECT_EQ(Read(7, &ok), (Bytes{'a', 'b'}));
  EXPECT_FALSE(ok);
  EXPECT_TRUE(FailedWith(last_read_, static_cast<std::uint32_t>(EINTR)));
  EXPECT_LT(watch.Ms(), 1000);
  EXPECT_TRUE(api_->ClearDtr(handle_));
  EXPECT_TRUE(api_->Purge(handle_, 0x0F));
}

TEST_F(Rfc2217ClientTest, StopWhileTheServerHoldsAWriteBackSendsNoneOfIt) {
  SettableInterruption stop;
  Open(FakeServerConfig(), StoppableBy(stop));
  ASSERT_TRUE(api_->SetTimeouts(handle_, WriteTimeouts(0, 5000)));
  server_->SuspendFlow();
  ASSERT_TRUE(server_->WaitForOrders(1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop.RaiseAfter(50);
  const Bytes out{'d', 'a', 't', 'a'};
  std::uint32_t written = 99;
  Stopwatch watch;
  EXPECT_TRUE(FailedWith(api_->WriteBytes(handle_, out.data(), 4, written),
                         static_cast<std::uint32_t>(EINTR)));
  EXPECT_EQ(written, 0u);
  EXPECT_LT(watch.Ms(), 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(server_->ReceivedData().empty());
}

}  // namespace
}  // namespace tovrel::testing
