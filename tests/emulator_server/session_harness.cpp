#include "session_harness.h"

#include <poll.h>

namespace tovrel::testing {

bool WireClient::Send(const Bytes& wire) {
  std::size_t done = 0;
  for (int attempt = 0; attempt < 1000 && done < wire.size(); ++attempt) {
    std::size_t sent = 0;
    std::uint32_t error = 0;
    const net::IoStatus status =
        net::SendSome(socket_, wire.data() + done, wire.size() - done, sent, error);
    if (status == net::IoStatus::kFailed) {
      return false;
    }
    done += sent;
    if (done < wire.size()) {
      pollfd entry{static_cast<int>(socket_.Get()), POLLOUT, 0};
      poll(&entry, 1, 1);
    }
  }
  return done == wire.size();
}

void WireClient::SendData(const Bytes& data) {
  Bytes wire;
  telnet::AppendData(wire, data.data(), data.size());
  Send(wire);
}

void WireClient::SendComPort(rfc2217::ComPortCommand command, const Bytes& value) {
  Send(ComPortRequest(command, value));
}

void WireClient::SendNegotiation(telnet::Verb verb, std::uint8_t option) {
  Bytes wire;
  telnet::AppendNegotiation(wire, verb, option);
  Send(wire);
}

void WireClient::WaitReadable(int timeout_ms) {
  pollfd entry{static_cast<int>(socket_.Get()), POLLIN, 0};
  poll(&entry, 1, timeout_ms);
}

bool WireClient::Receive() {
  for (;;) {
    std::uint8_t chunk[8192];
    std::size_t received = 0;
    std::uint32_t error = 0;
    switch (net::ReceiveSome(socket_, chunk, sizeof chunk, received, error)) {
      case net::IoStatus::kDone:
        wire_.insert(wire_.end(), chunk, chunk + received);
        decoder_.Feed(chunk, received, *this);
        break;
      case net::IoStatus::kWouldBlock:
        return true;
      case net::IoStatus::kClosed:
      case net::IoStatus::kFailed:
        return false;
    }
  }
}

std::vector<rfc2217::ComPortMessage> WireClient::ComPortOf(rfc2217::ComPortCommand command) const {
  std::vector<rfc2217::ComPortMessage> found;
  for (const auto& message : com_port_) {
    if (message.command == command) {
      found.push_back(message);
    }
  }
  return found;
}

void WireClient::ClearReceived() {
  wire_.clear();
  data_.clear();
  negotiations_.clear();
  com_port_.clear();
}

void WireClient::OnData(const std::uint8_t* bytes, std::size_t count) {
  data_.insert(data_.end(), bytes, bytes + count);
}

void WireClient::OnNegotiation(telnet::Verb verb, std::uint8_t option) {
  negotiations_.emplace_back(verb, option);
}

void WireClient::OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                  std::size_t length) {
  rfc2217::ComPortMessage message;
  if (option == telnet::kOptionComPort && rfc2217::ParseComPort(payload, length, message)) {
    com_port_.push_back(std::move(message));
  }
}

SessionHarness::SessionHarness(const DeviceConfig& config, const DeviceFaults& faults) {
  std::uint16_t port = 0;
  std::uint32_t error = 0;
  const net::Socket listener = net::ListenOnLoopback(port, error);
  if (!listener.IsOpen()) {
    return;
  }
  net::Socket client = net::ConnectTcp("127.0.0.1", port, 2000, error);
  net::Socket accepted = net::AcceptConnection(listener, 2000, error);
  if (!client.IsOpen() || !accepted.IsOpen()) {
    return;
  }
  client_ = std::make_unique<WireClient>(std::move(client));
  session_ = std::make_unique<server::ClientSession>(std::move(accepted), clock_, config, faults);
}

void SessionHarness::Run(Clock::Micros micros, Clock::Micros step_micros) {
  RunUntil([] { return false; }, micros, step_micros);
}

bool SessionHarness::RunUntil(const std::function<bool()>& done, Clock::Micros limit_micros,
                              Clock::Micros step_micros) {
  const Clock::Micros end = clock_.Now() + limit_micros;
  for (;;) {
    session_->Step(0);
    client_->Receive();
    if (done()) {
      return true;
    }
    if (clock_.Now() >= end) {
      return false;
    }
    clock_.Advance(step_micros);
  }
}

Bytes ComPortRequest(rfc2217::ComPortCommand command, const Bytes& value) {
  Bytes wire;
  rfc2217::AppendComPort(wire, rfc2217::ComPortRole::kClient, command, value.data(), value.size());
  return wire;
}

Bytes BigEndian(std::uint32_t number) {
  return {static_cast<std::uint8_t>(number >> 24), static_cast<std::uint8_t>(number >> 16),
          static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
}

Bytes BytesOf(const char* text) {
  Bytes bytes;
  for (const char* p = text; *p != '\0'; ++p) {
    bytes.push_back(static_cast<std::uint8_t>(*p));
  }
  return bytes;
}

}  // namespace tovrel::testing
