// The POSIX backend end to end over a pseudo-terminal. These tests wait for real, briefly (tens
// of milliseconds), because the backend's time-outs are the kernel's poll().
#include "serial/posix/posix_serial_api.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "line_state_differences.h"
#include "pseudo_terminal.h"
#include "serial/native_serial_api.h"
#include "serial/posix/termios_mapping.h"
#include "serial/timeout_rules.h"
#include "tests/support/case_name.h"
#include "tests/support/line_states.h"
#include "tests/support/settable_interruption.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {
namespace {

using posix_serial::PseudoTerminal;

class Stopwatch {
 public:
  std::int64_t ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Runs `action` on its own thread after `delay_ms`, joined when the object goes.
class Later {
 public:
  Later(int delay_ms, std::function<void()> action)
      : thread_([delay_ms, action = std::move(action)] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
          action();
        }) {}
  ~Later() { thread_.join(); }
  Later(const Later&) = delete;
  Later& operator=(const Later&) = delete;

 private:
  std::thread thread_;
};

std::vector<std::uint8_t> Pattern(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 7 + 1) % 251 + 1);  // never NUL
  }
  return bytes;
}

PosixSerialOptions WithCap(std::uint64_t cap_ms) {
  PosixSerialOptions options;
  options.unlimited_wait_cap_ms = cap_ms;
  return options;
}

class PosixSerialApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok()) << pty_.Error();
    ASSERT_TRUE(Succeeded(api_.OpenPort(pty_.SlavePath().c_str(), port_)));
  }

  void SetReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(api_.GetTimeouts(port_, timeouts));
    ASSERT_TRUE(api_.SetTimeouts(port_, ReadTimeouts(interval, multiplier, constant, timeouts)));
  }

  void SetWriteTimeouts(std::uint32_t multiplier, std::uint32_t constant) {
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(api_.GetTimeouts(port_, timeouts));
    timeouts.WriteTotalTimeoutMultiplier = multiplier;
    timeouts.WriteTotalTimeoutConstant = constant;
    ASSERT_TRUE(api_.SetTimeouts(port_, timeouts));
  }

  // One ReadBytes of `count`; the bytes that came.
  std::string Read(std::uint32_t count) {
    std::vector<std::uint8_t> buffer(count);
    std::uint32_t got = kMaxDword;
    EXPECT_TRUE(Succeeded(api_.ReadBytes(port_, buffer.data(), count, got)));
    EXPECT_LE(got, count);
    return std::string(buffer.begin(), buffer.begin() + std::min(got, count));
  }

  PseudoTerminal pty_;
  // Long enough that a wait ending at the cap is told apart from one ending at a time-out.
  PosixSerialApi api_{WithCap(5000)};
  PortHandle port_ = INVALID_HANDLE_VALUE;
  PortHandle other_port_ = 0;
};

// --- opening
// --------------------------------------------------------------------------------------

TEST_F(PosixSerialApiTest, OpenPutsTheTerminalInRawModeAtOnce) {
  const termios settings = pty_.PortSettings();
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(settings.c_cc[VMIN], 0);
  EXPECT_EQ(settings.c_cc[VTIME], 0);

  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);

  // What a pseudo-terminal starts with, plus what open() does to DTR and RTS.
  DCB state;
  ASSERT_TRUE(api_.GetLineState(port_, state));
  EXPECT_EQ(FrameOf(state), FrameOf(Frame(38400, 8, NOPARITY, ONESTOPBIT,
                                          kDcbBinary | (DTR_CONTROL_ENABLE << kDcbDtrControlShift) |
                                              (RTS_CONTROL_ENABLE << kDcbRtsControlShift))));
  EXPECT_EQ(state.XonChar, 0x11);
  EXPECT_EQ(state.XoffChar, 0x13);
}

