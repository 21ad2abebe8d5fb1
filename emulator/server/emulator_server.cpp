#include "emulator/server/emulator_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>

#include "emulator/server/client_session.h"
#include "emulator/server/tcp_listener.h"

namespace tovrel::server {
namespace {

// How long one wait for a new client lasts before the stop request is looked at again.
constexpr std::uint32_t kAcceptWaitMs = 100;
// The longest wait of one session step: the delay with which CTS changes reach the client.
constexpr std::uint32_t kStepWaitMs = 1;

struct SessionOutcome {
  bool complete = false;  // the device received every byte of an announced image
  bool stopped = false;   // a stop request ended the session
};

std::string ErrorText(std::uint32_t error) {
  return std::strerror(static_cast<int>(error));
}

// True when an update was started during the session, so that there is an image to keep.
bool UpdateStarted(const EmulatedDevice& device) {
  return device.ReceivingImage() || device.ProgrammingComplete();
}

std::string Describe(const EmulatedDevice& device) {
  std::string text = std::to_string(device.CommandCount()) + " commands, ";
  if (!UpdateStarted(device)) {
    return text + "no image";
  }
  return text + "image " + std::to_string(device.Image().size()) + " of " +
         std::to_string(device.AnnouncedImageBytes()) + " bytes, " +
         (device.ProgrammingComplete() ? "complete" : "incomplete");
}

void SaveImage(const std::string& path, const EmulatedDevice& device, std::ostream& out,
               std::ostream& err) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const auto& image = device.Image();
  if (file) {
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    file.close();
  }
  if (!file) {
    err << kProgramName << ": cannot write the image to " << path << std::endl;
    return;
  }
  out << "image saved to " << path << " (" << image.size() << " bytes)" << std::endl;
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
                     const std::function<bool()>& stop_requested) {
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
    session.Step(kStepWaitMs);
    RefuseWaiting(listener, out);
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
  out << " after " << seconds << " s: " << Describe(device) << std::endl;
  if (options.save_image && UpdateStarted(device)) {
    SaveImage(*options.save_image, device, out, err);
  }
  return outcome;
}

}  // namespace

int RunEmulatorServer(const ServerOptions& options, Clock& clock, std::ostream& out,
                      std::ostream& err, const std::function<bool()>& stop_requested) {
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
    net::Socket client = net::AcceptConnection(listener, kAcceptWaitMs, error);
    if (!client.IsOpen()) {
      if (error != ETIMEDOUT && error != EINTR && error != ECONNABORTED) {
        // Out of descriptors or memory, say: tell, and give the system a moment.
        err << kProgramName << ": accepting a connection failed: " << ErrorText(error) << std::endl;
        clock.Sleep(kAcceptWaitMs);
      }
      continue;
    }
    const SessionOutcome outcome =
        Serve(std::move(client), listener, options, clock, out, err, stop_requested);
    complete = outcome.complete;
    stopped = outcome.stopped;
    if (options.once) {
      break;
    }
  }
  if (stopped) {
    out << kProgramName << " stopped" << std::endl;
  }
  if (options.once) {
    return complete ? kExitOk : kExitNoCompleteImage;
  }
  return kExitOk;
}

}  // namespace tovrel::server
