#include "emulator/server/emulator_server.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>

#include "emulator/device_report.h"
#include "emulator/server/client_session.h"
#include "emulator/server/tcp_listener.h"

namespace tovrel::server {
namespace {

// Without a stop descriptor, the longest wait before the stop request is looked at again.
constexpr Clock::Micros kStopLookMicros = 100'000;
// What a failing accept waits before it tries again.
constexpr std::uint32_t kAcceptRetryMs = 100;

struct SessionOutcome {
  bool complete = false;  // the device received every byte of an announced image
  bool stopped = false;   // a stop request ended the session
};

std::string ErrorText(std::uint32_t error) {
  return std::strerror(static_cast<int>(error));
}

// Sleeps until the session's connection or the listener is ready, the stop descriptor is
// readable, or `due` (on `clock`) has come; a signal that interrupts the wait ends it too.
// True when a connection is waiting on the listener.
bool AwaitActivity(int session_fd, short session_events, const net::Socket& listener,
                   int stop_descriptor, std::optional<Clock::Micros> due, Clock& clock) {
  pollfd entries[3];
  nfds_t count = 0;
  const auto add = [&](int fd, short events) { entries[count++] = pollfd{fd, events, 0}; };
  add(static_cast<int>(listener.Get()), POLLIN);
  if (session_fd >= 0) {
    add(session_fd, session_events);  // a failed or closed connection is reported regardless
  }
  if (stop_descriptor >= 0) {
    add(stop_descriptor, POLLIN);
  } else if (!due || *due > clock.Now() + kStopLookMicros) {
    due = clock.Now() + kStopLookMicros;
  }
  timespec wait{};
  const timespec* limit = nullptr;
  if (due) {
    const Clock::Micros now = clock.Now();
    const Clock::Micros left = *due > now ? *due - now : 0;
    wait.tv_sec = static_cast<time_t>(left / 1'000'000);
    wait.tv_nsec = static_cast<long>(left % 1'000'000) * 1000;
    limit = &wait;
  }
  return ::ppoll(entries, count, limit, nullptr) > 0 && entries[0].revents != 0;
}

// Takes any connection waiting while a client is being served and closes it at once: the port
// is in use, as a serial port already open elsewhere is.
void RefuseWaiting(const net::Socket& listener, std::ostream& out) {
  std::uint32_t error = 0;
  net::Socket extra = net::AcceptConnection(listener, 0, error);
  if (extra.IsOpen()) {
    out << "client " << PeerName(extra) << " refused: the port is in use" << std::endl;
  }
}

SessionOutcome Serve(net::Socket client, const net::Socket& listener, const ServerOptions& options,
                     Clock& clock, std::ostream& out, std::ostream& err,
                     const std::function<bool()>& stop_requested, int stop_descriptor) {
  const std::string peer = PeerName(client);
  out << "client " << peer << " connected" << std::endl;
  const Clock::Micros started = clock.Now();

  SessionOutcome outcome;
  ClientSession session(std::move(client), clock, options.config, options.faults);
  while (!session.Finished()) {
    if (stop_requested()) {
      outcome.stopped = true;
      break;
    }
    // Nothing is polled: the wait lasts until the client, a new connection or the line's next
    // change (a byte ends, CTS moves), and the step then takes in all that happened meanwhile.
    const bool waiting = AwaitActivity(session.WaitDescriptor(), session.WaitEvents(), listener,
                                       stop_descriptor, session.NextDueTime(), clock);
    session.Step(0);
    if (waiting) {
      RefuseWaiting(listener, out);
    }
  }

  const EmulatedDevice& device = session.Device();
  outcome.complete = device.ProgrammingComplete();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f",
                static_cast<double>(clock.Now() - started) / 1'000'000.0);
  out << "client " << peer;
  if (outcome.stopped && !session.ClientGone()) {
    out << " cut off";
  } else if (session.ConnectionError() != 0) {
    out << " lost (" << ErrorText(session.ConnectionError()) << ")";
  } else {
    out << " disconnected";
  }
  out << " after " << seconds << " s: " << DescribeDevice(device) << std::endl;
  if (options.save_image && UpdateStarted(device)) {
    SaveImage(*options.save_image, device, kProgramName, out, err);
  }
  // How the client left the port: a host that released it in order has dropped DTR.
  const DCB& line = session.Uart().LineState();
  out << "client " << peer << " left the line at " << line.BaudRate << " baud, DTR "
      << (DtrControlOf(line.flags) == DTR_CONTROL_DISABLE ? "off" : "on") << std::endl;
  return outcome;
}

}  // namespace

int RunEmulatorServer(const ServerOptions& options, Clock& clock, std::ostream& out,
                      std::ostream& err, const std::function<bool()>& stop_requested,
                      int stop_descriptor) {
  net::SocketLibrary library;
  std::uint16_t bound_port = 0;
  std::uint32_t error = 0;
  const net::Socket listener = ListenTcp(options.host, options.port, bound_port, error);
  if (!listener.IsOpen()) {
    err << kProgramName << ": cannot listen on " << JoinHostPort(options.host, options.port) << ": "
        << (error == ENOENT ? std::string("unknown host") : ErrorText(error)) << std::endl;
    return kExitUsage;
  }
  out << kProgramName << " listening on " << JoinHostPort(options.host, bound_port) << std::endl;

  bool complete = false;
  bool stopped = false;
  while (!stopped) {
    if (stop_requested()) {
      stopped = true;
      break;
    }
    if (!AwaitActivity(-1, 0, listener, stop_descriptor, std::nullopt, clock)) {
      continue;
    }
    net::Socket client = net::AcceptConnection(listener, 0, error);
    if (!client.IsOpen()) {
      if (error != ETIMEDOUT && error != EINTR && error != ECONNABORTED) {
        // Out of descriptors or memory, say: tell, and give the system a moment.
        err << kProgramName << ": accepting a connection failed: " << ErrorText(error) << std::endl;
        clock.Sleep(kAcceptRetryMs);
      }
      continue;
    }
    const SessionOutcome outcome = Serve(std::move(client), listener, options, clock, out, err,
                                         stop_requested, stop_descriptor);
    complete = outcome.complete;
    stopped = outcome.stopped;
    if (options.once) {
      break;
    }
  }
  if (stopped) {
    out << kProgramName << " stopped" << std::endl;
  }
  return options.once && !complete ? kExitNoCompleteImage : kExitOk;
}

}  // namespace tovrel::server
