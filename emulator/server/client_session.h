// One client's connection to the emulated device: Telnet with COM-PORT-OPTION on one side, the
// server's UART (and the device behind it) on the other.
//
// - Client data goes to the UART in stream order. What the UART's transmit buffer cannot take
//   waits here, and while it waits the connection is not read, so that TCP holds the client back.
// - Device output is read from the UART without waiting and sent as data, IAC doubled.
// - Settings requests change the UART's line state and are answered with the value in force.
// - CTS is looked at every step; a change goes out as NOTIFY-MODEMSTATE (CTS 0x10 with the delta
//   bit 0x01), ANDed with the client's modem-state mask, whose initial value is 255. The lines
//   as they are are also reported when COM-PORT-OPTION comes into use and when the mask is set.
// - While hardware flow control is on and the device holds CTS off, the client is sent
//   FLOWCONTROL-SUSPEND, and FLOWCONTROL-RESUME when CTS returns: the UART cannot send, so the
//   client should not either.
// - PURGE-DATA for the transmit side lets the UART finish sending what it already holds before it
//   purges and answers. A client cannot see when its bytes have left the far UART, so a local
//   drain-then-purge becomes a purge that would cut short the bytes just drained; answering after
//   the UART is empty gives the client's purge the meaning of a drain. Bytes that cannot leave
//   (CTS held off) are dropped once their sending time plus a second has passed.
// - Options other than BINARY, SUPPRESS-GO-AHEAD (both ways) and the client's COM-PORT-OPTION
//   are refused.
// - When the client goes, what it sent is still delivered to the device, within the time the
//   line needs for it plus a second, but never more than 31 s. A client that closes its end
//   while the session is not reading it gets another 30 s at most for what is still in the
//   connection to be taken in; the rest is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/device_config.h"
#include "emulator/emulated_uart.h"
#include "emulator/server/com_port_settings.h"
#include "rfc2217/byte_stream.h"
#include "rfc2217/socket_layer.h"
#include "rfc2217/telnet_codec.h"

namespace tovrel::server {

// What the server calls itself when a client asks for its signature.
inline constexpr char kServerSignature[] = "tovrel-emulator";

class ClientSession final : private telnet::DecoderSink {
 public:
  // Takes over `connection` (non-blocking) and starts the option negotiation. The device is at
  // power-on, built from `config` and `faults`; `clock` drives the line.
  ClientSession(net::Socket connection, Clock& clock, const DeviceConfig& config,
                const DeviceFaults& faults);
  // The same over any connection; its waits must move `clock` (the real clock for a socket).
  ClientSession(std::unique_ptr<net::ByteStream> connection, Clock& clock,
                const DeviceConfig& config, const DeviceFaults& faults);
  ~ClientSession() override = default;
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // One round: waits up to `wait_ms` for the connection to be readable (when input is wanted) or
  // writable (when output waits), then moves everything that can move.
  void Step(std::uint32_t wait_ms);

  // For a server that waits on more than this session, then calls Step(0): the connection (-1
  // once the client has gone), the poll events the session waits for on it, and when it next
  // has something to do by itself (nullopt: nothing until the client or the server acts).
  int WaitDescriptor() const;
  short WaitEvents() const;
  std::optional<Clock::Micros> NextDueTime() const;

  // True once the client has gone and what it sent has reached the device, or could not.
  bool Finished() const { return finished_; }
  // True once the connection has ended (closed by the client or failed).
  bool ClientGone() const { return client_gone_; }
  // errno number of a failed connection; 0 while it lasts and after an orderly close.
  std::uint32_t ConnectionError() const { return connection_error_; }

  const EmulatedDevice& Device() const { return uart_.Device(); }
  const EmulatedUart& Uart() const { return uart_; }
  std::uint64_t BytesToDevice() const { return bytes_to_device_; }
  std::uint64_t BytesFromDevice() const { return bytes_from_device_; }

 private:
  struct ClientEvent {
    enum class Kind : std::uint8_t { kData, kNegotiation, kComPort };
    Kind kind = Kind::kData;
    std::vector<std::uint8_t> data;
    telnet::Verb verb = telnet::Verb::kWill;
    std::uint8_t option = 0;
    rfc2217::ComPortMessage message;
  };

  // DecoderSink: everything is queued and carried out in stream order.
  void OnData(const std::uint8_t* bytes, std::size_t count) override;
  void OnNegotiation(telnet::Verb verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override;

  bool WantInput() const;
  void ReceiveInput();
  void LoseClient(std::uint32_t error);
  // The client closed its end while the session was not reading.
  void ClientHungUp();
  // Carries out queued events until one has to wait.
  void ProcessEvents();
  // False when the message has to wait (a purge behind bytes still leaving the UART).
  bool HandleComPort(const rfc2217::ComPortMessage& message);
  bool HandlePurge(const rfc2217::ComPortMessage& message);
  // Reports the lines once, when COM-PORT-OPTION first comes into use.
  void ComPortInUse();
  void ReportModemLines();
  void UpdateFlowControl();
  void SendModemState(std::uint8_t state);
  void ForwardDeviceOutput();
  void SendQueued();
  void CheckFinished();
  void Answer(rfc2217::ComPortCommand command, const std::vector<std::uint8_t>& value);
  // The lines (with the CTS delta bit when `delta`) as the client's modem-state mask lets them
  // through.
  std::uint8_t ModemState(bool delta) const;

  std::unique_ptr<net::ByteStream> connection_;
  SteppedClock clock_;
  EmulatedUart uart_;
  telnet::Decoder decoder_;
  telnet::OptionNegotiator negotiator_;

  std::deque<ClientEvent> events_;
  std::size_t front_offset_ = 0;  // data bytes of the front event already handed to the UART
  std::size_t held_bytes_ = 0;    // data bytes waiting in events_
  std::optional<Clock::Micros> purge_deadline_;

  std::vector<std::uint8_t> out_;  // wire bytes for the client; out_[out_sent_..] still to go
  std::size_t out_sent_ = 0;

  PortExtras extras_;
  bool com_port_in_use_ = false;  // agreed, or the client already sends its messages
  std::uint8_t modem_mask_ = 0xFF;
  bool cts_ = false;
  bool suspended_client_ = false;     // we sent FLOWCONTROL-SUSPEND
  bool client_suspended_us_ = false;  // the client sent FLOWCONTROL-SUSPEND

  bool client_gone_ = false;
  std::uint32_t connection_error_ = 0;
  Clock::Micros linger_until_ = 0;
  std::optional<Clock::Micros> hang_up_deadline_;
  bool finished_ = false;

  std::uint64_t bytes_to_device_ = 0;
  std::uint64_t bytes_from_device_ = 0;
};

}  // namespace tovrel::server