TEST_F(PosixSerialApiTest, SecondOpenIsRefusedUntilTheFirstCloses) {
  auto expect_busy = [](PosixSerialApi& api, const std::string& path) {
    PortHandle refused = 0;
    const SysResult opened = api.OpenPort(path.c_str(), refused);
    EXPECT_FALSE(opened);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    const std::uint32_t error_number = opened.Error();
    EXPECT_TRUE(error_number == EWOULDBLOCK || error_number == EBUSY) << error_number;
  };
  expect_busy(api_, pty_.SlavePath());
  PosixSerialApi other;
  expect_busy(other, pty_.SlavePath());

  ASSERT_TRUE(api_.ClosePort(port_));
  PortHandle again = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(Succeeded(other.OpenPort(pty_.SlavePath().c_str(), again)));
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
}

struct OpenFailureCase {
  const char* name;
  std::function<std::string()> make_path;
  std::uint32_t error_number;
  bool temporary = false;  // the path is removed after the test
};

class OpenFailureTest : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(OpenFailureTest, FailsWithTheErrorNumber) {
  const std::string path = GetParam().make_path();
  PosixSerialApi api;
  EXPECT_TRUE(OpenFailsWith(api, path.c_str(), GetParam().error_number));
  if (GetParam().temporary) {
    ::unlink(path.c_str());
  }
}

std::string RegularFile() {
  char path[] = "/tmp/tovrel-posix-test-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) {
    ::close(fd);
  }
  return path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailureTest,
    ::testing::Values(OpenFailureCase{"Missing", [] { return std::string("/nonexistent/ttyS99"); },
                                      ENOENT},
                      OpenFailureCase{"RegularFile", RegularFile, ENOTTY, true},
                      OpenFailureCase{"DevNull", [] { return std::string("/dev/null"); }, ENOTTY}),
    CaseName());

TEST(PosixSerialApiOpenTest, NullNameFails) {
  PosixSerialApi api;
  EXPECT_TRUE(OpenFailsWith(api, nullptr, static_cast<std::uint32_t>(ENOENT)));
}

// --- line state
// -----------------------------------------------------------------------------------

class LineStateTest : public PosixSerialApiTest,
                      public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(LineStateTest, DeviceSettingsReachTheTerminalAndReadBack) {
  DCB state = DeviceLineState(GetParam());
  state.XonLim = 100;  // members termios has no place for come back verbatim
  state.ErrorChar = '?';
  state.EofChar = 0x1A;
  state.EvtChar = '\r';
  ASSERT_TRUE(Succeeded(api_.SetLineState(port_, state)));

  const termios settings = pty_.PortSettings();
  speed_t speed = 0;
  ASSERT_TRUE(posix_serial::SpeedForBaudRate(GetParam(), speed));
  EXPECT_EQ(cfgetospeed(&settings), speed);
  EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);

  DCB back;
  ASSERT_TRUE(api_.GetLineState(port_, back));
  EXPECT_EQ(posix_serial::Differences(back, state), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Rates, LineStateTest, ::testing::Values(9600u, 38400u, 115200u, 230400u),
                         NameBy([](std::uint32_t rate) { return std::to_string(rate); }));

struct RefusedStateCase {
  const char* name;
  void (*change)(DCB&);
};

class RefusedStateTest : public PosixSerialApiTest,
                         public ::testing::WithParamInterface<RefusedStateCase> {};

TEST_P(RefusedStateTest, FailsWithEinvalAndKeepsThePreviousState) {
  const DCB before = DeviceLineState(115200);
  ASSERT_TRUE(api_.SetLineState(port_, before));
  DCB refused = before;
  GetParam().change(refused);
  EXPECT_TRUE(FailedWith(api_.SetLineState(port_, refused), static_cast<std::uint32_t>(EINVAL)));
  DCB now;
  ASSERT_TRUE(api_.GetLineState(port_, now));
  EXPECT_EQ(posix_serial::Differences(now, before), std::vector<std::string>{});
  const termios settings = pty_.PortSettings();
  EXPECT_EQ(cfgetospeed(&settings), B115200);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedStateTest,
    ::testing::Values(RefusedStateCase{"NoSuchSpeed", [](DCB& s) { s.BaudRate = 14400; }},
                      RefusedStateCase{"NineBits", [](DCB& s) { s.ByteSize = 9; }},
                      // A pseudo-terminal keeps 8 bits without parity whatever it is told.
                      RefusedStateCase{"SevenBitsOnPty", [](DCB& s) { s.ByteSize = 7; }},
                      RefusedStateCase{"ParityOnPty", [](DCB& s) { s.Parity = EVENPARITY; }}),
    CaseName());

