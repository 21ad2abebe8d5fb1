// A whole update against the emulated device on a virtual clock, with the console captured and
// the order of messages, port release and file close recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/update_sequence.h"
#include "core/clock.h"
#include "emulator/emulated_device.h"
#include "emulator/simulated_link.h"
#include "serial/interruption.h"
#include "serial/trace.h"
#include "tests/support/memory_file_system.h"

namespace tovrel::testing {

// Each console write and each file close, with whether the port and the file were still open.
struct Event {
  std::string what;  // the text printed, or "file closed"
  bool port_open;
  bool file_open;
  Clock::Micros at;
};

class UpdateHarness {
 public:
  UpdateHarness() = default;
  UpdateHarness(const UpdateHarness&) = delete;
  UpdateHarness& operator=(const UpdateHarness&) = delete;

  VirtualClock clock;
  DeviceConfig device_config;
  DeviceFaults device_faults;
  HostFaults host_faults;
  MemoryFileSystem files;
  std::vector<Event> events;
  // The firmware file name given to the run; the file system's own path when empty.
  std::string firmware_argument;
  // A terminal's console writes through; otherwise it writes as it does to a file or pipe.
  bool console_is_terminal = true;
  // The moment a stop request arrives, once this can tell it (nullopt: not known yet). The run
  // sees the request whenever it looks for one from that moment on.
  std::function<std::optional<Clock::Micros>(UpdateHarness&)> stop_at;
  // What the run writes to standard error.
  StringSink diagnostics;
  // The wire trace the run writes to; none when null.
  Trace* trace = nullptr;
  // The station's variables, the port names (as given when null), the record the run fills in.
  StationVariables station;
  PortNames* port_names = nullptr;
  RunRecord record;

  // Builds the device and link as configured, then runs one update at `rate`.
  int Update(std::int32_t rate, const char* port = "sim://");

  EmulatedDevice& Device() { return *device_; }
  SimulatedLink& Link() { return *link_; }
  const std::string& Output() const { return sink_.text; }
  // Each piece of output in the order it reached the console's sink.
  const std::vector<std::string>& Writes() const { return sink_.writes; }
  // The commands the device received, as text, in order.
  std::vector<std::string> CommandTexts() const;
  std::vector<std::uint32_t> CommandSpeeds() const;
  int ClosePortCalls() const;
  const Event* FindEvent(const std::string& text) const;
  // When the stop request arrived, once the run has seen it.
  std::optional<Clock::Micros> StopSeenFrom() const { return stop_.moment; }

  static std::string Image(std::size_t bytes);

 private:
  class RecordingSink final : public OutputSink {
   public:
    explicit RecordingSink(UpdateHarness& owner) : owner_(owner) {}
    void Write(const char* bytes, std::size_t count) override;
    std::string text;
    std::vector<std::string> writes;

   private:
    UpdateHarness& owner_;
  };

  void Record(std::string what);

  class ScriptedStop final : public Interruption {
   public:
    explicit ScriptedStop(UpdateHarness& owner) : owner_(owner) {}
    bool Requested() override;
    std::optional<Clock::Micros> moment;

   private:
    UpdateHarness& owner_;
  };

  RecordingSink sink_{*this};
  ScriptedStop stop_{*this};
  std::unique_ptr<EmulatedDevice> device_;
  std::unique_ptr<SimulatedLink> link_;
};

class UpdateFixture : public ::testing::Test, public UpdateHarness {};

}  // namespace tovrel::testing
