// The process's stop request as the system delivers it: the first event is only recorded, a
// second one ends the process, and the handlers are put back afterwards.
#include "app/interrupt_signals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "tests/support/case_name.h"

#ifdef _WIN32
#include <cstdlib>

// Our serial names before the platform's macros (see dcb_conversion.h).
#include "serial/win32/dcb_conversion.h"
#include "serial/win32/win32_serial_api.h"
#include "tests/support/sys_result_checks.h"
#include "tests/support/wine.h"
#else
#include <signal.h>

#include <csignal>
#include <cstdlib>
#endif

namespace tovrel {
namespace {

#ifndef _WIN32

struct SignalCase {
  const char* name;
  int signal_number;
  int exit_status;
};

using tovrel::case_printing::operator<<;

class HandledSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(HandledSignal, IsOnlyRecordedAndGivesTheExitStatus) {
  InterruptSignals signals;
  EXPECT_FALSE(signals.Requested());
  ASSERT_EQ(std::raise(GetParam().signal_number), 0);
  EXPECT_TRUE(signals.Requested());
  EXPECT_FALSE(signals.BeginBlockingCall());
  EXPECT_EQ(signals.ExitStatus(), GetParam().exit_status);
}

INSTANTIATE_TEST_SUITE_P(Signals, HandledSignal,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT, 130},
                                           SignalCase{"Terminate", SIGTERM, 143},
                                           SignalCase{"HangUp", SIGHUP, 129}),
                         CaseName());

TEST(InterruptSignalsDeathTest, SecondSignalEndsTheProcessAtOnce) {
  EXPECT_EXIT(
      {
        InterruptSignals signals;
        std::raise(SIGINT);
        std::raise(SIGTERM);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(128 + SIGTERM), "");
}

void (*HandlerOf(int signal_number))(int) {
  struct sigaction action {};
  sigaction(signal_number, nullptr, &action);
  return action.sa_handler;
}

TEST(InterruptSignals, IgnoresSigpipeAndPutsEveryHandlerBack) {
  const auto interrupt_before = HandlerOf(SIGINT);
  const auto pipe_before = HandlerOf(SIGPIPE);
  {
    InterruptSignals signals;
    EXPECT_NE(HandlerOf(SIGINT), interrupt_before);
    EXPECT_EQ(HandlerOf(SIGPIPE), SIG_IGN);
  }
  EXPECT_EQ(HandlerOf(SIGINT), interrupt_before);
  EXPECT_EQ(HandlerOf(SIGPIPE), pipe_before);
}

// Started under nohup: a hang-up is not a stop request.
TEST(InterruptSignals, ASignalIgnoredFromTheStartStaysIgnored) {
  const auto before = std::signal(SIGHUP, SIG_IGN);
  {
    InterruptSignals signals;
    std::raise(SIGHUP);
    EXPECT_FALSE(signals.Requested());
  }
  EXPECT_EQ(HandlerOf(SIGHUP), SIG_IGN);
  std::signal(SIGHUP, before);
}

#else

class ConsoleEvent : public ::testing::TestWithParam<DWORD> {};

TEST_P(ConsoleEvent, IsOnlyRecordedAndGivesTheExitStatus) {
  InterruptSignals signals;
  EXPECT_FALSE(signals.Requested());
  EXPECT_TRUE(InterruptSignals::HandleConsoleEvent(GetParam()));
  EXPECT_TRUE(signals.Requested());
  EXPECT_FALSE(signals.BeginBlockingCall());
  EXPECT_EQ(static_cast<DWORD>(signals.ExitStatus()), STATUS_CONTROL_C_EXIT);
}

INSTANTIATE_TEST_SUITE_P(Events, ConsoleEvent, ::testing::Values(CTRL_C_EVENT, CTRL_BREAK_EVENT),
                         NameBy([](DWORD event) {
                           return std::string(event == CTRL_C_EVENT ? "CtrlC" : "CtrlBreak");
                         }));

TEST(InterruptSignals, LeavesOtherEventsToTheSystem) {
  InterruptSignals signals;
  EXPECT_FALSE(InterruptSignals::HandleConsoleEvent(CTRL_LOGOFF_EVENT));
  EXPECT_FALSE(signals.Requested());
}

// A read blocked in ReadFile is cancelled by the handler. Needs a COM port (TOVREL_ECHO_COM_PORT,
// set by .ci/windows.sh), on which nothing arrives unless written, and Windows itself.
TEST(InterruptSignals, CancelsTheReadTheRunIsBlockedIn) {
  const char* name = std::getenv("TOVREL_ECHO_COM_PORT");
  if (name == nullptr || *name == '\0') {
    GTEST_SKIP() << "needs TOVREL_ECHO_COM_PORT: a COM port (.ci/windows.sh)";
  }
  if (RunningUnderWine()) {
    GTEST_SKIP() << "wine does not cut a synchronous serial read short (CancelSynchronousIo)";
  }
  const HANDLE port_guard = CreateMutexA(nullptr, FALSE, "tovrel-echo-com-port-test");
  ASSERT_NE(port_guard, nullptr);
  const DWORD waited = WaitForSingleObject(port_guard, 60000);
  ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;

  InterruptSignals signals;
  Win32SerialApi api(signals);
  PortHandle port = -1;
  ASSERT_TRUE(Succeeded(api.OpenPort(name, port)));
  COMMTIMEOUTS timeouts;
  timeouts.ReadTotalTimeoutConstant = 5000;
  ASSERT_TRUE(api.SetTimeouts(port, timeouts));
  ASSERT_TRUE(api.Purge(port, 0x0F));

  std::thread console([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    InterruptSignals::HandleConsoleEvent(CTRL_C_EVENT);
  });
  std::uint8_t buffer[4];
  std::uint32_t got = 0;
  const auto start = std::chrono::steady_clock::now();
  const SysResult read = api.ReadBytes(port, buffer, sizeof buffer, got);
  const DWORD error = read.Error();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  console.join();
  EXPECT_TRUE(api.ClosePort(port));
  ReleaseMutex(port_guard);
  CloseHandle(port_guard);

  EXPECT_FALSE(read);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  // Once stopped, no read begins.
  EXPECT_FALSE(signals.BeginBlockingCall());
}

#endif

}  // namespace
}  // namespace tovrel
