#include "emulator_process.h"

#include <cstdlib>

namespace tovrel::testing {
namespace {

constexpr char kBanner[] = "tovrel-emulator listening on 127.0.0.1:";

}  // namespace

EmulatorProcess::EmulatorProcess(const std::vector<std::string>& options) {
  std::vector<std::string> command = {TOVREL_EMULATOR_BINARY, "--listen", "127.0.0.1:0"};
  command.insert(command.end(), options.begin(), options.end());
  if (!process_.Start(command)) {
    return;
  }
  const bool listening = process_.WaitForOutput(
      [](const std::string& output) {
        const std::size_t at = output.find(kBanner);
        return at != std::string::npos && output.find('\n', at) != std::string::npos;
      },
      std::chrono::seconds(5));
  if (listening) {
    const std::string& output = process_.Output();
    const long port =
        std::strtol(output.c_str() + output.find(kBanner) + sizeof kBanner - 1, nullptr, 10);
    port_ = static_cast<std::uint16_t>(port);
  }
}

bool EmulatorProcess::WaitForLog(const std::string& text, std::chrono::milliseconds limit) {
  return process_.WaitForOutput(
      [&](const std::string& output) { return output.find(text) != std::string::npos; }, limit);
}

}  // namespace tovrel::testing
