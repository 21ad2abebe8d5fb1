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

SysResult FakeSerialApi::Record(const std::string& call, PortHandle port) {
  calls.push_back(call);
  if (!open_ || port != kHandle) {
    return SysResult::Failed(6);  // an invalid handle
  }
  return SysResult::Ok();
}

SysResult FakeSerialApi::RecordOrFail(const std::string& call, PortHandle port,
                                      bool scripted_failure) {
  const SysResult recorded = Record(call, port);
  return recorded && scripted_failure ? Failed() : recorded;
}

SysResult FakeSerialApi::Failed() const {
  return SysResult::Failed(error_number);
}

SysResult FakeSerialApi::OpenPort(const char* name, PortHandle& port) {
  port = INVALID_HANDLE_VALUE;
  calls.push_back("OpenPort");
  opened_name = name != nullptr ? name : "";
  if (fail_open) {
    return Failed();
  }
  open_ = true;
  state.XonChar = 0x7F;  // a driver's own values, to show which members the ports set
  state.XoffChar = 0x7E;
  state.XonLim = 2048;
  state.XoffLim = 512;
  state.EvtChar = 'E';
  state.flags = 0xFFFFFFFFu;
  port = kHandle;
  return SysResult::Ok();
}

SysResult FakeSerialApi::SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                     std::uint32_t output_bytes) {
  return Record("SetupQueues " + std::to_string(input_bytes) + " " + std::to_string(output_bytes),
                port);
}

SysResult FakeSerialApi::GetLineState(PortHandle port, DCB& out) {
  const SysResult result = RecordOrFail("GetLineState", port, fail_get_state);
  if (result) {
    out = state;
  }
  return result;
}

SysResult FakeSerialApi::SetLineState(PortHandle port, const DCB& in) {
  if (const SysResult recorded = Record("SetLineState " + std::to_string(in.BaudRate), port);
      !recorded) {
    return recorded;
  }
  ++set_state_calls_;
  if (fail_set_state_from_call != 0 && set_state_calls_ >= fail_set_state_from_call) {
    return Failed();
  }
  state = in;
  return SysResult::Ok();
}

SysResult FakeSerialApi::GetTimeouts(PortHandle port, COMMTIMEOUTS& out) {
  const SysResult result = RecordOrFail("GetTimeouts", port, fail_get_timeouts);
  if (result) {
    out = timeouts;
  }
  return result;
}

SysResult FakeSerialApi::SetTimeouts(PortHandle port, const COMMTIMEOUTS& in) {
  if (const SysResult recorded = Record("SetTimeouts", port); !recorded) {
    return recorded;
  }
  ++set_timeouts_calls_;
  if (fail_set_timeouts_from_call != 0 && set_timeouts_calls_ >= fail_set_timeouts_from_call) {
    return Failed();
  }
  timeouts = in;
  return SysResult::Ok();
}

SysResult FakeSerialApi::GetModemStatus(PortHandle port, std::uint32_t& status) {
  if (const SysResult result = RecordOrFail("GetModemStatus", port, fail_modem_status); !result) {
    return result;
  }
  bool cts = true;
  if (!cts_sequence.empty()) {
    cts = cts_sequence.front();
    if (cts_sequence.size() > 1) {
      cts_sequence.pop_front();
    }
  }
  status = cts ? MS_CTS_ON | MS_DSR_ON : MS_DSR_ON;
  return SysResult::Ok();
}

SysResult FakeSerialApi::ClearDtr(PortHandle port) {
  return Record("ClearDtr", port);
}

SysResult FakeSerialApi::Purge(PortHandle port, std::uint32_t flags) {
  if (const SysResult recorded = Record("Purge " + std::to_string(flags), port); !recorded) {
    return recorded;
  }
  if ((flags & PURGE_RXCLEAR) != 0) {
    incoming.clear();
  }
  return SysResult::Ok();
}

SysResult FakeSerialApi::ClearErrors(PortHandle port) {
  return Record("ClearErrors", port);
}

SysResult FakeSerialApi::ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                                   std::uint32_t& bytes_read) {
  bytes_read = 0;
  if (const SysResult result = RecordOrFail("ReadBytes " + std::to_string(count), port, fail_read);
      !result) {
    return result;
  }
  const std::size_t n = std::min<std::size_t>(count, incoming.size());
  std::copy_n(incoming.begin(), n, buffer);
  incoming.erase(0, n);
  bytes_read = static_cast<std::uint32_t>(n);
  if (n < count) {
    // A short read lasts the whole time-out.
    clock_.Sleep(timeouts.ReadTotalTimeoutConstant + timeouts.ReadTotalTimeoutMultiplier * count);
  }
  return SysResult::Ok();
}

SysResult FakeSerialApi::WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                                    std::uint32_t& bytes_written) {
  bytes_written = 0;
  if (const SysResult recorded = Record("WriteBytes " + std::to_string(count), port); !recorded) {
    return recorded;
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
  return SysResult::Ok();
}

SysResult FakeSerialApi::Drain(PortHandle port) {
  return RecordOrFail("Drain", port, fail_drain);
}

SysResult FakeSerialApi::ClosePort(PortHandle port) {
  const SysResult ok = Record("ClosePort", port);
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
