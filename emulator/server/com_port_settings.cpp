#include "emulator/server/com_port_settings.h"

#include "rfc2217/line_state_mapping.h"

namespace tovrel::server {
namespace {

using rfc2217::ComPortCommand;

constexpr std::uint32_t kFlowBits = kDcbOutxCtsFlow | kDcbOutX | kDcbInX | kDcbRtsControlMask;

std::uint32_t WithRts(std::uint32_t flags, std::uint32_t rts_control) {
  return (flags & ~kDcbRtsControlMask) | (rts_control << kDcbRtsControlShift);
}

std::uint32_t WithDtr(std::uint32_t flags, std::uint32_t dtr_control) {
  return (flags & ~kDcbDtrControlMask) | (dtr_control << kDcbDtrControlShift);
}

// RTS stays as it was unless the handshake drove it; then it is simply on.
std::uint32_t RtsLeftOn(std::uint32_t flags) {
  return RtsControlOf(flags) == RTS_CONTROL_HANDSHAKE ? WithRts(flags, RTS_CONTROL_ENABLE) : flags;
}

std::uint8_t OutboundFlow(const DCB& state) {
  if ((state.flags & kDcbOutxCtsFlow) != 0) {
    return rfc2217::kControlHardwareFlow;
  }
  if ((state.flags & kDcbOutX) != 0) {
    return rfc2217::kControlXonXoffFlow;
  }
  return rfc2217::kControlNoFlow;
}

std::uint8_t InboundFlow(const DCB& state) {
  if (RtsControlOf(state.flags) == RTS_CONTROL_HANDSHAKE) {
    return rfc2217::kControlInboundHardwareFlow;
  }
  if ((state.flags & kDcbInX) != 0) {
    return rfc2217::kControlInboundXonXoffFlow;
  }
  return rfc2217::kControlInboundNoFlow;
}

std::uint32_t ApplyControl(std::uint8_t value, std::uint32_t flags, PortExtras& extras) {
  switch (value) {
    case rfc2217::kControlNoFlow:
      return RtsLeftOn(flags & ~(kDcbOutxCtsFlow | kDcbOutX | kDcbInX));
    case rfc2217::kControlXonXoffFlow:
      return RtsLeftOn((flags & ~kDcbOutxCtsFlow) | kDcbOutX | kDcbInX);
    case rfc2217::kControlHardwareFlow:
      return WithRts((flags & ~(kFlowBits)) | kDcbOutxCtsFlow, RTS_CONTROL_HANDSHAKE);
    case rfc2217::kControlBreakOn:
      extras.break_on = true;
      return flags;
    case rfc2217::kControlBreakOff:
      extras.break_on = false;
      return flags;
    case rfc2217::kControlDtrOn:
      return WithDtr(flags, DTR_CONTROL_ENABLE);
    case rfc2217::kControlDtrOff:
      return WithDtr(flags, DTR_CONTROL_DISABLE);
    case rfc2217::kControlRtsOn:
      return WithRts(flags, RTS_CONTROL_ENABLE);
    case rfc2217::kControlRtsOff:
      return WithRts(flags, RTS_CONTROL_DISABLE);
    case rfc2217::kControlInboundNoFlow:
      return RtsLeftOn(flags & ~kDcbInX);
    case rfc2217::kControlInboundXonXoffFlow:
      return RtsLeftOn(flags | kDcbInX);
    case rfc2217::kControlInboundHardwareFlow:
      return WithRts(flags & ~kDcbInX, RTS_CONTROL_HANDSHAKE);
    default:
      return flags;  // questions, and flow controls on DCD, DTR or DSR, which this port lacks
  }
}

std::uint8_t ControlAnswer(std::uint8_t asked, const DCB& state, const PortExtras& extras) {
  if (asked >= rfc2217::kControlRequestBreak && asked <= rfc2217::kControlBreakOff) {
    return extras.break_on ? rfc2217::kControlBreakOn : rfc2217::kControlBreakOff;
  }
  if (asked >= rfc2217::kControlRequestDtr && asked <= rfc2217::kControlDtrOff) {
    return DtrControlOf(state.flags) == DTR_CONTROL_DISABLE ? rfc2217::kControlDtrOff
                                                            : rfc2217::kControlDtrOn;
  }
  if (asked >= rfc2217::kControlRequestRts && asked <= rfc2217::kControlRtsOff) {
    return RtsControlOf(state.flags) == RTS_CONTROL_DISABLE ? rfc2217::kControlRtsOff
                                                            : rfc2217::kControlRtsOn;
  }
  if (asked >= rfc2217::kControlRequestInboundFlow &&
      asked <= rfc2217::kControlInboundHardwareFlow) {
    return InboundFlow(state);
  }
  return OutboundFlow(state);
}

// The value in force as the wire gives it; the line never holds a parity or stop-bit code the
// wire lacks, but a default keeps the answer well formed whatever it holds.
std::uint8_t ParityOnWire(std::uint8_t parity) {
  std::uint8_t wire = rfc2217::kParityNone;
  rfc2217::ParityToWire(parity, wire);
  return wire;
}

std::uint8_t StopBitsOnWire(std::uint8_t stop_bits) {
  std::uint8_t wire = rfc2217::kStopOne;
  rfc2217::StopBitsToWire(stop_bits, wire);
  return wire;
}

}  // namespace

bool IsSettingsRequest(ComPortCommand command) {
  switch (command) {
    case ComPortCommand::kSetBaudRate:
    case ComPortCommand::kSetDataSize:
    case ComPortCommand::kSetParity:
    case ComPortCommand::kSetStopSize:
    case ComPortCommand::kSetControl:
      return true;
    default:
      return false;
  }
}

DCB RequestedLineState(const rfc2217::ComPortMessage& request, const DCB& current,
                       PortExtras& extras) {
  DCB state = current;
  const std::uint8_t value = request.Byte();
  switch (request.command) {
    case ComPortCommand::kSetBaudRate: {
      std::uint32_t rate = 0;
      if (request.BigEndian32(rate) && rate != 0) {
        state.BaudRate = rate;
      }
      break;
    }
    case ComPortCommand::kSetDataSize:
      if (request.value.size() == 1 && value >= 5 && value <= 8) {
        state.ByteSize = value;
      }
      break;
    case ComPortCommand::kSetParity:
      // A value the wire does not define (0 asks) leaves the parity as it is.
      if (request.value.size() == 1) {
        rfc2217::ParityFromWire(value, state.Parity);
      }
      break;
    case ComPortCommand::kSetStopSize:
      if (request.value.size() == 1) {
        rfc2217::StopBitsFromWire(value, state.StopBits);
      }
      break;
    case ComPortCommand::kSetControl:
      if (request.value.size() == 1) {
        state.flags = ApplyControl(value, state.flags, extras);
      }
      break;
    default:
      break;
  }
  return state;
}

std::vector<std::uint8_t> AnswerValue(const rfc2217::ComPortMessage& request, const DCB& in_force,
                                      const PortExtras& extras) {
  switch (request.command) {
    case ComPortCommand::kSetBaudRate: {
      const std::uint32_t rate = in_force.BaudRate;
      return {static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
              static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
    }
    case ComPortCommand::kSetDataSize:
      return {in_force.ByteSize};
    case ComPortCommand::kSetParity:
      return {ParityOnWire(in_force.Parity)};
    case ComPortCommand::kSetStopSize:
      return {StopBitsOnWire(in_force.StopBits)};
    case ComPortCommand::kSetControl:
      return {ControlAnswer(request.Byte(), in_force, extras)};
    default:
      return request.value;
  }
}

}  // namespace tovrel::server
