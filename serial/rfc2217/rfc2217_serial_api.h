// The platform interface over the network: a port named "rfc2217://host:port" is the serial port
// of a device server or serial-over-network host, driven through RFC 2217 (Telnet's
// COM-PORT-OPTION). Each operation keeps the Win32 meaning of the call it mirrors as far as the
// protocol lets it; client_connection.h lists where it cannot. Error numbers are errno values on
// every platform.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "rfc2217/socket_layer.h"
#include "serial/portable_locks.h"
#include "serial/rfc2217/client_options.h"

namespace tovrel {

namespace rfc2217 {
class ClientConnection;
}

class Rfc2217SerialApi final : public SerialApiWithPortableLocks {
 public:
  explicit Rfc2217SerialApi(const rfc2217::ClientOptions& options = rfc2217::ClientOptions());
  ~Rfc2217SerialApi() override;

  Rfc2217SerialApi(const Rfc2217SerialApi&) = delete;
  Rfc2217SerialApi& operator=(const Rfc2217SerialApi&) = delete;

  // Connects to the server named "rfc2217://host:port" and agrees COM-PORT-OPTION with it.
  // EINVAL for any other name.
  SysResult OpenPort(const char* name, PortHandle& port) override;
  // Accepted and ignored: the server's buffers are its own.
  SysResult SetupQueues(PortHandle port, std::uint32_t input_bytes,
                        std::uint32_t output_bytes) override;
  SysResult GetLineState(PortHandle port, DCB& state) override;
  SysResult SetLineState(PortHandle port, const DCB& state) override;
  SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) override;
  SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) override;
  SysResult GetModemStatus(PortHandle port, std::uint32_t& status) override;
  SysResult ClearDtr(PortHandle port) override;
  SysResult Purge(PortHandle port, std::uint32_t flags) override;
  SysResult ClearErrors(PortHandle port) override;
  SysResult ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& bytes_read) override;
  SysResult WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                       std::uint32_t& bytes_written) override;
  // Hands every queued byte to the network and waits for the far line, as estimated, to send it.
  SysResult Drain(PortHandle port) override;
  // Waits for the server to show it has every byte written and for the far line to send them.
  SysResult ConfirmOutput(PortHandle port, std::uint64_t& unconfirmed_bytes) override;
  SysResult ClosePort(PortHandle port) override;
  std::string ErrorText(std::uint32_t number) override;
  // The connection's error: refused, unreachable, timed out, name not resolved.
  std::string OpenFailureReason(const char* name, std::uint32_t number) override;

 private:
  struct Port;

  std::shared_ptr<Port> Find(PortHandle handle);
  // Runs `call` on the port's connection under the port's mutex; EBADF for an unknown handle.
  template <typename Call>
  SysResult OnPort(PortHandle handle, Call call);

  net::SocketLibrary sockets_;
  rfc2217::ClientOptions options_;
  // Socket waits are real, so the deadlines of a connection are kept on the real clock.
  SystemClock clock_;

  std::mutex ports_mutex_;
  std::map<PortHandle, std::shared_ptr<Port>> ports_;
  PortHandle next_handle_ = 1;
};

}  // namespace tovrel
