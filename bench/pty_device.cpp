// The emulated device on the master side of a pseudo-terminal, for the line-pace benchmark:
// tovrel-bench-device <master fd> <image file to write at the end>. The line's pace is the
// preloaded shim's business on the host side, so here every byte is taken the moment it arrives
// and replies go out at once; the device never holds CTS (no busy time after a piece), since
// the benchmark measures the host alone. Runs until SIGTERM or until the host side has closed
// for good, then saves the image it received.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "core/clock.h"
#include "emulator/emulated_device.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void OnStop(int) {
  stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <master fd> <image file>\n", argv[0]);
    return 2;
  }
  const int master = std::atoi(argv[1]);
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigaction(SIGTERM, &action, nullptr);

  tovrel::SystemClock clock;
  tovrel::DeviceConfig config;
  config.busy_per_piece_us = 0;
  tovrel::EmulatedDevice device(config);
  std::uint8_t buffer[4096];
  while (stop_requested == 0) {
    pollfd entry{master, POLLIN, 0};
    const int ready = poll(&entry, 1, 100);
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (ready > 0) {
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got < 0 && errno == EIO) {
        usleep(1000);  // no host has the terminal open yet, or it is between runs
        continue;
      }
      if (got <= 0) {
        break;
      }
      for (ssize_t i = 0; i < got; ++i) {
        device.ReceiveByte(buffer[i], device.Format(), clock.Now());
      }
    }
    std::vector<std::uint8_t> replies = device.TakeAllOutput(clock.Now());
    if (!replies.empty() && write(master, replies.data(), replies.size()) < 0) {
      break;
    }
  }
  const auto& image = device.Image();
  std::ofstream(argv[2], std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  return 0;
}
