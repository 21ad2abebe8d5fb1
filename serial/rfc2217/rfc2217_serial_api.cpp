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

bool Rfc2217SerialApi::Fail(std::uint32_t error) {
  std::lock_guard<std::mutex> guard(errors_mutex_);
  last_errors_[std::this_thread::get_id()] = error;
  return false;
}

bool Rfc2217SerialApi::FailFrom(const rfc2217::ClientConnection& connection) {
  return Fail(connection.Error());
}

std::uint32_t Rfc2217SerialApi::LastErrorNumber() {
  std::lock_guard<std::mutex> guard(errors_mutex_);
  const auto found = last_errors_.find(std::this_thread::get_id());
  return found == last_errors_.end() ? 0u : found->second;
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

PortHandle Rfc2217SerialApi::OpenPort(const char* name) {
  rfc2217::RemotePortAddress address;
  if (!rfc2217::ParseRfc2217PortName(name, address)) {
    Fail(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  if (!sockets_.Ready()) {
    Fail(sockets_.Error());
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<Port>(options_, clock_);
  if (!port->connection.Open(address)) {
    FailFrom(port->connection);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> guard(ports_mutex_);
  const PortHandle handle = next_handle_++;
  ports_.emplace(handle, std::move(port));
  return handle;
}

bool Rfc2217SerialApi::ClosePort(PortHandle handle) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard<std::mutex> guard(ports_mutex_);
    const auto found = ports_.find(handle);
    if (found == ports_.end()) {
      return Fail(EBADF);
    }
    port = std::move(found->second);
    ports_.erase(found);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  port->connection.Close();
  return true;
}

bool Rfc2217SerialApi::SetupQueues(PortHandle handle, std::uint32_t, std::uint32_t) {
  return Find(handle) != nullptr || Fail(EBADF);
}

bool Rfc2217SerialApi::GetLineState(PortHandle handle, DCB& state) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  state = port->connection.LineState();
  return true;
}

bool Rfc2217SerialApi::SetLineState(PortHandle handle, const DCB& state) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.SetLineState(state) || FailFrom(port->connection);
}

bool Rfc2217SerialApi::GetTimeouts(PortHandle handle, COMMTIMEOUTS& timeouts) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  timeouts = port->connection.Timeouts();
  return true;
}

bool Rfc2217SerialApi::SetTimeouts(PortHandle handle, const COMMTIMEOUTS& timeouts) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  port->connection.SetTimeouts(timeouts);
  return true;
}

bool Rfc2217SerialApi::GetModemStatus(PortHandle handle, std::uint32_t& status) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.ModemStatus(status) || FailFrom(port->connection);
}

bool Rfc2217SerialApi::ClearDtr(PortHandle handle) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.ClearDtr() || FailFrom(port->connection);
}

bool Rfc2217SerialApi::Purge(PortHandle handle, std::uint32_t flags) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.Purge(flags) || FailFrom(port->connection);
}

bool Rfc2217SerialApi::ClearErrors(PortHandle handle) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.ClearErrors() || FailFrom(port->connection);
}

bool Rfc2217SerialApi::ReadBytes(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
                                 std::uint32_t& bytes_read) {
  bytes_read = 0;
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.Read(buffer, count, bytes_read) || FailFrom(port->connection);
}

bool Rfc2217SerialApi::WriteBytes(PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
                                  std::uint32_t& bytes_written) {
  bytes_written = 0;
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.Write(bytes, count, bytes_written) || FailFrom(port->connection);
}

bool Rfc2217SerialApi::ConfirmOutput(PortHandle handle, std::uint64_t& unconfirmed_bytes) {
  unconfirmed_bytes = 0;
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.ConfirmOutput(unconfirmed_bytes) || FailFrom(port->connection);
}

bool Rfc2217SerialApi::Drain(PortHandle handle) {
  const auto port = Find(handle);
  if (!port) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(port->mutex);
  return port->connection.Drain() || FailFrom(port->connection);
}

}  // namespace tovrel
