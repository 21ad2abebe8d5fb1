#include "serial/rfc2217/awaited_replies.h"

#include <algorithm>
#include <utility>

namespace tovrel::rfc2217 {
namespace {

bool SameSubject(const AwaitedReply& request, const ComPortMessage& message) {
  if (request.command != message.command) {
    return false;
  }
  if (request.command != ComPortCommand::kSetControl) {
    return true;
  }
  return !request.value.empty() && !message.value.empty() &&
         ControlSubject(request.value[0]) == ControlSubject(message.value[0]);
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

void AwaitedReplies::Take(const ComPortMessage& message) {
  AwaitedReply* same_subject = nullptr;
  for (AwaitedReply& candidate : requests_) {
    if (candidate.answered || !SameSubject(candidate, message)) {
      continue;
    }
    if (candidate.value == message.value) {
      same_subject = &candidate;
      break;
    }
    if (same_subject == nullptr) {
      same_subject = &candidate;
    }
  }
  if (same_subject == nullptr) {
    return;
  }
  same_subject->answered = true;
  same_subject->reply = message.value;
  if (!same_subject->optional && same_subject->reply != same_subject->value) {
    contradicted_ = true;
  }
}

bool AwaitedReplies::Settled() const {
  return std::all_of(requests_.begin(), requests_.end(), [](const AwaitedReply& request) {
    return request.optional || request.answered;
  });
}

}  // namespace tovrel::rfc2217
