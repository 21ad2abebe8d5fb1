#include "fake_rfc2217_server.h"

#include <chrono>

namespace tovrel::testing {
namespace {

using rfc2217::ComPortCommand;
using rfc2217::ComPortRole;
using telnet::Side;

constexpr std::uint32_t kAcceptWaitMs = 10000;
constexpr std::uint32_t kPollMs = 2;
constexpr std::uint32_t kSendLimitMs = 2000;

}  // namespace

FakeRfc2217Server::FakeRfc2217Server(FakeServerConfig config) : config_(std::move(config)) {
  std::uint32_t error = 0;
  listener_ = net::ListenOnLoopback(port_, error);
  negotiator_.Allow(Side::kLocal, telnet::kOptionBinary);
  negotiator_.Allow(Side::kRemote, telnet::kOptionBinary);
  negotiator_.Allow(Side::kLocal, telnet::kOptionSuppressGoAhead);
  negotiator_.Allow(Side::kRemote, telnet::kOptionSuppressGoAhead);
  if (config_.behaviour != ServerBehaviour::kRefuseComPort) {
    negotiator_.Allow(Side::kRemote, telnet::kOptionComPort);
  }
  thread_ = std::thread([this] { Run(); });
}

FakeRfc2217Server::~FakeRfc2217Server() {
  stop_ = true;
  thread_.join();
}

std::string FakeRfc2217Server::PortName() const {
  return "rfc2217://127.0.0.1:" + std::to_string(port_);
}

void FakeRfc2217Server::Queue(Order order) {
  std::lock_guard<std::mutex> guard(mutex_);
  orders_.push_back(std::move(order));
  ++orders_given_;
}

void FakeRfc2217Server::SendData(const std::vector<std::uint8_t>& bytes) {
  Queue([this, bytes] {
    std::vector<std::uint8_t> wire;
    telnet::AppendData(wire, bytes.data(), bytes.size());
    SendNow(wire);
  });
}

void FakeRfc2217Server::SendWire(const std::vector<std::uint8_t>& bytes) {
  Queue([this, bytes] { SendNow(bytes); });
}

void FakeRfc2217Server::QueueComPort(ComPortCommand command, std::vector<std::uint8_t> value) {
  Queue([this, command, value] {
    std::vector<std::uint8_t> wire;
    AppendComPort(wire, ComPortRole::kServer, command, value.data(), value.size());
    SendNow(wire);
  });
}

void FakeRfc2217Server::NotifyModemState(std::uint8_t state) {
  QueueComPort(ComPortCommand::kNotifyModemState, {state});
}

void FakeRfc2217Server::SuspendFlow() {
  QueueComPort(ComPortCommand::kFlowControlSuspend, {});
}

void FakeRfc2217Server::ResumeFlow() {
  QueueComPort(ComPortCommand::kFlowControlResume, {});
}

void FakeRfc2217Server::CloseConnection() {
  Queue([this] { connection_.Close(); });
}

void FakeRfc2217Server::PauseReading(bool paused) {
  Queue([this, paused] { reading_paused_ = paused; });
}

bool FakeRfc2217Server::WaitForOrders(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> guard(mutex_);
  const std::size_t target = orders_given_;
  return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                           [&] { return orders_done_ >= target; });
}

bool FakeRfc2217Server::WaitUntil(const std::function<bool()>& done, std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), done);
}

std::vector<std::uint8_t> FakeRfc2217Server::ReceivedData() {
  std::lock_guard<std::mutex> guard(mutex_);
  return data_;
}

std::vector<rfc2217::ComPortMessage> FakeRfc2217Server::ReceivedComPort() {
  std::lock_guard<std::mutex> guard(mutex_);
  return com_port_;
}

std::vector<std::pair<telnet::Verb, std::uint8_t>> FakeRfc2217Server::ReceivedNegotiations() {
  std::lock_guard<std::mutex> guard(mutex_);
  return negotiations_;
}

void FakeRfc2217Server::SendNow(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendLimitMs);
  while (connection_.IsOpen() && done < bytes.size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::size_t sent = 0;
    std::uint32_t error = 0;
    const net::IoStatus status =
        net::SendSome(connection_, bytes.data() + done, bytes.size() - done, sent, error);
    if (status == net::IoStatus::kFailed) {
      return;
    }
    done += sent;
    if (status == net::IoStatus::kWouldBlock) {
      net::Readiness ready;
      net::WaitForSocket(connection_, true, kPollMs, ready, error);
    }
  }
}

