// How long a CTS change takes to reach the client, measured in real time: the session runs as
// the server runs it (steps of at most 1 ms) on the system clock, and a client on its own thread
// notes when each NOTIFY-MODEMSTATE arrives. The device's own record gives the moment CTS went
// off (the last byte of a piece arrived) and came back (its busy time ended).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "session_harness.h"

namespace tovrel::testing {
namespace {

using rfc2217::ComPortCommand;

constexpr int kPieces = 20;
constexpr std::uint32_t kPieceBytes = 128;
constexpr Clock::Micros kBusyMicros = 20'000;

struct Arrival {
  std::uint8_t state = 0;
  Clock::Micros at = 0;
};

// The client's side: sends the pieces one after another, each once CTS is back, and notes the
// arrival of every modem-state report.
void RunClient(WireClient& client, SystemClock& clock, std::vector<Arrival>& arrivals,
               std::atomic<bool>& done) {
  std::size_t seen = 0;
  auto take_in = [&] {
    client.WaitReadable(1);
    client.Receive();
    const Clock::Micros now = clock.Now();
    const auto& messages = client.ComPort();
    for (; seen < messages.size(); ++seen) {
      if (messages[seen].command == ComPortCommand::kNotifyModemState) {
        arrivals.push_back({messages[seen].Byte(), now});
      }
    }
  };
  auto wait_for = [&](auto predicate) {
    const Clock::Micros give_up = clock.Now() + 2'000'000;
    while (!predicate() && clock.Now() < give_up) {
      take_in();
    }
  };
  client.SendComPort(ComPortCommand::kSetModemStateMask, {0xFF});
  client.SendData(BytesOf(("\x1b!g0" + std::to_string(kPieces * kPieceBytes) + "C").c_str()));
  wait_for([&] { return client.Data().size() >= 6; });
  for (int piece = 0; piece < kPieces; ++piece) {
    const std::size_t before = arrivals.size();
    client.SendData(Bytes(kPieceBytes, static_cast<std::uint8_t>(piece)));
    // CTS off, then on again.
    wait_for([&] { return arrivals.size() >= before + 2; });
  }
  done = true;
}

Clock::Micros Median(std::vector<Clock::Micros> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

TEST(CtsLatency, ChangesReachTheClientWithinAMillisecondOrTwo) {
  SystemClock clock;
  DeviceConfig config;
  config.initial_baud = 115200;
  config.busy_per_piece_us = kBusyMicros;

  std::uint16_t port = 0;
  std::uint32_t error = 0;
  const net::Socket listener = net::ListenOnLoopback(port, error);
  ASSERT_TRUE(listener.IsOpen());
  WireClient client(net::ConnectTcp("127.0.0.1", port, 2000, error));
  net::Socket accepted = net::AcceptConnection(listener, 2000, error);
  ASSERT_TRUE(accepted.IsOpen());
  server::ClientSession session(std::move(accepted), clock, config, {});

  std::vector<Arrival> arrivals;
  std::atomic<bool> done{false};
  std::thread client_thread(RunClient, std::ref(client), std::ref(clock), std::ref(arrivals),
                            std::ref(done));

  // The server's loop, noting when the device dropped CTS and when it will raise it again.
  std::vector<Clock::Micros> dropped;
  std::vector<Clock::Micros> raised;
  std::uint32_t pieces = 0;
  const Clock::Micros give_up = clock.Now() + 10'000'000;
  while (!done && clock.Now() < give_up) {
    session.Step(1);
    const EmulatedDevice& device = session.Device();
    if (device.PiecesReceived() != pieces) {
      pieces = device.PiecesReceived();
      // Within its busy time the device tells when CTS comes back.
      const Clock::Micros back = device.NextClearToSend(clock.Now()).value_or(0);
      raised.push_back(back);
      dropped.push_back(back - kBusyMicros);
    }
  }
  client_thread.join();
  ASSERT_TRUE(done);
  ASSERT_EQ(dropped.size(), static_cast<std::size_t>(kPieces));

  // Two reports of the lines as they are (COM-PORT-OPTION in use, the mask set); then one off
  // and one on per piece.
  constexpr std::size_t kFirst = 2;
  ASSERT_EQ(arrivals.size(), kFirst + 2u * kPieces);
  std::vector<Clock::Micros> off_latency;
  std::vector<Clock::Micros> on_latency;
  for (int piece = 0; piece < kPieces; ++piece) {
    const Arrival& off = arrivals[kFirst + 2 * static_cast<std::size_t>(piece)];
    const Arrival& on = arrivals[kFirst + 1 + 2 * static_cast<std::size_t>(piece)];
    EXPECT_EQ(off.state, rfc2217::kModemDeltaCts);
    EXPECT_EQ(on.state, rfc2217::kModemCts | rfc2217::kModemDeltaCts);
    ASSERT_GE(off.at, dropped[static_cast<std::size_t>(piece)]);
    ASSERT_GE(on.at, raised[static_cast<std::size_t>(piece)]);
    off_latency.push_back(off.at - dropped[static_cast<std::size_t>(piece)]);
    on_latency.push_back(on.at - raised[static_cast<std::size_t>(piece)]);
  }
  const auto worst = [](const std::vector<Clock::Micros>& v) {
    return *std::max_element(v.begin(), v.end());
  };
  std::printf("CTS off -> client: median %llu us, worst %llu us\n",
              static_cast<unsigned long long>(Median(off_latency)),
              static_cast<unsigned long long>(worst(off_latency)));
  std::printf("CTS on  -> client: median %llu us, worst %llu us\n",
              static_cast<unsigned long long>(Median(on_latency)),
              static_cast<unsigned long long>(worst(on_latency)));
  RecordProperty("cts_off_median_us", static_cast<int>(Median(off_latency)));
  RecordProperty("cts_on_median_us", static_cast<int>(Median(on_latency)));
  EXPECT_LT(Median(off_latency), 5'000u);
  EXPECT_LT(Median(on_latency), 5'000u);
}

}  // namespace
}  // namespace tovrel::testing
