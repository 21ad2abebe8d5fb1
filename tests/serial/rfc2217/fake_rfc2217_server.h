// A small RFC 2217 server on 127.0.0.1, run on its own thread, built on the same codec as the
// client. It serves one connection, records what the client sent, answers as configured, and
// takes orders from the test (send data, report modem lines, suspend, close).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rfc2217/socket_layer.h"
#include "rfc2217/telnet_codec.h"

namespace tovrel::testing {

enum class ServerBehaviour {
  kNormal,
  kSilent,         // takes the connection and never answers anything
  kRefuseComPort,  // answers DONT COM-PORT-OPTION
  kNoAcks,         // negotiates, then never acknowledges a COM-PORT-OPTION request
};

struct FakeServerConfig {
  ServerBehaviour behaviour = ServerBehaviour::kNormal;
  // The far port's settings before the client changes them (answers to value-0 questions).
  std::uint32_t baud_rate = 19200;
  std::uint8_t data_size = 7;
  std::uint8_t parity = rfc2217::kParityEven;
  std::uint8_t stop_size = rfc2217::kStopTwo;
  std::uint8_t flow = rfc2217::kControlHardwareFlow;
  // Reported once the client sets its modem-state mask.
  std::uint8_t modem_state = rfc2217::kModemCts | rfc2217::kModemDsr;
  // When non-zero, every SET-BAUDRATE is answered with this rate.
  std::uint32_t forced_baud_answer = 0;
  // Sent around each PURGE-DATA acknowledgement.
  std::vector<std::uint8_t> data_before_purge_ack;
  std::vector<std::uint8_t> data_after_purge_ack;
  // Negotiations sent as soon as the client connects.
  std::vector<std::pair<telnet::Verb, std::uint8_t>> opening_negotiations;
};

class FakeRfc2217Server : private telnet::DecoderSink {
 public:
  explicit FakeRfc2217Server(FakeServerConfig config = FakeServerConfig());
  ~FakeRfc2217Server() override;

  std::uint16_t Port() const { return port_; }
  std::string PortName() const;

  // Orders, carried out by the server thread in the order given.
  void SendData(const std::vector<std::uint8_t>& bytes);  // escaped as data
  void SendWire(const std::vector<std::uint8_t>& bytes);  // sent exactly as given
  void NotifyModemState(std::uint8_t state);
  void SuspendFlow();
  void ResumeFlow();
  void CloseConnection();
  // Stops or restarts taking bytes from the connection, so that the client's sending backs up.
  void PauseReading(bool paused);
  // Waits until every order given so far has been carried out.
  bool WaitForOrders(std::uint32_t timeout_ms);

  // What the client sent, decoded.
  std::vector<std::uint8_t> ReceivedData();
  std::vector<rfc2217::ComPortMessage> ReceivedComPort();
  std::vector<std::pair<telnet::Verb, std::uint8_t>> ReceivedNegotiations();
  // Waits until `done` holds on the recorded state (checked under the server's lock).
  bool WaitUntil(const std::function<bool()>& done, std::uint32_t timeout_ms);
  // Recorded state for use inside WaitUntil's predicate.
  std::size_t DataCountLocked() const { return data_.size(); }
  std::size_t ComPortCountLocked() const { return com_port_.size(); }

 private:
  using Order = std::function<void()>;

  void Run();
  void Serve();
  void Queue(Order order);
  // Queues a COM-PORT-OPTION message of the server's with `value`.
  void QueueComPort(rfc2217::ComPortCommand command, std::vector<std::uint8_t> value);
  void SendNow(const std::vector<std::uint8_t>& bytes);
  void Answer(const rfc2217::ComPortMessage& message);
  void AnswerByte(rfc2217::ComPortCommand command, std::uint8_t value);

  void OnData(const std::uint8_t* bytes, std::size_t count) override;
  void OnNegotiation(telnet::Verb verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override;

  FakeServerConfig config_;
  net::SocketLibrary sockets_;
  net::Socket listener_;
  net::Socket connection_;
  std::uint16_t port_ = 0;
  telnet::Decoder decoder_;
  telnet::OptionNegotiator negotiator_;
  std::vector<std::uint8_t> pending_;  // built while decoding, sent after each chunk

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Order> orders_;
  std::size_t orders_given_ = 0;
  std::size_t orders_done_ = 0;
  std::vector<std::uint8_t> data_;
  std::vector<rfc2217::ComPortMessage> com_port_;
  std::vector<std::pair<telnet::Verb, std::uint8_t>> negotiations_;

  bool reading_paused_ = false;  // server thread only
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tovrel::testing