TEST_F(PosixSerialApiTest, TimeoutsReadBackAndTheAllOnesReadIsRefused) {
  const COMMTIMEOUTS timeouts = ReadTimeouts(500, 500, 5000, WriteTimeouts(500, 2000));
  ASSERT_TRUE(api_.SetTimeouts(port_, timeouts));

  COMMTIMEOUTS refused = timeouts;
  refused.ReadIntervalTimeout = refused.ReadTotalTimeoutMultiplier =
      refused.ReadTotalTimeoutConstant = kMaxDword;
  EXPECT_TRUE(FailedWith(api_.SetTimeouts(port_, refused), static_cast<std::uint32_t>(EINVAL)));

  COMMTIMEOUTS back;
  ASSERT_TRUE(api_.GetTimeouts(port_, back));
  EXPECT_EQ(TimeoutsOf(back), TimeoutsOf(timeouts));
}

// --- reads
// ----------------------------------------------------------------------------------------

TEST_F(PosixSerialApiTest, ReadsExactlyTheBytesAskedFor) {
  SetReadTimeouts(0, 0, 2000);
  const std::vector<std::uint8_t> sent = Pattern(600);
  ASSERT_TRUE(pty_.Send(sent));
  EXPECT_EQ(Read(600), std::string(sent.begin(), sent.end()));
  ASSERT_TRUE(pty_.Send("tail"));
  EXPECT_EQ(Read(4), "tail");
}

TEST_F(PosixSerialApiTest, ReadCollectsAReplyThatArrivesInPieces) {
  SetReadTimeouts(0, 0, 2000);
  Later device(20, [&] {
    pty_.Send("\x1b!e");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty_.Send(std::string("0C\x05\x00", 4));
  });
  EXPECT_EQ(Read(7), std::string("\x1b!e0C\x05\x00", 7));
}

TEST_F(PosixSerialApiTest, TotalTimeoutEndsAShortRead) {
  SetReadTimeouts(0, 0, 50);
  ASSERT_TRUE(pty_.Send("12345"));
  const Stopwatch watch;
  EXPECT_EQ(Read(7), "12345");
  EXPECT_GE(watch.ElapsedMs(), 45);
  EXPECT_LT(watch.ElapsedMs(), 1000);
}

TEST_F(PosixSerialApiTest, IntervalTimeoutEndsAReadAfterTheLastByte) {
  SetReadTimeouts(30, 0, 0);  // no total limit: only the gap after the last byte ends the read
  ASSERT_TRUE(pty_.Send("abc"));
  const Stopwatch watch;
  EXPECT_EQ(Read(10), "abc");
  EXPECT_LT(watch.ElapsedMs(), 1000);
}

TEST_F(PosixSerialApiTest, IntervalTimeoutWaitsForTheFirstByte) {
  SetReadTimeouts(20, 0, 2000);
  const Stopwatch watch;
  Later device(80, [&] { pty_.Send("ABCD"); });
  EXPECT_EQ(Read(4), "ABCD");
  EXPECT_GE(watch.ElapsedMs(), 70);
}

TEST_F(PosixSerialApiTest, AllOnesIntervalReturnsAtOnceWithWhatIsThere) {
  SetReadTimeouts(kMaxDword, 0, 0);
  Stopwatch watch;
  EXPECT_EQ(Read(10), "");
  EXPECT_LT(watch.ElapsedMs(), 50);

  ASSERT_TRUE(pty_.Send("xyz"));
  ASSERT_TRUE(pty_.WaitForInputAtPort(1000));
  EXPECT_EQ(Read(10), "xyz");
}

