// The RFC 2217 client and a server a round trip away that echoes every request, on a virtual
// clock: pieces cost their line time and no round trip, and what reached the device is what the
// server had when it stopped answering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "serial/rfc2217/client_connection.h"
#include "tests/support/case_name.h"
#include "tests/support/line_states.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel::testing {
namespace {

constexpr Clock::Micros kMs = 1000;
constexpr Clock::Micros kPieceMicros = 133333;  // 128 bytes at 9600 baud, the rate it reports

class DistantServer final : private telnet::DecoderSink {
  VirtualClock& clock_;  // first: the peer runs on it
  Clock::Micros one_way_;
  telnet::Decoder decoder_;
  Clock::Micros last_due_ = 0;

 public:
  DistantServer(VirtualClock& clock, Clock::Micros one_way) : clock_(clock), one_way_(one_way) {
    peer.on_sent = [this](const std::uint8_t* bytes, std::size_t count) {
      decoder_.Feed(bytes, count, *this);
    };
  }
  // `wire` reaches the client `delay` from now, behind whatever is already on its way.
  void Send(const std::vector<std::uint8_t>& wire, Clock::Micros delay) {
    const Clock::Micros due = std::max(clock_.Now() + delay, last_due_);
    peer.Deliver(wire, 1, due - std::max(clock_.Now(), last_due_));
    last_due_ = due;
  }

  ScriptedPeer peer{clock_};
  Clock::Micros stops_answering_at = ~Clock::Micros{0};
  std::size_t data_answered = 0;               // data that arrived while it still answered
  std::vector<std::uint8_t> data_after_purge;  // the device's reply, behind a purge's answer

 private:
  bool Answering() const { return clock_.Now() + one_way_ < stops_answering_at; }
  void OnData(const std::uint8_t*, std::size_t count) override {
    data_answered += Answering() ? count : 0;
  }
  void OnNegotiation(telnet::Verb verb, std::uint8_t option) override {
    std::vector<std::uint8_t> wire;
    telnet::AppendNegotiation(
        wire, verb == telnet::Verb::kWill ? telnet::Verb::kDo : telnet::Verb::kWill, option);
    Send(wire, 2 * one_way_);
  }
  void OnSubnegotiation(std::uint8_t, const std::uint8_t* payload, std::size_t length) override {
    rfc2217::ComPortMessage request;
    ASSERT_TRUE(rfc2217::ParseComPort(payload, length, request));
    std::vector<std::uint8_t> wire;
    rfc2217::AppendComPort(wire, rfc2217::ComPortRole::kServer, request.command,
                           request.value.data(), request.value.size());
    if (Answering()) {
      Send(wire, 2 * one_way_);
    }
    if (request.command == rfc2217::ComPortCommand::kPurgeData && !data_after_purge.empty()) {
      Send(data_after_purge, 2 * one_way_);
    }
  }
};

struct DistanceCase {
  const char* name;
  Clock::Micros one_way;
  int answered_pieces;  // the server stops answering after this many; -1: never
};

class DistantServerTest : public ::testing::TestWithParam<DistanceCase> {
 protected:
  void Open(Clock::Micros one_way) {
    server_ = std::make_unique<DistantServer>(clock_, one_way);
    ASSERT_TRUE(connection_.OpenOver(std::make_unique<BorrowedStream>(server_->peer)));
    connection_.SetTimeouts(ReadTimeouts(0, 0, 1000, WriteTimeouts(200, 10000)));
  }

  VirtualClock clock_;
  std::unique_ptr<DistantServer> server_;
  rfc2217::ClientOptions options_;
  rfc2217::ClientConnection connection_{options_, clock_};
};

TEST_P(DistantServerTest, PiecesTakeTheirLineTimeAndCountOnlyWhatTheServerHad) {
  const DistanceCase& c = GetParam();
  Open(c.one_way);
  const std::vector<std::uint8_t> piece(128, 0x5A);
  std::uint64_t written = 0;
  for (int i = 0; i < 32; ++i) {
    if (i == c.answered_pieces) {
      server_->stops_answering_at = clock_.Now();
    }
    const Clock::Micros start = clock_.Now();
    std::uint32_t sent = 0;
    ASSERT_TRUE(connection_.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR));
    const SysResult wrote = connection_.Write(piece.data(), 128, sent);
    if (!wrote || sent != 128) {
      // Gone once a request is unanswered for the reply time-out, the window having filled.
      EXPECT_TRUE(FailedWith(wrote, static_cast<std::uint32_t>(ETIMEDOUT)));
      EXPECT_LE(clock_.Now() - server_->stops_answering_at, (options_.reply_timeout_ms + 1) * kMs);
      break;
    }
    written += 128;
    EXPECT_EQ(clock_.Now() - start, kPieceMicros) << i;  // whatever the delay
  }
  std::uint64_t unconfirmed = 0;
  EXPECT_EQ(static_cast<bool>(connection_.ConfirmOutput(unconfirmed)), c.answered_pieces < 0);
  EXPECT_EQ(written - unconfirmed, c.answered_pieces < 0 ? 32 * 128u : server_->data_answered);
}

INSTANTIATE_TEST_SUITE_P(Distances, DistantServerTest,
                         ::testing::Values(DistanceCase{"Near", 0, -1},
                                           DistanceCase{"RoundTrip150Ms", 75 * kMs, -1},
                                           DistanceCase{"StopsAnsweringNear", 0, 20},
                                           DistanceCase{"StopsAnsweringFar", 75 * kMs, 20}),
                         CaseName());

// What arrives between a receive purge and its answer was sent before the purge: the read after
// the command takes only what follows, and the purge itself waits for nothing.
TEST_F(DistantServerTest, AReadAfterAPurgeWaitsForItsAcknowledgement) {
  Open(20 * kMs);
  server_->data_after_purge = {'n', 'e', 'w'};
  const Clock::Micros start = clock_.Now();
  ASSERT_TRUE(connection_.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_EQ(clock_.Now(), start);
  server_->Send({'o', 'l', 'd'}, 5 * kMs);  // on its way before the purge got there
  std::vector<std::uint8_t> reply(3);
  std::uint32_t got = 0;
  ASSERT_TRUE(connection_.Read(reply.data(), 3, got));
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + got), "new");
}

// A server that stops while the device holds CTS off leaves nothing unanswered: the client asks
// after a second of silence, so that the write held on the line still ends when the server is
// gone, long before its own time-out.
TEST_F(DistantServerTest, AServerThatStopsWhileTheLineIsHeldIsNoticed) {
  Open(0);
  DCB hardware_flow = connection_.LineState();
  hardware_flow.flags = kDeviceFlags;
  ASSERT_TRUE(Succeeded(connection_.SetLineState(hardware_flow)));
  std::vector<std::uint8_t> cts_off;
  rfc2217::AppendComPortByte(cts_off, rfc2217::ComPortRole::kServer,
                             rfc2217::ComPortCommand::kNotifyModemState, 0);
  server_->Send(cts_off, 0);
  server_->stops_answering_at = clock_.Now() + 1;  // after answering what the write asks
  const std::vector<std::uint8_t> piece(128, 0x5A);
  std::uint32_t sent = 0;
  const Clock::Micros start = clock_.Now();
  EXPECT_TRUE(FailedWith(connection_.Write(piece.data(), 128, sent),
                         static_cast<std::uint32_t>(ETIMEDOUT)));
  EXPECT_LE(clock_.Now() - start,
            (options_.silence_question_ms + options_.reply_timeout_ms + 10) * kMs);
}

}  // namespace
}  // namespace tovrel::testing
