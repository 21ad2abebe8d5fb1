// The real tovrel against the RFC 2217 servers users run in front of their devices, each serving
// a pseudo-terminal whose far end tovrel-pty-device plays: pyserial's PortManager (wrapped by
// pyserial_pty_server.py, driving the terminal through pyserial's own serial port) and ser2net
// itself. Both run with the project's modem-line helper preloaded, so that their modem-line
// calls on the terminal read the device's CTS and set its DTR and RTS: the device's pacing
// reaches tovrel through each server's own modem-state reports (ser2net looks at the lines once
// a second, the pyserial loop every 5 ms). The device logs each command it receives with the
// port's settings as they were then; the settings of the last command are the far port's final
// state, since ser2net puts its own back as it closes the port.
//
// Real time: each update has 14 s of fixed pauses. A server missing from the machine skips.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/case_name.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

namespace tovrel::testing {
namespace {

using std::chrono::seconds;

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kSer2netProgram[] = "/usr/sbin/ser2net";
constexpr char kTerminalBanner[] = "tovrel-pty-device on ";

enum class Server { kPyserial, kSer2net };

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "tovrel-servers-" + std::to_string(::getpid()) + "-" + name;
}

// The files one case makes, removed when it ends.
struct CaseFiles {
  explicit CaseFiles(std::string case_name) : name(std::move(case_name)) {}
  ~CaseFiles() {
    for (const char* suffix : {".bin", ".lines", ".saved", ".yaml", ".pid"}) {
      std::remove(TempPath(name + suffix).c_str());
    }
  }
  CaseFiles(const CaseFiles&) = delete;
  CaseFiles& operator=(const CaseFiles&) = delete;

  std::string name;
};

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (line.compare(0, start.size(), start) == 0) {
      lines.push_back(line.substr(start.size()));
    }
  }
  return lines;
}

// A TCP port nobody listens on now, for a server that has to be told its port.
std::uint16_t FreePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

// True once something listens on 127.0.0.1:`port`, read from the kernel's table (connecting to
// find out would open the server's serial port).
bool WaitForListener(std::uint16_t port, std::chrono::milliseconds limit) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
  const auto deadline = SteadyClock::now() + limit;
  while (SteadyClock::now() < deadline) {
    if (ReadWholeFile("/proc/net/tcp").find(wanted) != std::string::npos) {
      return true;
    }
    ::usleep(20'000);
  }
  return false;
}

// The device on its terminal: --once, so that it ends when the server closes the port.
class DeviceOnTerminal {
 public:
  explicit DeviceOnTerminal(const std::string& name, std::vector<std::string> options)
      : lines_(TempPath(name + ".lines")), image_(TempPath(name + ".saved")) {
    std::remove(image_.c_str());
    std::vector<std::string> command = {TOVREL_PTY_DEVICE_BINARY, "--modem-lines", lines_, "--once",
                                        "--save-image",           image_};
    command.insert(command.end(), options.begin(), options.end());
    if (!process_.Start(command)) {
      return;
    }
    process_.WaitForOutput(
        [](const std::string& output) {
          const std::size_t at = output.find(kTerminalBanner);
          return at != std::string::npos && output.find('\n', at) != std::string::npos;
        },
        seconds(5));
    const std::string& output = process_.Output();
    const std::size_t at = output.find(kTerminalBanner);
    if (at != std::string::npos) {
      const std::size_t start = at + sizeof kTerminalBanner - 1;
      terminal_ = output.substr(start, output.find('\n', start) - start);
    }
  }

  const std::string& Terminal() const { return terminal_; }
  // What a server needs in its environment to reach the device's lines.
  std::vector<std::string> HelperEnvironment() const {
    return {"/usr/bin/env", std::string("LD_PRELOAD=") + TOVREL_MODEM_LINES_HELPER,
            "TOVREL_MODEM_LINES=" + lines_};
  }
  const std::string& SavedImage() const { return image_; }
  ChildProcess& Process() { return process_; }

 private:
  std::string lines_;
  std::string image_;
  std::string terminal_;
  ChildProcess process_;
};

// The RFC 2217 server in front of the device's terminal.
class PortServer {
 public:
  PortServer(Server kind, const std::string& name, const DeviceOnTerminal& device) {
    std::vector<std::string> command = device.HelperEnvironment();
    if (kind == Server::kPyserial) {
      command.insert(command.end(),
                     {kPython, "-u", TOVREL_PYSERIAL_PTY_SERVER_SCRIPT, device.Terminal()});
      if (!process_.Start(command)) {
        return;
      }
      process_.WaitForOutput(
          [](const std::string& output) { return output.find('\n') != std::string::npos; },
          seconds(10));
      int port = 0;
      if (std::sscanf(process_.Output().c_str(), "PORT %d", &port) == 1) {
        port_ = static_cast<std::uint16_t>(port);
      }
      return;
    }
    // The entry the README gives, on a port of its own and for the device's terminal.
    const std::uint16_t port = FreePort();
    const std::string config = TempPath(name + ".yaml");
    std::ofstream(config) << "connection: &device\n"
                             "  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                          << port
                          << "\n"
                             "  enable: on\n"
                             "  options:\n"
                             "    kickolduser: true\n"
                             "  connector: serialdev,"
                          << device.Terminal() << ",38400n81,rtscts\n";
    command.insert(command.end(),
                   {kSer2netProgram, "-n", "-u", "-c", config, "-P", TempPath(name + ".pid")});
    if (process_.Start(command) && WaitForListener(port, seconds(10))) {
      port_ = port;
    }
  }

