#include "fake_serial_api.h"

#include <algorithm>

namespace tovrel::testing {

int FakeSerialApi::CountCalls(const std::string& prefix) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.compare(0, prefix.size(), prefix) == 0;
  }));
}

int FakeSerialApi::IndexOf(const std::string& prefix) const {
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].compare(0, prefix.size(), prefix) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool FakeSerialApi::Record(const std::string& call, PortHandle port) {
  calls.push_back(call);
  if (!open_ || port != kHandle) {
    last_error_ = 6;  // an invalid handle
    return false;
  }
  return true;
}

bool FakeSerialApi::Failed() {
  last_error_ = error_number;
  return false;
}

PortHandle FakeSerialApi::OpenPort(const char* name) {
  calls.push_back("OpenPort");
  opened_name = name != nullptr ? name : "";
  if (fail_open) {
    Failed();
    return INVALID_HANDLE_VALUE;
  }
  open_ = true;
  state.XonChar = 0x7F;  // a driver's own values, to show which members the ports set
  state.XoffChar = 0x7E;
  state.XonLim = 2048;
  state.XoffLim = 512;
  state.EvtChar = 'E';
  state.flags = 0xFFFFFFFFu;
  return kHandle;
}

bool FakeSerialApi::SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                std::uint32_t output_bytes) {
  return Record("SetupQueues " + std::to_string(input_bytes) + " " + std::to_string(output_bytes),
                port);
}

bool FakeSerialApi::GetLineState(PortHandle port, DCB& out) {
  if (!Record("GetLineState", port)) {
    return false;
  }
  if (fail_get_state) {
    return Failed();
  }
  out = state;
  return true;
}

bool FakeSerialApi::SetLineState(PortHandle port, const DCB& in) {
  if (!Record("SetLineState " + std::to_string(in.BaudRate), port)) {
    return false;
  }
  ++set_state_calls_;
  if (fail_set_state_from_call != 0 && set_state_calls_ >= fail_set_state_from_call) {
    return Failed();
  }
  state = in;
  return true;
}

bool FakeSerialApi::GetTimeouts(PortHandle port, COMMTIMEOUTS& out) {
  if (!Record("GetTimeouts", port)) {
    return false;
  }
  if (fail_get_timeouts) {
    return Failed();
  }
  out = timeouts;
  return true;
}

bool FakeSerialApi::SetTimeouts(PortHandle port, const COMMTIMEOUTS& in) {
  if (!Record("SetTimeouts", port)) {
    return false;
  }
  ++set_timeouts_calls_;
  if (fail_set_timeouts_from_call != 0 && set_timeouts_calls_ >= fail_set_timeouts_from_call) {
    return Failed();
  }
  timeouts = in;
  return true;
}

bool FakeSerialApi::GetModemStatus(PortHandle port, std::uint32_t& status) {
  if (!Record("GetModemStatus", port)) {
    return false;
  }
  if (fail_modem_status) {
    return Failed();
  }
  bool cts = true;
  if (!cts_sequence.empty()) {
    cts = cts_sequence.front();
    if (cts_sequence.size() > 1) {
      cts_sequence.pop_front();
    }
  }
  status = cts ? MS_CTS_ON | MS_DSR_ON : MS_DSR_ON;
  return true;
}

bool FakeSerialApi::ClearDtr(PortHandle port) {
  return Record("ClearDtr", port);
}

bool FakeSerialApi::Purge(PortHandle port, std::uint32_t flags) {
  if (!Record("Purge " + std::to_string(flags), port)) {
    return false;
  }
  if ((flags & PURGE_RXCLEAR) != 0) {
    incoming.clear();
  }
  return true;
}

bool FakeSerialApi::ClearErrors(PortHandle port) {
  return Record("ClearErrors", port);
}

bool FakeSerialApi::ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t& bytes_read) {
  bytes_read = 0;
  if (!Record("ReadBytes " + std::to_string(count), port)) {
    return false;
  }
  if (fail_read) {
    return Failed();
  }
  const std::size_t n = std::min<std::size_t>(count, incoming.size());
  std::copy_n(incoming.begin(), n, buffer);
  incoming.erase(0, n);
  bytes_read = static_cast<std::uint32_t>(n);
  if (n < count) {
    // A short read lasts the whole time-out.
    clock_.Sleep(timeouts.ReadTotalTimeoutConstant + timeouts.ReadTotalTimeoutMultiplier * count);
  }
  return true;
}

bool FakeSerialApi::WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                               std::uint32_t& bytes_written) {
  bytes_written = 0;
  if (!Record("WriteBytes " + std::to_string(count), port)) {
    return false;
  }
  ++write_calls_;
  write_sizes.push_back(count);
  if (write_calls_ == fail_write_on_piece) {
    return Failed();
  }
  bytes_written = write_calls_ == short_write_on_piece ? count - 1 : count;
  written.append(reinterpret_cast<const char*>(bytes), bytes_written);
  if (!replies.empty()) {
    incoming += replies.front();
    replies.pop_front();
  }
  return true;
}

bool FakeSerialApi::Drain(PortHandle port) {
  if (!Record("Drain", port)) {
    return false;
  }
  if (fail_drain) {
    return Failed();
  }
  return true;
}

bool FakeSerialApi::ClosePort(PortHandle port) {
  const bool ok = Record("ClosePort", port);
  open_ = false;
  return ok;
}

WaitResult FakeSerialApi::WaitForLock(MutexHandle lock, std::uint32_t milliseconds) {
  if (!scripted_waits.empty()) {
    const WaitResult result = scripted_waits.front();
    scripted_waits.pop_front();
    if (result == WaitResult::kTimeout) {
      ++lock_waits;
      clock_.Sleep(milliseconds);
    }
    return result;
  }
  // Never block: a lock held by another thread times out at once on the virtual clock.
  const WaitResult result = SerialApiWithPortableLocks::WaitForLock(lock, 0);
  if (result == WaitResult::kTimeout) {
    ++lock_waits;
    clock_.Sleep(milliseconds);
  }
  return result;
}

}  // namespace tovrel::testing
