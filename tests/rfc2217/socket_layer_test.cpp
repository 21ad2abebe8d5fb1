// The socket layer over real loopback sockets: errors come as errno numbers on every platform,
// and a closed peer never ends the process.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "rfc2217/socket_layer.h"

namespace tovrel::net {
namespace {

TEST(SocketLayer, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
  SocketLibrary library;
  std::uint16_t port = 0;
  std::uint32_t error = 0;
  Socket listener = ListenOnLoopback(port, error);
  ASSERT_TRUE(listener.IsOpen());
  Socket client = ConnectTcp("127.0.0.1", port, 1000, error);
  ASSERT_TRUE(client.IsOpen()) << error;
  Socket accepted = AcceptConnection(listener, 1000, error);
  ASSERT_TRUE(accepted.IsOpen()) << error;
  accepted.Close();
  const std::uint8_t bytes[64] = {};
  IoStatus status = IoStatus::kDone;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (status != IoStatus::kFailed && std::chrono::steady_clock::now() < give_up) {
    std::size_t sent = 0;
    status = SendSome(client, bytes, sizeof bytes, sent, error);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(status, IoStatus::kFailed);
  EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
}

TEST(SocketLayer, UnknownHostAndExpiredAcceptReportErrnoNumbers) {
  SocketLibrary library;
  std::uint32_t error = 0;
  EXPECT_FALSE(ConnectTcp("no-such-host.invalid", 2217, 1000, error).IsOpen());
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
  std::uint16_t port = 0;
  Socket listener = ListenOnLoopback(port, error);
  ASSERT_TRUE(listener.IsOpen());
  EXPECT_FALSE(AcceptConnection(listener, 20, error).IsOpen());
  EXPECT_EQ(error, static_cast<std::uint32_t>(ETIMEDOUT));
}

}  // namespace
}  // namespace tovrel::net
