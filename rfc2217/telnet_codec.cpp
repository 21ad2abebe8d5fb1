#include "rfc2217/telnet_codec.h"

namespace tovrel::telnet {
namespace {

bool IsVerb(std::uint8_t byte) {
  return byte >= kCommandWill && byte <= kCommandDont;
}

std::uint8_t PositiveVerb(Side side) {
  return side == Side::kLocal ? kCommandWill : kCommandDo;
}
std::uint8_t NegativeVerb(Side side) {
  return side == Side::kLocal ? kCommandWont : kCommandDont;
}

void AppendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == kIac) {
      out.push_back(kIac);
    }
  }
}

}  // namespace

void Decoder::Reset() {
  state_ = State::kData;
  verb_ = 0;
  sb_option_ = 0;
  sb_overflow_ = false;
  sb_payload_.clear();
}

void Decoder::FlushData(const std::uint8_t* bytes, std::size_t begin, std::size_t end,
                        DecoderSink& sink) {
  if (end > begin) {
    sink.OnData(bytes + begin, end - begin);
  }
}

void Decoder::Feed(const std::uint8_t* bytes, std::size_t count, DecoderSink& sink) {
  static constexpr std::uint8_t kEscapedIac = kIac;
  std::size_t run_start = 0;  // first byte of the data run in progress (state kData)
  std::size_t i = 0;
  while (i < count) {
    const std::uint8_t byte = bytes[i];
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          FlushData(bytes, run_start, i, sink);
          state_ = State::kAfterIac;
        }
        break;
      case State::kAfterIac:
        state_ = State::kData;
        run_start = i + 1;
        if (byte == kIac) {
          sink.OnData(&kEscapedIac, 1);
        } else if (IsVerb(byte)) {
          verb_ = byte;
          state_ = State::kVerb;
        } else if (byte == kSb) {
          state_ = State::kSbOption;
        } else if (byte != kSe) {  // a stray SE ends nothing and is dropped
          sink.OnCommand(byte);
        }
        break;
      case State::kVerb:
        sink.OnNegotiation(static_cast<Verb>(verb_), byte);
        state_ = State::kData;
        run_start = i + 1;
        break;
      case State::kSbOption:
        sb_option_ = byte;
        sb_payload_.clear();
        sb_overflow_ = false;
        state_ = State::kSbPayload;
        break;
      case State::kSbPayload:
        if (byte == kIac) {
          state_ = State::kSbAfterIac;
        } else if (sb_payload_.size() < kMaxSubnegotiationPayload) {
          sb_payload_.push_back(byte);
        } else {
          sb_overflow_ = true;
        }
        break;
      case State::kSbAfterIac:
        if (byte == kIac) {
          if (sb_payload_.size() < kMaxSubnegotiationPayload) {
            sb_payload_.push_back(kIac);
          } else {
            sb_overflow_ = true;
          }
          state_ = State::kSbPayload;
        } else if (byte == kSe) {
          if (!sb_overflow_) {
            sink.OnSubnegotiation(sb_option_, sb_payload_.data(), sb_payload_.size());
          }
          sb_payload_.clear();
          state_ = State::kData;
          run_start = i + 1;
        } else {
          // A peer that sends a command before closing its sub-negotiation has abandoned it:
          // drop the unfinished payload and take the byte as the command after an IAC.
          sb_payload_.clear();
          state_ = State::kAfterIac;
          continue;  // the same byte again, now in state kIac
        }
        break;
    }
    ++i;
  }
  if (state_ == State::kData) {
    FlushData(bytes, run_start, count, sink);
  }
}

void OptionNegotiator::Allow(Side side, std::uint8_t option) {
  Of(side).allowed[option] = true;
}

void OptionNegotiator::Request(Side side, std::uint8_t option, std::vector<std::uint8_t>& out) {
  Sides& sides = Of(side);
  sides.allowed[option] = true;
  if (sides.state[option] == State::kNo) {
    sides.state[option] = State::kWantYes;
    out.insert(out.end(), {kIac, PositiveVerb(side), option});
  }
}

void OptionNegotiator::Disable(Side side, std::uint8_t option, std::vector<std::uint8_t>& out) {
  Sides& sides = Of(side);
  sides.allowed[option] = false;
  if (sides.state[option] == State::kYes || sides.state[option] == State::kWantYes) {
    sides.state[option] = State::kWantNo;
    out.insert(out.end(), {kIac, NegativeVerb(side), option});
  }
}

