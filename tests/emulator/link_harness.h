// A host end for the link tests: a virtual clock, one emulated device, the link to it and an
// open port configured the way the device port configures it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/emulated_device.h"
#include "emulator/simulated_link.h"
#include "tests/support/line_states.h"
#include "tests/support/sys_result_checks.h"

namespace tovrel {

inline std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

inline std::string Text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

struct LinkHarness {
  explicit LinkHarness(DeviceConfig config = {}, DeviceFaults faults = {},
                       LinkConfig link_config = {}, HostFaults host_faults = {})
      : device(std::move(config), std::move(faults)),
        link(clock, device, link_config, host_faults) {}

  // Opens the port and sets speed, flags and time-outs (read constant, write constant and
  // multiplier, in milliseconds).
  void Open(std::uint32_t baud, std::uint32_t flags = kDeviceFlags,
            std::uint32_t read_constant_ms = 15000) {
    ASSERT_TRUE(Succeeded(link.OpenPort("COM2", port)));
    SetSpeed(baud, flags);
    ASSERT_TRUE(
        link.SetTimeouts(port, ReadTimeouts(0, 0, read_constant_ms, WriteTimeouts(200, 10000))));
  }

  void SetSpeed(std::uint32_t baud, std::uint32_t flags = kDeviceFlags) {
    DCB state;
    ASSERT_TRUE(link.GetLineState(port, state));
    state.BaudRate = baud;
    state.flags = flags;
    ASSERT_TRUE(link.SetLineState(port, state));
  }

  void SetTimeouts(const COMMTIMEOUTS& t) { ASSERT_TRUE(link.SetTimeouts(port, t)); }

  std::uint32_t Write(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t written = 0;
    EXPECT_TRUE(
        link.WriteBytes(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
    return written;
  }
  std::uint32_t Write(const std::string& text) { return Write(Bytes(text)); }

  std::vector<std::uint8_t> Read(std::uint32_t count) {
    std::vector<std::uint8_t> buffer(count);
    std::uint32_t got = 0;
    EXPECT_TRUE(link.ReadBytes(port, buffer.data(), count, got));
    buffer.resize(got);
    return buffer;
  }

  bool Cts() {
    std::uint32_t status = 0;
    EXPECT_TRUE(link.GetModemStatus(port, status));
    return (status & MS_CTS_ON) != 0;
  }

  VirtualClock clock;
  EmulatedDevice device;
  SimulatedLink link;
  PortHandle port = INVALID_HANDLE_VALUE;
};

}  // namespace tovrel
