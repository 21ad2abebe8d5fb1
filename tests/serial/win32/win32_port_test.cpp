// The Win32 backend on a real COM handle. Most cases need a port whose far end sends back every
// byte it receives: TOVREL_ECHO_COM_PORT names it ("COM5": under wine .ci/windows.sh links a
// pseudo-terminal with an echoing peer there; on Windows a loopback plug does the same). Without
// it those cases skip. Waits are real but short: time-outs of tens of milliseconds.
#include "serial/win32/win32_serial_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/clock.h"
#include "serial/comm_port.h"
#include "serial/device_port.h"
#include "serial/win32/dcb_conversion.h"
#include "tests/support/line_states.h"
#include "tests/support/sys_result_checks.h"
#include "tests/support/wine.h"

namespace tovrel {
namespace {

constexpr std::uint32_t kErrorNotSupported = ERROR_NOT_SUPPORTED;  // 50
constexpr std::uint32_t kErrorInvalidHandle = ERROR_INVALID_HANDLE;
constexpr std::intptr_t kInvalidPort = -1;  // our INVALID_HANDLE_VALUE

using Millis = std::chrono::milliseconds;

Millis Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start);
}

class EchoPort : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("TOVREL_ECHO_COM_PORT");
    if (name == nullptr || *name == '\0') {
      GTEST_SKIP()
          << "needs TOVREL_ECHO_COM_PORT: a COM port whose far end echoes (.ci/windows.sh)";
    }
    port_name = name;
    // Test programs may run side by side (ctest -j) and the far end echoes to whoever writes:
    // one test at a time uses the port, across processes.
    port_guard = ::CreateMutexA(nullptr, FALSE, "tovrel-echo-com-port-test");
    ASSERT_NE(port_guard, nullptr);
    const DWORD waited = ::WaitForSingleObject(port_guard, 60000);
    ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;
    ASSERT_TRUE(Succeeded(api.OpenPort(port_name.c_str(), port))) << "open " << port_name;
    ASSERT_TRUE(api.SetupQueues(port, 1024, 256));
    // Plain 8N1 without flow control, so that every byte value travels and nothing waits on CTS.
    DCB state;
    ASSERT_TRUE(api.GetLineState(port, state));
    state.BaudRate = 38400;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.flags = kDcbBinary;
    ASSERT_TRUE(api.SetLineState(port, state));
    SetReadTimeout(1000);
    ASSERT_TRUE(api.Purge(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  }

  void TearDown() override {
    if (port != kInvalidPort) {
      // Releasing, whatever each step says: the next test opens the port afresh.
      (void)api.Purge(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
      (void)api.ClosePort(port);
    }
    if (port_guard != nullptr) {
      ::ReleaseMutex(port_guard);
      ::CloseHandle(port_guard);
    }
  }

  void SetReadTimeout(std::uint32_t total_ms) {
    ASSERT_TRUE(api.SetTimeouts(port, ReadTimeouts(0, 0, total_ms, WriteTimeouts(0, 1000))));
  }

  void WriteAll(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t written = 0;
    ASSERT_TRUE(
        api.WriteBytes(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
    ASSERT_EQ(written, bytes.size());
  }

  // Bytes waiting in the driver's input queue, polled until `wanted` are there or 2 s passed.
  std::uint32_t WaitForInput(std::uint32_t wanted) {
    const auto start = std::chrono::steady_clock::now();
    DWORD errors = 0;
    COMSTAT status{};
    do {
      if (::ClearCommError(ToWin32Handle(port), &errors, &status) == FALSE) {
        return 0;
      }
      if (status.cbInQue >= wanted) {
        break;
      }
      ::Sleep(2);
    } while (Since(start) < Millis(2000));
    return status.cbInQue;
  }

  Win32SerialApi api;
  HANDLE port_guard = nullptr;
  std::string port_name;
  PortHandle port = kInvalidPort;
};

TEST_F(EchoPort, WrittenBytesReachTheFarEndAndComeBack) {
  std::vector<std::uint8_t> sent(256);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<std::uint8_t>(i);  // every byte value, NUL, XON and XOFF included
  }
  WriteAll(sent);
  EXPECT_TRUE(api.Drain(port));

  std::vector<std::uint8_t> received(sent.size());
  std::uint32_t got = 0;
  ASSERT_TRUE(api.ReadBytes(port, received.data(), 256, got));
  EXPECT_EQ(got, 256u);
  EXPECT_EQ(received, sent);
}

TEST_F(EchoPort, ReadReturnsWhatArrivedWhenItsTimeOutRunsOut) {
  SetReadTimeout(80);
  WriteAll({'a', 'b', 'c'});
  ASSERT_EQ(WaitForInput(3), 3u);

  std::uint8_t buffer[5] = {};
  std::uint32_t got = 99;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(api.ReadBytes(port, buffer, 5, got)) << "a short read is not a failure";
  EXPECT_EQ(got, 3u);
  EXPECT_GE(Since(start), Millis(60));
  EXPECT_LT(Since(start), Millis(1000));
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");

  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(api.ReadBytes(port, buffer, 4, got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(Since(start), Millis(60));
}

TEST_F(EchoPort, PurgeDiscardsWhatWasAlreadyReceived) {
  WriteAll({'x', 'y', 'z', 'w'});
  ASSERT_EQ(WaitForInput(4), 4u);

  ASSERT_TRUE(api.Purge(port, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(WaitForInput(0), 0u);
  SetReadTimeout(30);
  std::uint8_t buffer[4] = {};
  std::uint32_t got = 99;
  ASSERT_TRUE(api.ReadBytes(port, buffer, 4, got));
  EXPECT_EQ(got, 0u);
}

TEST_F(EchoPort, LineStateAndTimeoutsReadBackAsSet) {
  // Linux forces 8 data bits without parity on a pseudo-terminal, so under wine only the speed
  // and the stop bits can come back.
  const bool pseudo_terminal = RunningUnderWine();
  struct Frame {
    std::uint32_t baud;
    std::uint8_t bits, parity, stop;
  };
  for (const Frame& frame :
       {Frame{9600, 7, EVENPARITY, TWOSTOPBITS}, Frame{115200, 8, ODDPARITY, ONESTOPBIT},
        Frame{230400, 8, NOPARITY, ONESTOPBIT}}) {
    DCB state;
    ASSERT_TRUE(api.GetLineState(port, state));
    state.BaudRate = frame.baud;
    state.ByteSize = frame.bits;
    state.Parity = frame.parity;
    state.StopBits = frame.stop;
    ASSERT_TRUE(api.SetLineState(port, state));
    DCB back;
    ASSERT_TRUE(api.GetLineState(port, back));
    EXPECT_EQ(back.BaudRate, frame.baud);
    EXPECT_EQ(back.StopBits, frame.stop);
    if (!pseudo_terminal) {
      EXPECT_EQ(back.ByteSize, frame.bits);
      EXPECT_EQ(back.Parity, frame.parity);
    }
  }

  const COMMTIMEOUTS timeouts = ReadTimeouts(500, 500, 5000, WriteTimeouts(200, 10000));
  ASSERT_TRUE(api.SetTimeouts(port, timeouts));
  COMMTIMEOUTS back;
  ASSERT_TRUE(api.GetTimeouts(port, back));
  EXPECT_EQ(TimeoutsOf(back), TimeoutsOf(timeouts));
}

TEST_F(EchoPort, ClosedPortOpensAgainAlsoByItsDevicePath) {
  EXPECT_TRUE(api.ClosePort(port));
  ASSERT_TRUE(Succeeded(api.OpenPort(("\\\\.\\" + port_name).c_str(), port)));
  EXPECT_TRUE(api.ClearErrors(port));
}

TEST_F(EchoPort, SecondOpenOfAnOpenPortIsRefused) {
  if (RunningUnderWine()) {
    GTEST_SKIP() << "wine does not enforce exclusive opens of serial ports";
  }
  PortHandle second = kInvalidPort;
  const SysResult opened = api.OpenPort(port_name.c_str(), second);
  if (second != kInvalidPort) {
    EXPECT_TRUE(api.ClosePort(second));
  }
  EXPECT_EQ(second, kInvalidPort);
  EXPECT_TRUE(FailedWith(opened, static_cast<std::uint32_t>(ERROR_ACCESS_DENIED)));
}

// A pseudo-terminal has no modem lines: wine reports the status query and DTR as unsupported.
TEST_F(EchoPort, ModemLinesOfAPseudoTerminalAreNotSupported) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "a property of wine's pseudo-terminal ports";
  }
  std::uint32_t status = 0;
  EXPECT_TRUE(FailedWith(api.GetModemStatus(port, status), kErrorNotSupported));
  EXPECT_TRUE(FailedWith(api.ClearDtr(port), kErrorNotSupported));
}

// The port classes on this backend, through the echoing port.
TEST_F(EchoPort, CommPortWritesInPiecesAndReadsExactCounts) {
  EXPECT_TRUE(api.ClosePort(port));
  port = kInvalidPort;

  CommPort comm(api, port_name.c_str(), 38400, 8, NOPARITY, ONESTOPBIT);
  ASSERT_TRUE(comm.IsOpen());
  ASSERT_EQ(comm.LastError(), kCommOk) << "system error " << comm.SystemError();
  std::vector<std::uint8_t> sent(600);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<std::uint8_t>('A' + i % 26);  // XON/XOFF are on: keep clear of them
  }
  ASSERT_EQ(comm.Write(sent.data(), 600), 1) << comm.LastError();
  std::vector<std::uint8_t> received(600);
  ASSERT_EQ(comm.Read(received.data(), 600), 1) << comm.LastError();
  EXPECT_EQ(received, sent);

  ASSERT_EQ(comm.SetReadTimeout(50), 1);
  std::uint8_t extra = 0;
  EXPECT_EQ(comm.Read(&extra, 1), 0);
  EXPECT_EQ(comm.LastError(), kErrReadShort);
  EXPECT_EQ(comm.SystemError(), 0u);
}

TEST_F(EchoPort, DevicePortCannotWaitForCtsOnAPseudoTerminal) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "a property of wine's pseudo-terminal ports";
  }
  EXPECT_TRUE(api.ClosePort(port));
  port = kInvalidPort;

  SystemClock clock;
  DevicePort device(api, clock, port_name.c_str(), 38400);
  ASSERT_TRUE(device.IsOpen()) << device.LastError() << " / " << device.SystemError();
  const std::uint8_t inquiry[] = {0x1B, '!', 'e', '0', 'C'};
  std::uint8_t reply[7] = {};
  EXPECT_EQ(device.SendCommand(inquiry, 5, reply, 7, 1), 0);
  EXPECT_EQ(device.LastError(), kErrModemStatus);
  EXPECT_EQ(device.SystemError(), kErrorNotSupported);
}

TEST(Win32PortOpen, UnknownPortIsNotFound) {
  Win32SerialApi api;
  EXPECT_TRUE(OpenFailsWith(api, "COM250", static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND)));
  EXPECT_TRUE(OpenFailsWith(api, nullptr, static_cast<std::uint32_t>(ERROR_INVALID_NAME)));
}

// A port that never opened reaches the platform as the invalid handle; every call refuses it.
TEST(Win32PortOpen, InvalidHandleIsRefusedWithInvalidHandle) {
  Win32SerialApi api;
  COMMTIMEOUTS timeouts;
  EXPECT_TRUE(FailedWith(api.GetTimeouts(kInvalidPort, timeouts), kErrorInvalidHandle));
  EXPECT_TRUE(FailedWith(api.SetTimeouts(kInvalidPort, timeouts), kErrorInvalidHandle));
  DCB state;
  EXPECT_TRUE(FailedWith(api.GetLineState(kInvalidPort, state), kErrorInvalidHandle));
  std::uint32_t status = 0;
  EXPECT_TRUE(FailedWith(api.GetModemStatus(kInvalidPort, status), kErrorInvalidHandle));
  std::uint8_t byte = 0;
  std::uint32_t count = 99;
  EXPECT_TRUE(FailedWith(api.WriteBytes(kInvalidPort, &byte, 1, count), kErrorInvalidHandle));
  EXPECT_EQ(count, 0u);
  count = 99;
  EXPECT_TRUE(FailedWith(api.ReadBytes(kInvalidPort, &byte, 1, count), kErrorInvalidHandle));
  EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace tovrel