TEST_F(PosixSerialApiTest, FirstByteModeReturnsAsSoonAsAnyByteCame) {
  SetReadTimeouts(kMaxDword, kMaxDword, 2000);
  {
    const Stopwatch watch;
    Later device(30, [&] { pty_.Send("hi"); });
    EXPECT_EQ(Read(10), "hi");
    EXPECT_LT(watch.ElapsedMs(), 1000);
  }
  SetReadTimeouts(kMaxDword, kMaxDword, 40);
  const Stopwatch watch;
  EXPECT_EQ(Read(10), "");
  EXPECT_GE(watch.ElapsedMs(), 35);
}

struct NulCase {
  const char* name;
  bool discard_nul;
  std::uint32_t count;
  std::string expected;
};

class NulTest : public PosixSerialApiTest, public ::testing::WithParamInterface<NulCase> {};

TEST_P(NulTest, NulBytesAreDroppedOnlyWhenAskedAndNeverCount) {
  DCB state = DeviceLineState(38400);
  if (!GetParam().discard_nul) {
    state.flags &= ~kDcbNull;
  }
  ASSERT_TRUE(api_.SetLineState(port_, state));
  SetReadTimeouts(0, 0, 1000);
  ASSERT_TRUE(pty_.Send(std::string("A\0B\0\0C\0D", 8)));
  EXPECT_EQ(Read(GetParam().count), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NulTest,
    ::testing::Values(NulCase{"Dropped", true, 4, "ABCD"},
                      NulCase{"DroppedBeforeTheCount", true, 3, "ABC"},
                      NulCase{"Kept", false, 8, std::string("A\0B\0\0C\0D", 8)},
                      NulCase{"KeptAndCounted", false, 4, std::string("A\0B\0", 4)}),
    CaseName());

TEST_F(PosixSerialApiTest, ReadFailsWhenTheLineHangsUp) {
  SetReadTimeouts(0, 0, 2000);
  const Stopwatch watch;
  Later device(30, [&] { pty_.CloseMaster(); });
  std::uint8_t buffer[8];
  std::uint32_t got = kMaxDword;
  EXPECT_TRUE(FailedWith(api_.ReadBytes(port_, buffer, sizeof buffer, got),
                         static_cast<std::uint32_t>(EIO)));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(watch.ElapsedMs(), 1000);
}

TEST_F(PosixSerialApiTest, EmptyReadsAndWritesTouchNothing) {
  std::uint32_t done = kMaxDword;
  EXPECT_TRUE(api_.ReadBytes(port_, nullptr, 0, done));
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(api_.WriteBytes(port_, nullptr, 0, done));
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(
      FailedWith(api_.ReadBytes(port_, nullptr, 1, done), static_cast<std::uint32_t>(EFAULT)));
}

// --- writes, drain, purge
// -------------------------------------------------------------------------

TEST_F(PosixSerialApiTest, WrittenBytesReachTheDevice) {
  SetWriteTimeouts(200, 10000);
  const std::vector<std::uint8_t> bytes = Pattern(600);
  std::uint32_t written = 0;
  ASSERT_TRUE(api_.WriteBytes(port_, bytes.data(), 600, written));
  EXPECT_EQ(written, 600u);
  EXPECT_TRUE(api_.Drain(port_));
  EXPECT_EQ(pty_.Receive(600, 1000), bytes);
}

TEST_F(PosixSerialApiTest, WriteTimeoutEndsAWriteNobodyTakes) {
  SetWriteTimeouts(0, 30);
  const std::vector<std::uint8_t> bytes = Pattern(65536);
  std::uint32_t written = 0;
  const Stopwatch watch;
  ASSERT_TRUE(api_.WriteBytes(port_, bytes.data(), 65536, written));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 65536u);
  EXPECT_GE(watch.ElapsedMs(), 25);
  EXPECT_LT(watch.ElapsedMs(), 1000);
  EXPECT_EQ(pty_.Receive(written, 1000).size(), written);
}