void FakeRfc2217Server::Run() {
  if (!listener_.IsOpen()) {
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptWaitMs);
  while (!stop_ && !connection_.IsOpen() && std::chrono::steady_clock::now() < deadline) {
    std::uint32_t error = 0;
    connection_ = net::AcceptConnection(listener_, 20, error);
  }
  if (connection_.IsOpen()) {
    std::vector<std::uint8_t> opening;
    for (const auto& [verb, option] : config_.opening_negotiations) {
      AppendNegotiation(opening, verb, option);
    }
    SendNow(opening);
  }
  Serve();
}

void FakeRfc2217Server::Serve() {
  std::uint8_t chunk[1024];
  while (!stop_) {
    for (;;) {
      Order order;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (orders_.empty()) {
          break;
        }
        order = std::move(orders_.front());
        orders_.pop_front();
      }
      order();
      {
        std::lock_guard<std::mutex> guard(mutex_);
        ++orders_done_;
      }
      changed_.notify_all();
    }
    if (!connection_.IsOpen() || reading_paused_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    net::Readiness ready;
    std::uint32_t error = 0;
    net::WaitForSocket(connection_, false, kPollMs, ready, error);
    if (!ready.readable) {
      continue;
    }
    std::size_t received = 0;
    const net::IoStatus status =
        net::ReceiveSome(connection_, chunk, sizeof chunk, received, error);
    if (status == net::IoStatus::kClosed || status == net::IoStatus::kFailed) {
      connection_.Close();
      continue;
    }
    if (status != net::IoStatus::kDone || config_.behaviour == ServerBehaviour::kSilent) {
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      decoder_.Feed(chunk, received, *this);
    }
    changed_.notify_all();
    std::vector<std::uint8_t> answer;
    answer.swap(pending_);
    SendNow(answer);
  }
}

// --- Decoding (called with mutex_ held) ------------------------------------------------------

void FakeRfc2217Server::OnData(const std::uint8_t* bytes, std::size_t count) {
  data_.insert(data_.end(), bytes, bytes + count);
}

void FakeRfc2217Server::OnNegotiation(telnet::Verb verb, std::uint8_t option) {
  negotiations_.emplace_back(verb, option);
  negotiator_.Receive(verb, option, pending_);
}

void FakeRfc2217Server::OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                         std::size_t length) {
  rfc2217::ComPortMessage message;
  if (option != telnet::kOptionComPort || !ParseComPort(payload, length, message)) {
    return;
  }
  com_port_.push_back(message);
  if (config_.behaviour != ServerBehaviour::kNoAcks && !message.from_server) {
    Answer(message);
  }
}

void FakeRfc2217Server::AnswerByte(ComPortCommand command, std::uint8_t value) {
  AppendComPortByte(pending_, ComPortRole::kServer, command, value);
}

void FakeRfc2217Server::Answer(const rfc2217::ComPortMessage& message) {
  const std::uint8_t value = message.Byte();
  switch (message.command) {
    case ComPortCommand::kSetBaudRate: {
      std::uint32_t rate = 0;
      if (message.BigEndian32(rate) && rate != 0) {
        config_.baud_rate = config_.forced_baud_answer != 0 ? config_.forced_baud_answer : rate;
      }
      AppendSetBaudRate(pending_, ComPortRole::kServer, config_.baud_rate);
      break;
    }
    case ComPortCommand::kSetDataSize:
      config_.data_size = value != 0 ? value : config_.data_size;
      AnswerByte(message.command, config_.data_size);
      break;
    case ComPortCommand::kSetParity:
      config_.parity = value != 0 ? value : config_.parity;
      AnswerByte(message.command, config_.parity);
      break;
    case ComPortCommand::kSetStopSize:
      config_.stop_size = value != 0 ? value : config_.stop_size;
      AnswerByte(message.command, config_.stop_size);
      break;
    case ComPortCommand::kSetControl:
      if (value == rfc2217::kControlRequestFlow) {
        AnswerByte(message.command, config_.flow);
        break;
      }
      if (value >= rfc2217::kControlNoFlow && value <= rfc2217::kControlHardwareFlow) {
        config_.flow = value;
      }
      AnswerByte(message.command, value);
      break;
    case ComPortCommand::kSetModemStateMask: {
      AnswerByte(message.command, value);
      const auto reported = static_cast<std::uint8_t>(config_.modem_state & value);
      if (reported != 0) {
        AnswerByte(ComPortCommand::kNotifyModemState, reported);
      }
      break;
    }
    case ComPortCommand::kSetLineStateMask:
      AnswerByte(message.command, value);
      break;
    case ComPortCommand::kPurgeData:
      telnet::AppendData(pending_, config_.data_before_purge_ack.data(),
                         config_.data_before_purge_ack.size());
      AnswerByte(message.command, value);
      telnet::AppendData(pending_, config_.data_after_purge_ack.data(),
                         config_.data_after_purge_ack.size());
      break;
    default:
      break;
  }
}

}  // namespace tovrel::testing