  // 0 when it did not come up.
  std::uint16_t Port() const { return port_; }
  std::string PortName() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  ChildProcess process_;  // killed, if still running, when the test ends
  std::uint16_t port_ = 0;
};

bool Available(Server server) {
  if (server == Server::kSer2net) {
    return ::access(kSer2netProgram, X_OK) == 0;
  }
  const std::string probe = std::string(kPython) + " -c 'import serial.rfc2217' >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

// What the device says of its far port, hardware flow control only, 8N1, DTR off, RTS on.
std::string DevicePort(std::uint32_t baud) {
  return "baud=" + std::to_string(baud) + " frame=8N1 rtscts=1 ixon=0 ixoff=0 dtr=0 rts=1";
}

struct ServerCase {
  const char* name;
  Server server;
  std::uint32_t baud;         // the device's and the requested rate
  bool refuse_start = false;  // the device refuses the start-programming command
};

using tovrel::case_printing::operator<<;

class ThroughRealServers : public ::testing::TestWithParam<ServerCase> {};

TEST_P(ThroughRealServers, UpdateLeavesTheFarPortAsTheDeviceNeedsIt) {
  const ServerCase& c = GetParam();
  if (!Available(c.server)) {
    GTEST_SKIP() << "the server is not installed here";
  }
  const CaseFiles files(c.name);
  const std::string image = WriteTestImage(TempPath(files.name + ".bin"), 2048);
  std::vector<std::string> device_options = {"--baud", std::to_string(c.baud)};
  if (c.refuse_start) {
    device_options.insert(device_options.end(), {"--wrong-reply", "start"});
  }
  DeviceOnTerminal device(c.name, device_options);
  ASSERT_FALSE(device.Terminal().empty()) << device.Process().Output();
  PortServer server(c.server, c.name, device);
  ASSERT_NE(server.Port(), 0) << "the server did not come up";

  const ProcessResult run =
      RunProcess({TOVREL_BINARY, image, server.PortName(), std::to_string(c.baud)}, seconds(90));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.standard_error, "");
  // The device ends once the server has closed its port.
  const ProcessResult far_end = device.Process().Wait(seconds(15));
  const std::vector<std::string> commands = LinesStartingWith(far_end.standard_output, "command ");
  ASSERT_FALSE(commands.empty()) << far_end.standard_output;
  const std::string at_38400 = " at " + DevicePort(38400);

  if (c.refuse_start) {
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.standard_output,
              "Product ID: VELMOR TP-200 FW 1.04\n"
              "Invalid response from Velmor\n");
    EXPECT_EQ(commands.back(), "ESC!g02048C" + at_38400);
    EXPECT_EQ(far_end.exit_status, 1);
    EXPECT_NE(far_end.standard_output.find("2 commands, no image"), std::string::npos)
        << far_end.standard_output;
    return;
  }
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.standard_output, kTwoKibUpdateOutput);
  EXPECT_EQ(far_end.exit_status, 0) << far_end.standard_output;
  EXPECT_EQ(ReadWholeFile(device.SavedImage()), ReadWholeFile(image))
      << "the image arrived altered";
  // The image goes at 38400; the port ends at the requested rate, with DTR off since the
  // update's end and RTS raised for the handshake.
  EXPECT_EQ(commands.size(), c.baud == 38400 ? 3u : 5u) << far_end.standard_output;
  EXPECT_NE(std::find(commands.begin(), commands.end(), "ESC!g02048C" + at_38400), commands.end())
      << far_end.standard_output;
  EXPECT_EQ(commands.back(), "ESC!e0C at " + DevicePort(c.baud));
  // The server asked the device's lines for CTS through the helper.
  EXPECT_EQ(far_end.standard_output.find("modem lines read 0 times"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ThroughRealServers,
    ::testing::Values(ServerCase{"PyserialAt38400", Server::kPyserial, 38400},
                      ServerCase{"PyserialAt115200", Server::kPyserial, 115200},
                      ServerCase{"PyserialStartRefused", Server::kPyserial, 38400, true},
                      ServerCase{"Ser2netAt38400", Server::kSer2net, 38400},
                      ServerCase{"Ser2netAt115200", Server::kSer2net, 115200},
                      ServerCase{"Ser2netStartRefused", Server::kSer2net, 38400, true}),
    CaseName());

}  // namespace
}  // namespace tovrel::testing