TEST_F(PosixSerialApiTest, PurgeDropsPendingInput) {
  ASSERT_TRUE(pty_.Send("stale reply"));
  ASSERT_TRUE(pty_.WaitForInputAtPort(1000));
  EXPECT_TRUE(api_.Purge(port_, PURGE_TXCLEAR | PURGE_RXCLEAR));
  SetReadTimeouts(kMaxDword, 0, 0);
  EXPECT_EQ(Read(20), "");

  EXPECT_TRUE(api_.Purge(port_, 0));
  EXPECT_TRUE(FailedWith(api_.Purge(port_, 0x10), static_cast<std::uint32_t>(EINVAL)));
}

TEST_F(PosixSerialApiTest, HousekeepingCallsSucceed) {
  EXPECT_TRUE(api_.SetupQueues(port_, 1024, 256));
  EXPECT_TRUE(api_.ClearErrors(port_));
  const Stopwatch watch;
  EXPECT_TRUE(api_.Drain(port_));
  EXPECT_LT(watch.ElapsedMs(), 100);
}

// --- modem lines
// ----------------------------------------------------------------------------------

TEST_F(PosixSerialApiTest, PseudoTerminalHasNoModemLines) {
  std::uint32_t status = 0;
  EXPECT_TRUE(FailedWith(api_.GetModemStatus(port_, status), static_cast<std::uint32_t>(ENOTTY)));
  EXPECT_TRUE(FailedWith(api_.ClearDtr(port_), static_cast<std::uint32_t>(ENOTTY)));
  // Changing DTR and RTS is housekeeping inside SetLineState: no modem lines is no failure.
  DCB state = DeviceLineState(9600);
  state.flags |= RTS_CONTROL_ENABLE << kDcbRtsControlShift;
  EXPECT_TRUE(api_.SetLineState(port_, state));
}

// --- handles and errors
// ---------------------------------------------------------------------------

TEST_F(PosixSerialApiTest, EveryCallOnAClosedOrUnknownHandleFailsWithEbadf) {
  ASSERT_TRUE(api_.ClosePort(port_));
  for (const PortHandle handle : {port_, PortHandle{0}, PortHandle{999}, INVALID_HANDLE_VALUE}) {
    DCB state;
    COMMTIMEOUTS timeouts;
    std::uint32_t value = 0;
    std::uint8_t byte = 0;
    const std::vector<std::pair<const char*, std::function<SysResult()>>> calls = {
        {"SetupQueues", [&] { return api_.SetupQueues(handle, 1, 1); }},
        {"GetLineState", [&] { return api_.GetLineState(handle, state); }},
        {"SetLineState", [&] { return api_.SetLineState(handle, DeviceLineState(9600)); }},
        {"GetTimeouts", [&] { return api_.GetTimeouts(handle, timeouts); }},
        {"SetTimeouts", [&] { return api_.SetTimeouts(handle, timeouts); }},
        {"GetModemStatus", [&] { return api_.GetModemStatus(handle, value); }},
        {"ClearDtr", [&] { return api_.ClearDtr(handle); }},
        {"Purge", [&] { return api_.Purge(handle, PURGE_RXCLEAR); }},
        {"ClearErrors", [&] { return api_.ClearErrors(handle); }},
        {"ReadBytes", [&] { return api_.ReadBytes(handle, &byte, 1, value); }},
        {"WriteBytes", [&] { return api_.WriteBytes(handle, &byte, 1, value); }},
        {"Drain", [&] { return api_.Drain(handle); }},
        {"ClosePort", [&] { return api_.ClosePort(handle); }},
    };
    for (const auto& [name, call] : calls) {
      EXPECT_TRUE(FailedWith(call(), static_cast<std::uint32_t>(EBADF)))
          << name << " on " << handle;
    }
  }
}

