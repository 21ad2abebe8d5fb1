// The client against an RFC 2217 server it was not written with: pyserial's PortManager serving
// a loopback port (pyserial_loopback_server.py), run by the system's Python. Skipped where that
// Python or its serial package is missing.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "serial/rfc2217/rfc2217_serial_api.h"
#include "tests/support/line_states.h"
#include "tests/support/sys_result_checks.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace tovrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kPython[] = "/usr/bin/python3";
constexpr std::uint8_t kRaiseCts = 0x12;  // DC2, understood by the loopback port
constexpr std::uint8_t kDropCts = 0x14;   // DC4

#if !defined(_WIN32)

// The server script, started through a pipe that carries its "PORT <n>" line.
class PythonServer {
 public:
  PythonServer() {
    const std::string command =
        std::string(kPython) + " -u " + TOVREL_PYSERIAL_SERVER_SCRIPT + " 2>/dev/null";
    pipe_ = popen(command.c_str(), "r");
  }
  ~PythonServer() {
    if (pipe_ != nullptr) {
      pclose(pipe_);  // the script ends once the client has gone, or after its own limit
    }
  }
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;

  // The port it listens on, or 0 when it did not say within five seconds.
  int WaitForPort() {
    int port = 0;
    return std::sscanf(NextLine().c_str(), "PORT %d", &port) == 1 ? port : 0;
  }

  // The next line the script prints, without its line end; empty when none comes in 5 s.
  std::string NextLine() {
    if (pipe_ == nullptr) {
      return {};
    }
    pollfd entry{fileno(pipe_), POLLIN, 0};
    char line[256] = {};
    if (poll(&entry, 1, 5000) <= 0 || std::fgets(line, sizeof line, pipe_) == nullptr) {
      return {};
    }
    std::string text(line);
    if (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    return text;
  }

 private:
  FILE* pipe_ = nullptr;
};

bool PythonHasPyserial() {
  const std::string probe = std::string(kPython) + " -c 'import serial.rfc2217' >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

bool AwaitModemStatus(SerialApi& api, PortHandle handle, std::uint32_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::uint32_t status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (api.GetModemStatus(handle, status) && status == expected) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

bool WriteAll(SerialApi& api, PortHandle handle, const Bytes& bytes) {
  std::uint32_t written = 0;
  return api.WriteBytes(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written) &&
         written == bytes.size();
}

#endif

TEST(PyserialInterop, LineStateCtsAndEchoThroughPortManager) {
#if defined(_WIN32)
  GTEST_SKIP() << "the pyserial server runs on POSIX systems only";
#else
  if (!PythonHasPyserial()) {
    GTEST_SKIP() << kPython << " cannot import serial.rfc2217";
  }
  PythonServer server;
  const int port = server.WaitForPort();
  ASSERT_GT(port, 0) << "the pyserial server did not start";
  const std::string name = "rfc2217://127.0.0.1:" + std::to_string(port);
  // Declared after the server, so that its connection is closed (and the script, which ends
  // when its client goes, has ended) before the server's pipe is waited for.
  Rfc2217SerialApi api;

  PortHandle handle = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(api.OpenPort(name.c_str(), handle)));

  DCB before;
  ASSERT_TRUE(api.GetLineState(handle, before));
  EXPECT_EQ(before.BaudRate, 9600u);  // the loopback port's rate, learnt at the open
  EXPECT_EQ(before.ByteSize, 8);

  // The port's first settings are XON/XOFF both ways; the device's settings then replace them
  // with hardware flow control, which must leave no XON/XOFF behind at the far UART.
  DCB first = before;
  first.BaudRate = 38400;
  first.flags = 0x0381;
  ASSERT_TRUE(Succeeded(api.SetLineState(handle, first)));

  DCB state = before;
  state.BaudRate = 115200;
  state.Parity = NOPARITY;
  state.StopBits = ONESTOPBIT;
  state.flags = kDeviceFlags;
  ASSERT_TRUE(Succeeded(api.SetLineState(handle, state)));
  DCB in_force;
  ASSERT_TRUE(api.GetLineState(handle, in_force));
  EXPECT_EQ(in_force.BaudRate, 115200u);
  EXPECT_EQ(in_force.flags, 0x2804u);

  EXPECT_TRUE(AwaitModemStatus(api, handle, MS_CTS_ON | MS_DSR_ON));
  ASSERT_TRUE(WriteAll(api, handle, {kDropCts}));
  EXPECT_TRUE(AwaitModemStatus(api, handle, MS_DSR_ON)) << "CTS did not go off";
  ASSERT_TRUE(WriteAll(api, handle, {kRaiseCts}));
  EXPECT_TRUE(AwaitModemStatus(api, handle, MS_CTS_ON | MS_DSR_ON)) << "CTS did not come back";

  // The echoes of the two control characters are dropped with everything else received.
  ASSERT_TRUE(api.Purge(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  ASSERT_TRUE(api.SetTimeouts(handle, ReadTimeouts(0, 0, 2000, WriteTimeouts(0, 2000))));
  ASSERT_TRUE(WriteAll(api, handle, {'A', 0xFF, 0x00, 'B', 0xFF, 0xFF}));
  Bytes echo(5);
  std::uint32_t got = 0;
  ASSERT_TRUE(api.ReadBytes(handle, echo.data(), 5, got));
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(echo, (Bytes{'A', 0xFF, 'B', 0xFF, 0xFF}));  // the NUL dropped, 0xFF intact

  EXPECT_TRUE(api.ClearDtr(handle));
  EXPECT_TRUE(api.Drain(handle));
  EXPECT_TRUE(api.ClosePort(handle));
  // Hardware flow control only, RTS raised for the handshake, DTR dropped at the end.
  EXPECT_EQ(server.NextLine(),
            "FINAL baud=115200 bytesize=8 parity=N stopbits=1 xonxoff=0 rtscts=1 dtr=0 rts=1");
#endif
}

}  // namespace
}  // namespace tovrel
