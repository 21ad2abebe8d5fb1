// The RFC 2217 client and a conforming server a round trip away, on a virtual clock: the server
// answers every request as it arrives (the value in force, the purge echoed) and its answers
// take the way back, until, in some cases, it stops answering for good. The image pieces of a
// transfer must cost their line time and no round trip; what the client then says reached the
// device must be what the server had.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "serial/rfc2217/client_connection.h"
#include "tests/support/scripted_peer.h"

namespace tovrel::testing {
namespace {

using rfc2217::ComPortCommand;
using rfc2217::ComPortRole;

constexpr Clock::Micros kMs = 1000;
constexpr Clock::Micros kPieceMicros = 33334;  // 128 bytes at 38400 baud, rounded up

class DistantServer final : private telnet::DecoderSink {
  VirtualClock& clock_;  // first: the peer below runs on it
  Clock::Micros one_way_;
  telnet::Decoder decoder_;
  Clock::Micros last_due_ = 0;

 public:
  DistantServer(VirtualClock& clock, Clock::Micros one_way) : clock_(clock), one_way_(one_way) {
    peer.on_sent = [this](const std::uint8_t* bytes, std::size_t count) {
      decoder_.Feed(bytes, count, *this);
    };
  }

  ScriptedPeer peer{clock_};
  Clock::Micros stops_answering_at = ~Clock::Micros{0};
  std::size_t data_bytes = 0;                  // data received, as it arrives
  std::size_t data_when_it_stopped = 0;        // of which before it stopped
  std::vector<std::uint8_t> data_after_purge;  // the device's reply, sent after a purge's answer

  // `wire` reaches the client `delay` from now, behind whatever is already on its way.
  void Send(const std::vector<std::uint8_t>& wire, Clock::Micros delay) {
    const Clock::Micros due = std::max(clock_.Now() + delay, last_due_);
    peer.Deliver(wire, 1, due - std::max(clock_.Now(), last_due_));
    last_due_ = due;
  }

