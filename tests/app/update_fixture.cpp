#include "update_fixture.h"

#include <algorithm>

namespace tovrel::testing {

int UpdateHarness::Update(std::int32_t rate, const char* port) {
  device_config.initial_baud = static_cast<std::uint32_t>(rate);
  device_ = std::make_unique<EmulatedDevice>(device_config, device_faults);
  link_ = std::make_unique<SimulatedLink>(clock, *device_, EmulatedPortLinkConfig(), host_faults);
  files.on_close = [this] { Record("file closed"); };
  // A terminal's console writes through, so every message reaches the sink as it is printed.
  Console console(sink_, console_is_terminal);
  if (stop_at) {
    link_->SetInterruption(stop_);
  }
  UpdateEnvironment env{*link_,
                        clock,
                        console,
                        files,
                        stop_at ? static_cast<Interruption&>(stop_) : NoInterruption(),
                        diagnostics,
                        trace != nullptr ? *trace : NoTrace(),
                        station,
                        port_names != nullptr ? *port_names : UnchangedPortNames(),
                        &record};
  const std::string& firmware = firmware_argument.empty() ? files.path : firmware_argument;
  return RunUpdate(firmware.c_str(), port, rate, env);
}

void UpdateHarness::RecordingSink::Write(const char* bytes, std::size_t count) {
  text.append(bytes, count);
  writes.emplace_back(bytes, count);
  owner_.Record(std::string(bytes, count));
}

void UpdateHarness::Record(std::string what) {
  events.push_back(Event{std::move(what), link_ && link_->IsOpen(), files.IsOpen(), clock.Now()});
}

bool UpdateHarness::ScriptedStop::Requested() {
  if (!moment) {
    moment = owner_.stop_at(owner_);
  }
  return moment && owner_.clock.Now() >= *moment;
}

std::vector<std::string> UpdateHarness::CommandTexts() const {
  std::vector<std::string> texts;
  for (const ReceivedCommand& command : device_->Commands()) {
    texts.emplace_back(command.bytes.begin(), command.bytes.end());
  }
  return texts;
}

std::vector<std::uint32_t> UpdateHarness::CommandSpeeds() const {
  std::vector<std::uint32_t> speeds;
  for (const ReceivedCommand& command : device_->Commands()) {
    speeds.push_back(command.baud);
  }
  return speeds;
}

int UpdateHarness::ClosePortCalls() const {
  return static_cast<int>(
      std::count_if(link_->Calls().begin(), link_->Calls().end(),
                    [](const HostCall& c) { return c.op == HostOp::kClosePort; }));
}

const Event* UpdateHarness::FindEvent(const std::string& text) const {
  for (const Event& event : events) {
    if (event.what.find(text) != std::string::npos) {
      return &event;
    }
  }
  return nullptr;
}

std::string UpdateHarness::Image(std::size_t bytes) {
  std::string image(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) {
    // Every byte value, ESC and NUL included, must reach the device unchanged.
    image[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
  }
  return image;
}

}  // namespace tovrel::testing
