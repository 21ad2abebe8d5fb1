// The acknowledgements a batch of COM-PORT-OPTION requests waits for, and how the server's
// messages are matched against them.
//
// A reply answers the request about the same thing: the same command and, for SET-CONTROL,
// the same subject (outbound flow control, break, DTR, RTS, inbound flow control), because one
// batch asks several SET-CONTROL questions and servers answer some of them with the state in
// force rather than an echo. An answer with the asked value settles its request; one with another
// value contradicts it, unless a later request in the batch is about the same thing: then any
// answer about it settles the earlier one (the server may report the state after both). Some
// requests are optional: conforming servers may leave them unanswered (inbound flow control is
// one), so the batch does not wait for them and whatever they answer is taken as information. A
// message about a subject nobody asked about is not an answer (a late reply, a server chattering
// unasked).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rfc2217/telnet_codec.h"

namespace tovrel::rfc2217 {

struct AwaitedReply {
  ComPortCommand command;
  std::vector<std::uint8_t> value;
  bool optional = false;
  bool answered = false;
  std::vector<std::uint8_t> reply;  // the value the server answered with
};

class AwaitedReplies {
 public:
  void Await(ComPortCommand command, std::vector<std::uint8_t> value, bool optional = false);

  // Matches one server message against the requests still unanswered.
  void Take(const ComPortMessage& message);

  // Every request that is not optional has its answer.
  bool Settled() const;
  // A request that is not optional was answered with another value.
  bool Contradicted() const { return contradicted_; }
  const std::vector<AwaitedReply>& Requests() const { return requests_; }

 private:
  // True when a later request in the batch is about the same thing as requests_[index].
  bool FollowedOnItsSubject(std::size_t index) const;

  std::vector<AwaitedReply> requests_;
  bool contradicted_ = false;
};

// What a SET-CONTROL value is about; values about the same thing share a subject.
std::uint8_t ControlSubject(std::uint8_t value);

}  // namespace tovrel::rfc2217
