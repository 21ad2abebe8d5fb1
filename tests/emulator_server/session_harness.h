// A ClientSession on one end of a loopback TCP connection and a test client on the other, with
// the session's line driven by a virtual clock: the test decides when time passes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "emulator/device_config.h"
#include "emulator/server/client_session.h"
#include "rfc2217/socket_layer.h"
#include "rfc2217/telnet_codec.h"

namespace tovrel::testing {

using Bytes = std::vector<std::uint8_t>;

// The client's end: sends raw wire bytes and decodes what the server sends.
class WireClient : private telnet::DecoderSink {
 public:
  explicit WireClient(net::Socket socket) : socket_(std::move(socket)) {}

  bool Send(const Bytes& wire);
  void SendData(const Bytes& data);
  void SendComPort(rfc2217::ComPortCommand command, const Bytes& value);
  void SendNegotiation(telnet::Verb verb, std::uint8_t option);
  // Waits up to `timeout_ms` for something to arrive.
  void WaitReadable(int timeout_ms);
  // Takes in whatever has arrived. False once the server has closed the connection.
  bool Receive();
  void Close() { socket_.Close(); }

  // Everything received, as it came off the wire, and decoded.
  const Bytes& Wire() const { return wire_; }
  const Bytes& Data() const { return data_; }
  const std::vector<std::pair<telnet::Verb, std::uint8_t>>& Negotiations() const {
    return negotiations_;
  }
  const std::vector<rfc2217::ComPortMessage>& ComPort() const { return com_port_; }
  // The COM-PORT-OPTION messages with this command, in order.
  std::vector<rfc2217::ComPortMessage> ComPortOf(rfc2217::ComPortCommand command) const;
  void ClearReceived();

 private:
  void OnData(const std::uint8_t* bytes, std::size_t count) override;
  void OnNegotiation(telnet::Verb verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override;

  net::Socket socket_;
  telnet::Decoder decoder_;
  Bytes wire_;
  Bytes data_;
  std::vector<std::pair<telnet::Verb, std::uint8_t>> negotiations_;
  std::vector<rfc2217::ComPortMessage> com_port_;
};

class SessionHarness {
 public:
  explicit SessionHarness(const DeviceConfig& config = {}, const DeviceFaults& faults = {});

  bool Connected() const { return session_ != nullptr; }
  server::ClientSession& Session() { return *session_; }
  WireClient& Client() { return *client_; }
  VirtualClock& Time() { return clock_; }

  // Lets `micros` of line time pass in steps of `step_micros`, with a session step and a look at
  // the client's socket after each.
  void Run(Clock::Micros micros, Clock::Micros step_micros = 50);
  // Runs until `done` holds, for at most `limit_micros`; true when it held.
  bool RunUntil(const std::function<bool()>& done, Clock::Micros limit_micros,
                Clock::Micros step_micros = 50);

 private:
  VirtualClock clock_;
  std::unique_ptr<server::ClientSession> session_;
  std::unique_ptr<WireClient> client_;
};

// The request as the client puts it: IAC SB COM-PORT-OPTION command value IAC SE.
Bytes ComPortRequest(rfc2217::ComPortCommand command, const Bytes& value);
Bytes BigEndian(std::uint32_t number);
Bytes BytesOf(const char* text);

}  // namespace tovrel::testing
