// The tovrel-emulator program as a user runs it: its command line, its log, signals, one client
// at a time, and a client it was not written with (pyserial). Real time, a second or two each.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "emulator/server/server_options.h"
#include "emulator_process.h"
#include "session_harness.h"
#include "tests/support/case_name.h"
#include "tests/support/child_process.h"

namespace tovrel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kPython[] = "/usr/bin/python3";

ProcessResult Emulator(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {TOVREL_EMULATOR_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunProcess(command, seconds(10));
}

// A raw client: connects and waits for the server to say anything.
std::unique_ptr<WireClient> Connect(std::uint16_t port) {
  std::uint32_t error = 0;
  net::Socket socket = net::ConnectTcp("127.0.0.1", port, 2000, error);
  if (!socket.IsOpen()) {
    return nullptr;
  }
  return std::make_unique<WireClient>(std::move(socket));
}

// Takes in what arrives until `done` holds or the connection ends; false on the limit.
bool ReceiveUntil(WireClient& client, const std::function<bool()>& done, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const bool open = client.Receive();
    if (done()) {
      return true;
    }
    if (!open) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  return false;
}

std::string Inquire(WireClient& client) {
  client.ClearReceived();
  client.SendData({0x1B, '!', 'e', '0', 'C'});
  ReceiveUntil(
      client, [&] { return client.Data().size() >= 28; }, seconds(2));
  return std::string(client.Data().begin(), client.Data().end());
}

TEST(EmulatorProgram, HelpPrintsTheUsage) {
  const ProcessResult run = Emulator({"--help"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.standard_output, server::UsageText());
  EXPECT_EQ(run.standard_error, "");
}

TEST(EmulatorProgram, BadOptionIsReportedOnStandardError) {
  const ProcessResult run = Emulator({"--baud", "fast"});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.standard_output, "");
  EXPECT_EQ(run.standard_error,
            "tovrel-emulator: invalid value 'fast' for '--baud' (expected a rate from 1 to "
            "4000000)\nTry 'tovrel-emulator --help'.\n");
}

TEST(EmulatorProgram, AddressThatCannotBeUsed) {
  EmulatorProcess first({});
  ASSERT_NE(first.Port(), 0);
  const std::string taken = "127.0.0.1:" + std::to_string(first.Port());
  ProcessResult run = Emulator({"--listen", taken});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.standard_output, "");
  EXPECT_EQ(run.standard_error,
            "tovrel-emulator: cannot listen on " + taken + ": Address already in use\n");
  // An address of no interface of this machine (TEST-NET-1).
  run = Emulator({"--listen", "192.0.2.1:0"});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.standard_error,
            "tovrel-emulator: cannot listen on 192.0.2.1:0: Cannot assign requested address\n");
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheServerCleanly) {
  EmulatorProcess emulator({});
  ASSERT_NE(emulator.Port(), 0);
  auto client = Connect(emulator.Port());
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(emulator.WaitForLog(" connected\n", seconds(2)));
  emulator.Process().Signal(GetParam());
  const ProcessResult run = emulator.Process().Wait(seconds(3));
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.standard_output.find(" cut off after "), std::string::npos) << run.standard_output;
  EXPECT_EQ(run.standard_output.substr(run.standard_output.size() - 24),
            "tovrel-emulator stopped\n");
  EXPECT_EQ(run.standard_error, "");
  EXPECT_FALSE(ReceiveUntil(
      *client, [] { return false; }, seconds(1)));  // connection closed
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         NameBy([](int signal_number) {
                           return std::string(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
                         }));

// How many times the process has been switched out (each sleep that ended counts one).
long ContextSwitches(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  long total = 0;
  for (std::string line; std::getline(status, line);) {
    const std::size_t colon = line.find(':');
    if (line.find("ctxt_switches:") != std::string::npos && colon != std::string::npos) {
      total += std::strtol(line.c_str() + colon + 1, nullptr, 10);
    }
  }
  return total;
}