// Each call's failure comes back in its own result: one on another thread meanwhile has its own,
// and a success after it says nothing of it.
TEST_F(PosixSerialApiTest, AFailureBelongsToTheCallThatFailed) {
  const SysResult closed = api_.ClosePort(999);
  EXPECT_TRUE(FailedWith(closed, static_cast<std::uint32_t>(EBADF)));
  SysResult other_thread = SysResult::Ok();
  std::thread([&] { other_thread = api_.OpenPort("/nonexistent/ttyS99", other_port_); }).join();
  EXPECT_TRUE(FailedWith(other_thread, static_cast<std::uint32_t>(ENOENT)));
  EXPECT_EQ(other_port_, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FailedWith(closed, static_cast<std::uint32_t>(EBADF)));
  const SysResult cleared = api_.ClearErrors(port_);
  EXPECT_TRUE(cleared);
  EXPECT_EQ(cleared.Error(), 0u);
}

// --- waits the time-outs leave unlimited
// ----------------------------------------------------------

TEST(PosixSerialApiCapTest, UnlimitedWaitsEndAtTheCap) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok()) << pty.Error();
  PosixSerialApi api(WithCap(40));
  PortHandle port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(api.OpenPort(pty.SlavePath().c_str(), port)));
  ASSERT_TRUE(api.SetTimeouts(port, COMMTIMEOUTS{}));  // all 0: Win32 would wait for ever

  std::vector<std::uint8_t> buffer = Pattern(65536);
  std::uint32_t done = 0;
  Stopwatch watch;
  ASSERT_TRUE(api.ReadBytes(port, buffer.data(), 10, done));
  EXPECT_EQ(done, 0u);
  EXPECT_GE(watch.ElapsedMs(), 35);
  EXPECT_LT(watch.ElapsedMs(), 1000);

  watch = Stopwatch();
  ASSERT_TRUE(api.WriteBytes(port, buffer.data(), 65536, done));
  EXPECT_LT(done, 65536u);
  EXPECT_GE(watch.ElapsedMs(), 35);
  EXPECT_LT(watch.ElapsedMs(), 1000);
}

// --- stop requests
// --------------------------------------------------------------------------------

// A read waiting for the device ends soon after a stop is requested, with what came; a write
// made after it still goes whole.
TEST(PosixSerialApiStopTest, StopEndsAWaitingReadButNotAWrite) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok()) << pty.Error();
  ::tovrel::testing::SettableInterruption stop;
  PosixSerialOptions options;
  options.interruption = &stop;
  PosixSerialApi api(options);
  PortHandle port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Succeeded(api.OpenPort(pty.SlavePath().c_str(), port)));
  ASSERT_TRUE(api.SetTimeouts(port, ReadTimeouts(0, 0, 5000, WriteTimeouts(0, 1000))));
  ASSERT_TRUE(pty.Send("ab"));

  stop.RaiseAfter(50);
  std::uint8_t buffer[7] = {};
  std::uint32_t got = 0;
  const Stopwatch watch;
  EXPECT_TRUE(FailedWith(api.ReadBytes(port, buffer, 7, got), static_cast<std::uint32_t>(EINTR)));
  EXPECT_GE(watch.ElapsedMs(), 45);
  EXPECT_LT(watch.ElapsedMs(), 1000);
  EXPECT_EQ(std::string(buffer, buffer + got), "ab");

  const std::vector<std::uint8_t> piece = Pattern(128);
  ASSERT_TRUE(api.WriteBytes(port, piece.data(), 128, got));
  EXPECT_EQ(got, 128u);
  EXPECT_EQ(pty.Receive(128, 1000), piece);
}

TEST(PosixSerialApiFactoryTest, NativeApiIsThePosixBackend) {
  const std::unique_ptr<SerialApi> api = MakeNativeSerialApi();
  EXPECT_NE(dynamic_cast<PosixSerialApi*>(api.get()), nullptr);
}

}  // namespace
}  // namespace tovrel
