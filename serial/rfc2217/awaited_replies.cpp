#include "serial/rfc2217/awaited_replies.h"

#include <algorithm>
#include <utility>

namespace tovrel::rfc2217 {
namespace {

bool SameSubject(ComPortCommand command_a, const std::vector<std::uint8_t>& value_a,
                 ComPortCommand command_b, const std::vector<std::uint8_t>& value_b) {
  if (command_a != command_b) {
    return false;
  }
  if (command_a != ComPortCommand::kSetControl) {
    return true;
  }
  return !value_a.empty() && !value_b.empty() &&
         ControlSubject(value_a[0]) == ControlSubject(value_b[0]);
}

bool SameSubject(const AwaitedReply& request, const ComPortMessage& message) {
  return SameSubject(request.command, request.value, message.command, message.value);
}

}  // namespace

std::uint8_t ControlSubject(std::uint8_t value) {
  if (value <= kControlHardwareFlow || (value >= kControlDcdFlow && value <= kControlDsrFlow)) {
    return kControlRequestFlow;
  }
  if (value <= kControlBreakOff) {
    return kControlRequestBreak;
  }
  if (value <= kControlDtrOff) {
    return kControlRequestDtr;
  }
  if (value <= kControlRtsOff) {
    return kControlRequestRts;
  }
  if (value <= kControlInboundHardwareFlow) {
    return kControlRequestInboundFlow;
  }
  return value;  // unknown values are only about themselves
}

void AwaitedReplies::Await(ComPortCommand command, std::vector<std::uint8_t> value, bool optional) {
  AwaitedReply request;
  request.command = command;
  request.value = std::move(value);
  request.optional = optional;
  requests_.push_back(std::move(request));
}

bool AwaitedReplies::FollowedOnItsSubject(std::size_t index) const {
  const AwaitedReply& request = requests_[index];
  return std::any_of(requests_.begin() + static_cast<std::ptrdiff_t>(index) + 1, requests_.end(),
                     [&](const AwaitedReply& later) {
                       return SameSubject(request.command, request.value, later.command,
                                          later.value);
                     });
}

void AwaitedReplies::Take(const ComPortMessage& message) {
  std::size_t chosen = requests_.size();
  for (std::size_t i = 0; i < requests_.size(); ++i) {
    const AwaitedReply& candidate = requests_[i];
    if (candidate.answered || !SameSubject(candidate, message)) {
      continue;
    }
    if (candidate.value == message.value) {
      chosen = i;
      break;
    }
    if (chosen == requests_.size()) {
      chosen = i;
    }
  }
  if (chosen == requests_.size()) {
    return;
  }
  AwaitedReply& request = requests_[chosen];
  request.answered = true;
  request.reply = message.value;
  // A server that carries out several requests on one subject before it answers reports the
  // state then in force to each (ser2net answers "no flow control" followed by "hardware flow
  // control" with hardware flow control twice): only the last request on a subject has to get
  // its own value back, since it decides what is left in force.
  if (!request.optional && request.reply != request.value && !FollowedOnItsSubject(chosen)) {
    contradicted_ = true;
  }
}

bool AwaitedReplies::Settled() const {
  return std::all_of(requests_.begin(), requests_.end(), [](const AwaitedReply& request) {
    return request.optional || request.answered;
  });
}

}  // namespace tovrel::rfc2217