 private:
  void Answer(const std::vector<std::uint8_t>& wire) {
    // Sent when the request arrives, there one way after the client sent it.
    if (clock_.Now() + one_way_ < stops_answering_at) {
      Send(wire, 2 * one_way_);
    }
  }
  void OnData(const std::uint8_t*, std::size_t count) override {
    data_bytes += count;
    if (clock_.Now() + one_way_ < stops_answering_at) {
      data_when_it_stopped = data_bytes;
    }
  }
  void OnNegotiation(telnet::Verb verb, std::uint8_t option) override {
    std::vector<std::uint8_t> wire;
    telnet::AppendNegotiation(
        wire, verb == telnet::Verb::kWill ? telnet::Verb::kDo : telnet::Verb::kWill, option);
    Answer(wire);
  }
  void OnSubnegotiation(std::uint8_t, const std::uint8_t* payload, std::size_t length) override {
    rfc2217::ComPortMessage request;
    ASSERT_TRUE(rfc2217::ParseComPort(payload, length, request));
    std::vector<std::uint8_t> wire;
    std::vector<std::uint8_t> value = request.value;
    if (request.command == ComPortCommand::kSetDataSize && request.Byte() == 0) {
      value = {8};
    } else if (request.command == ComPortCommand::kSetControl && request.Byte() == 0) {
      value = {rfc2217::kControlHardwareFlow};
    } else if (request.command == ComPortCommand::kSetBaudRate) {
      value = {0, 0, 0x96, 0};  // 38400
    }
    rfc2217::AppendComPort(wire, ComPortRole::kServer, request.command, value.data(), value.size());
    if (request.command == ComPortCommand::kSetModemStateMask) {
      rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kNotifyModemState,
                                 rfc2217::kModemCts);
    }
    Answer(wire);
    if (request.command == ComPortCommand::kPurgeData && !data_after_purge.empty()) {
      Send(data_after_purge, 2 * one_way_);
    }
  }
};

struct DistanceCase {
  const char* name;
  Clock::Micros one_way;
  int answered_pieces;  // the server stops answering after this many; -1: never
};

void PrintTo(const DistanceCase& c, std::ostream* os) {
  *os << c.name;
}

class DistantServerTest : public ::testing::TestWithParam<DistanceCase> {};

TEST_P(DistantServerTest, PiecesTakeTheirLineTimeAndCountOnlyWhatTheServerHad) {
  const DistanceCase& c = GetParam();
  VirtualClock clock;
  DistantServer server(clock, c.one_way);
  rfc2217::ClientOptions options;
  rfc2217::ClientConnection connection(options, clock);
  ASSERT_TRUE(connection.OpenOver(std::make_unique<BorrowedStream>(server.peer)));
  COMMTIMEOUTS timeouts;
  timeouts.WriteTotalTimeoutConstant = 10000;
  timeouts.WriteTotalTimeoutMultiplier = 200;
  connection.SetTimeouts(timeouts);

  const std::vector<std::uint8_t> piece(128, 0x5A);
  std::uint64_t written = 0;
  Clock::Micros failed_at = 0;
  for (int i = 0; i < 64; ++i) {
    if (i == c.answered_pieces) {
      server.stops_answering_at = clock.Now();
    }
    const Clock::Micros start = clock.Now();
    std::uint32_t sent = 0;
    connection.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (!connection.Write(piece.data(), 128, sent) || sent != 128) {
      failed_at = clock.Now();
      break;
    }
    ++written;
    // Within the window of unconfirmed writes, a piece costs its line time whatever the delay.
    if (i < 16) {
      EXPECT_GE(clock.Now() - start, kPieceMicros - 1) << i;
      EXPECT_LE(clock.Now() - start, kPieceMicros + 200) << i;
    }
  }
  std::uint64_t unconfirmed = 0;
  const bool known = connection.ConfirmOutput(unconfirmed);
  if (c.answered_pieces < 0) {
    EXPECT_EQ(written, 64u);
    EXPECT_TRUE(known);
    EXPECT_EQ(unconfirmed, 0u);
    return;
  }
  // Gone once a request is unanswered for the reply time-out, the window having filled.
  EXPECT_FALSE(known);
  EXPECT_EQ(connection.Error(), static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_LE(failed_at - server.stops_answering_at, (options.reply_timeout_ms + 100) * kMs);
  EXPECT_EQ(written * 128 - unconfirmed, server.data_when_it_stopped / 128 * 128);
}

INSTANTIATE_TEST_SUITE_P(Distances, DistantServerTest,
                         ::testing::Values(DistanceCase{"Near", 0, -1},
                                           DistanceCase{"RoundTrip150Ms", 75 * kMs, -1},
                                           DistanceCase{"StopsAnsweringNear", 0, 20},
                                           DistanceCase{"StopsAnsweringFar", 75 * kMs, 20}),
                         [](const ::testing::TestParamInfo<DistanceCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// What arrives between a receive purge and its acknowledgement was sent before the purge: the
// read after the command takes only what follows.
TEST(DistantServer, AReadAfterAPurgeWaitsForItsAcknowledgement) {
  VirtualClock clock;
  DistantServer server(clock, 20 * kMs);
  rfc2217::ClientOptions options;
  rfc2217::ClientConnection connection(options, clock);
  ASSERT_TRUE(connection.OpenOver(std::make_unique<BorrowedStream>(server.peer)));
  COMMTIMEOUTS timeouts;
  timeouts.ReadTotalTimeoutConstant = 1000;
  connection.SetTimeouts(timeouts);
  server.data_after_purge = {'n', 'e', 'w'};
  const Clock::Micros start = clock.Now();
  ASSERT_TRUE(connection.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_EQ(clock.Now(), start);          // nothing waited for
  server.Send({'o', 'l', 'd'}, 5 * kMs);  // on its way before the purge got there
  std::vector<std::uint8_t> reply(3);
  std::uint32_t got = 0;
  ASSERT_TRUE(connection.Read(reply.data(), 3, got));
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + got), "new");
}

}  // namespace
}  // namespace tovrel::testing