// Nothing to do while the client is silent and the line idle: the server sleeps until the client
// sends, instead of looking at the session every millisecond.
TEST(EmulatorProgram, SleepsWhileItsClientIsSilent) {
  EmulatorProcess emulator({});
  ASSERT_NE(emulator.Port(), 0);
  auto client = Connect(emulator.Port());
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(emulator.WaitForLog(" connected\n", seconds(2)));
  ReceiveUntil(
      *client, [] { return false; }, milliseconds(100));  // the negotiation
  const long before = ContextSwitches(emulator.Process().Pid());
  std::this_thread::sleep_for(seconds(1));
  const long woken = ContextSwitches(emulator.Process().Pid()) - before;
  EXPECT_LT(woken, 10) << "woken " << woken << " times in a second";
  EXPECT_EQ(Inquire(*client), "\x1b!e1021VELMOR TP-200 FW 1.04");
}

TEST(EmulatorProgram, ServesOneClientAtATimeWithADeviceAtPowerOn) {
  EmulatorProcess emulator({});
  ASSERT_NE(emulator.Port(), 0);
  auto first = Connect(emulator.Port());
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(emulator.WaitForLog(" connected\n", seconds(2)));
  EXPECT_EQ(Inquire(*first), "\x1b!e1021VELMOR TP-200 FW 1.04");
  // An update of nothing: the device then reports its new identification.
  first->ClearReceived();
  first->SendData({0x1B, '!', 'g', '0', '0', 'C'});
  EXPECT_TRUE(ReceiveUntil(
      *first, [&] { return first->Data().size() >= 6; }, seconds(2)));
  EXPECT_EQ(Inquire(*first), "\x1b!e1021VELMOR TP-200 FW 1.05");

  auto second = Connect(emulator.Port());
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(ReceiveUntil(
      *second, [] { return false; }, seconds(2)));  // closed at once
  EXPECT_TRUE(emulator.WaitForLog(" refused: the port is in use\n", seconds(2)));

  first->Close();
  EXPECT_TRUE(emulator.WaitForLog(" disconnected after ", seconds(2)));
  auto third = Connect(emulator.Port());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(Inquire(*third), "\x1b!e1021VELMOR TP-200 FW 1.04");
  emulator.Process().Signal(SIGTERM);
  const ProcessResult run = emulator.Process().Wait(seconds(3));
  EXPECT_NE(run.standard_output.find(": 3 commands, image 0 of 0 bytes, complete\n"),
            std::string::npos)
      << run.standard_output;
}

TEST(EmulatorProgram, OnceWithoutAnImageExitsWithOne) {
  EmulatorProcess emulator({"--once"});
  ASSERT_NE(emulator.Port(), 0);
  auto client = Connect(emulator.Port());
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Inquire(*client), "\x1b!e1021VELMOR TP-200 FW 1.04");
  client->Close();
  const ProcessResult run = emulator.Process().Wait(seconds(3));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.standard_output.find(" disconnected after "), std::string::npos);
  EXPECT_NE(run.standard_output.find(": 1 commands, no image\n"), std::string::npos)
      << run.standard_output;
  // The client never touched DTR: the port's own default.
  EXPECT_NE(run.standard_output.find(" left the line at 38400 baud, DTR on\n"), std::string::npos)
      << run.standard_output;
}

TEST(EmulatorProgram, AnswersPyserial) {
  if (std::system((std::string(kPython) + " -c 'import serial.rfc2217' 2>/dev/null").c_str()) !=
      0) {
    GTEST_SKIP() << kPython << " cannot import serial.rfc2217";
  }
  EmulatorProcess emulator({"--once", "--product-id", "PYSERIAL \xff CHECK"});
  ASSERT_NE(emulator.Port(), 0);
  const ProcessResult run = RunProcess(
      {kPython, TOVREL_PYSERIAL_SCRIPT, std::to_string(emulator.Port()), "PYSERIAL \xff CHECK"},
      seconds(20));
  EXPECT_EQ(run.exit_status, 0) << run.standard_output << run.standard_error;
  const ProcessResult server = emulator.Process().Wait(seconds(5));
  EXPECT_EQ(server.exit_status, 1);  // no image
  EXPECT_NE(server.standard_output.find(": 1 commands, no image\n"), std::string::npos)
      << server.standard_output;
}

}  // namespace
}  // namespace tovrel::testing