void OptionNegotiator::Receive(Verb verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  switch (verb) {
    case Verb::kWill:
      Enable(Side::kRemote, option, remote_.allowed[option], out);
      break;
    case Verb::kDo:
      Enable(Side::kLocal, option, local_.allowed[option], out);
      break;
    case Verb::kWont:
      Disabled(Side::kRemote, option, out);
      break;
    case Verb::kDont:
      Disabled(Side::kLocal, option, out);
      break;
  }
}

// The peer asks for the option to be on (WILL for its side, DO for ours).
void OptionNegotiator::Enable(Side side, std::uint8_t option, bool allowed,
                              std::vector<std::uint8_t>& out) {
  State& state = Of(side).state[option];
  switch (state) {
    case State::kNo:
      if (allowed) {
        state = State::kYes;
        out.insert(out.end(), {kIac, PositiveVerb(side), option});
      } else {
        out.insert(out.end(), {kIac, NegativeVerb(side), option});
      }
      break;
    case State::kYes:  // already on: answering again would start a loop
      break;
    case State::kWantYes:  // the answer to our own request
      state = State::kYes;
      break;
    case State::kWantNo:  // a peer that answers our refusal with agreement: it stays off
      state = State::kNo;
      break;
  }
}

// The peer says the option is off (WONT for its side, DONT for ours).
void OptionNegotiator::Disabled(Side side, std::uint8_t option, std::vector<std::uint8_t>& out) {
  State& state = Of(side).state[option];
  if (state == State::kYes) {
    out.insert(out.end(), {kIac, NegativeVerb(side), option});
  }
  state = State::kNo;
}

bool OptionNegotiator::IsEnabled(Side side, std::uint8_t option) const {
  return Of(side).state[option] == State::kYes;
}

bool OptionNegotiator::IsPending(Side side, std::uint8_t option) const {
  const State state = Of(side).state[option];
  return state == State::kWantYes || state == State::kWantNo;
}

void AppendData(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count) {
  AppendEscaped(out, bytes, count);
}

void AppendNegotiation(std::vector<std::uint8_t>& out, Verb verb, std::uint8_t option) {
  out.insert(out.end(), {kIac, static_cast<std::uint8_t>(verb), option});
}

void AppendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option,
                          const std::uint8_t* payload, std::size_t length) {
  // The option byte goes as it is: the decoder takes the byte after IAC SB as the option
  // whatever its value, so doubling an option of 255 would make its second half payload.
  out.insert(out.end(), {kIac, kSb, option});
  AppendEscaped(out, payload, length);
  out.insert(out.end(), {kIac, kSe});
}

}  // namespace tovrel::telnet

namespace tovrel::rfc2217 {
namespace {

constexpr std::uint8_t kLastCommand = static_cast<std::uint8_t>(ComPortCommand::kPurgeData);

}  // namespace

bool ComPortMessage::BigEndian32(std::uint32_t& number) const {
  if (value.size() != 4) {
    return false;
  }
  number = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
           (std::uint32_t{value[2]} << 8) | std::uint32_t{value[3]};
  return true;
}

bool ParseComPort(const std::uint8_t* payload, std::size_t length, ComPortMessage& message) {
  if (length == 0) {
    return false;
  }
  std::uint8_t code = payload[0];
  bool from_server = false;
  if (code >= kServerOffset) {
    code = static_cast<std::uint8_t>(code - kServerOffset);
    from_server = true;
  }
  if (code > kLastCommand) {
    return false;
  }
  message.command = static_cast<ComPortCommand>(code);
  message.from_server = from_server;
  message.value.assign(payload + 1, payload + length);
  return true;
}

void AppendComPort(std::vector<std::uint8_t>& out, ComPortRole role, ComPortCommand command,
                   const std::uint8_t* value, std::size_t length) {
  std::vector<std::uint8_t> payload;
  payload.reserve(length + 1);
  const auto code = static_cast<std::uint8_t>(command);
  payload.push_back(role == ComPortRole::kServer ? static_cast<std::uint8_t>(code + kServerOffset)
                                                 : code);
  payload.insert(payload.end(), value, value + length);
  telnet::AppendSubnegotiation(out, telnet::kOptionComPort, payload.data(), payload.size());
}

void AppendComPortByte(std::vector<std::uint8_t>& out, ComPortRole role, ComPortCommand command,
                       std::uint8_t value) {
  AppendComPort(out, role, command, &value, 1);
}

void AppendSetBaudRate(std::vector<std::uint8_t>& out, ComPortRole role, std::uint32_t rate) {
  const std::uint8_t value[4] = {
      static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
      static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
  AppendComPort(out, role, ComPortCommand::kSetBaudRate, value, sizeof value);
}

}  // namespace tovrel::rfc2217
