#include "serial/rfc2217/rfc2217_serial_api.h"

#include <cerrno>

#include "serial/rfc2217/client_connection.h"
#include "serial/rfc2217/connection_failure_reason.h"
#include "serial/rfc2217/port_name.h"

namespace tovrel {

// One open port. Its mutex makes each call on the port one whole exchange, as calls on one
// synchronous Win32 handle are.
struct Rfc2217SerialApi::Port {
  Port(const rfc2217::ClientOptions& options, Clock& clock) : connection(options, clock) {}

  std::mutex mutex;
  rfc2217::ClientConnection connection;
};

Rfc2217SerialApi::Rfc2217SerialApi(const rfc2217::ClientOptions& options) : options_(options) {}

Rfc2217SerialApi::~Rfc2217SerialApi() {
  std::lock_guard<std::mutex> guard(ports_mutex_);
  for (auto& entry : ports_) {
    std::lock_guard<std::mutex> port_guard(entry.second->mutex);
    entry.second->connection.Close();
  }
  ports_.clear();
}

std::string Rfc2217SerialApi::ErrorText(std::uint32_t number) {
  return rfc2217::ErrnoText(number);
}

std::string Rfc2217SerialApi::OpenFailureReason(const char* /*name*/, std::uint32_t number) {
  return rfc2217::ConnectionFailureReason(number);
}

std::shared_ptr<Rfc2217SerialApi::Port> Rfc2217SerialApi::Find(PortHandle handle) {
  std::lock_guard<std::mutex> guard(ports_mutex_);
  const auto found = ports_.find(handle);
  return found == ports_.end() ? nullptr : found->second;
}

SysResult Rfc2217SerialApi::OpenPort(const char* name, PortHandle& handle) {
  handle = INVALID_HANDLE_VALUE;
  rfc2217::RemotePortAddress address;
  if (!rfc2217::ParseRfc2217PortName(name, address)) {
    return SysResult::Failed(EINVAL);
  }
  if (!sockets_.Ready()) {
    return SysResult::Failed(sockets_.Error());
  }
  auto port = std::make_shared<Port>(options_, clock_);
  if (const SysResult opened = port->connection.Open(address); !opened) {
    return opened;
  }
  std::lock_guard<std::mutex> guard(ports_mutex_);
  handle = next_handle_++;
  ports_.emplace(handle, std::move(port));
  return SysResult::Ok();
}

SysResult Rfc2217SerialApi::ClosePort(PortHandle handle) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard<std::mutex> guard(ports_mutex_);
    const auto found = ports_.find(handle);
    if (found == ports_.end()) {
      return SysResult::Failed(EBADF);
    }
    port = std::move(found->second);
    ports_.erase(found);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  port->connection.Close();
  return SysResult::Ok();
}

template <typename Call>
SysResult Rfc2217SerialApi::OnPort(PortHandle handle, Call call) {
  const auto port = Find(handle);
  if (!port) {
    return SysResult::Failed(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return call(port->connection);
}

SysResult Rfc2217SerialApi::SetupQueues(PortHandle handle, std::uint32_t, std::uint32_t) {
  return OnPort(handle, [](rfc2217::ClientConnection&) { return SysResult::Ok(); });
}

SysResult Rfc2217SerialApi::GetLineState(PortHandle handle, DCB& state) {
  return OnPort(handle, [&](rfc2217::ClientConnection& connection) {
    state = connection.LineState();
    return SysResult::Ok();
  });
}

SysResult Rfc2217SerialApi::SetLineState(PortHandle handle, const DCB& state) {
  return OnPort(handle, [&](rfc2217::ClientConnection& c) { return c.SetLineState(state); });
}

SysResult Rfc2217SerialApi::GetTimeouts(PortHandle handle, COMMTIMEOUTS& timeouts) {
  return OnPort(handle, [&](rfc2217::ClientConnection& connection) {
    timeouts = connection.Timeouts();
    return SysResult::Ok();
  });
}

SysResult Rfc2217SerialApi::SetTimeouts(PortHandle handle, const COMMTIMEOUTS& timeouts) {
  return OnPort(handle, [&](rfc2217::ClientConnection& connection) {
    connection.SetTimeouts(timeouts);
    return SysResult::Ok();
  });
}

SysResult Rfc2217SerialApi::GetModemStatus(PortHandle handle, std::uint32_t& status) {
  return OnPort(handle, [&](rfc2217::ClientConnection& c) { return c.ModemStatus(status); });
}

SysResult Rfc2217SerialApi::ClearDtr(PortHandle handle) {
  return OnPort(handle, [](rfc2217::ClientConnection& c) { return c.ClearDtr(); });
}

SysResult Rfc2217SerialApi::Purge(PortHandle handle, std::uint32_t flags) {
  return OnPort(handle, [&](rfc2217::ClientConnection& c) { return c.Purge(flags); });
}

SysResult Rfc2217SerialApi::ClearErrors(PortHandle handle) {
  return OnPort(handle, [](rfc2217::ClientConnection& c) { return c.ClearErrors(); });
}

SysResult Rfc2217SerialApi::ReadBytes(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
                                      std::uint32_t& bytes_read) {
  bytes_read = 0;
  return OnPort(handle, [&](rfc2217::ClientConnection& c) {
    return c.Read(buffer, count, bytes_read);
  });
}

SysResult Rfc2217SerialApi::WriteBytes(PortHandle handle, const std::uint8_t* bytes,
                                       std::uint32_t count, std::uint32_t& bytes_written) {
  bytes_written = 0;
  return OnPort(handle, [&](rfc2217::ClientConnection& c) {
    return c.Write(bytes, count, bytes_written);
  });
}

SysResult Rfc2217SerialApi::ConfirmOutput(PortHandle handle, std::uint64_t& unconfirmed_bytes) {
  unconfirmed_bytes = 0;
  return OnPort(handle, [&](rfc2217::ClientConnection& c) {
    return c.ConfirmOutput(unconfirmed_bytes);
  });
}

SysResult Rfc2217SerialApi::Drain(PortHandle handle) {
  return OnPort(handle, [](rfc2217::ClientConnection& c) { return c.Drain(); });
}

}  // namespace tovrel
