#include "rfc2217/line_state_mapping.h"

namespace tovrel::rfc2217 {

bool ParityToWire(std::uint8_t win32_parity, std::uint8_t& wire) {
  if (win32_parity > SPACEPARITY) {
    return false;
  }
  // NOPARITY..SPACEPARITY are 0..4; the wire's NONE..SPACE are 1..5 in the same order.
  wire = static_cast<std::uint8_t>(win32_parity + 1);
  return true;
}

bool ParityFromWire(std::uint8_t wire, std::uint8_t& win32_parity) {
  if (wire < kParityNone || wire > kParitySpace) {
    return false;
  }
  win32_parity = static_cast<std::uint8_t>(wire - 1);
  return true;
}

bool StopBitsToWire(std::uint8_t win32_stop_bits, std::uint8_t& wire) {
  switch (win32_stop_bits) {
    case ONESTOPBIT:
      wire = kStopOne;
      return true;
    case ONE5STOPBITS:
      wire = kStopOneAndHalf;
      return true;
    case TWOSTOPBITS:
      wire = kStopTwo;
      return true;
    default:
      return false;
  }
}

bool StopBitsFromWire(std::uint8_t wire, std::uint8_t& win32_stop_bits) {
  switch (wire) {
    case kStopOne:
      win32_stop_bits = ONESTOPBIT;
      return true;
    case kStopOneAndHalf:
      win32_stop_bits = ONE5STOPBITS;
      return true;
    case kStopTwo:
      win32_stop_bits = TWOSTOPBITS;
      return true;
    default:
      return false;
  }
}

bool MakeLineRequest(const DCB& state, LineRequest& request) {
  const std::uint32_t dtr = DtrControlOf(state.flags);
  const std::uint32_t rts = RtsControlOf(state.flags);
  if (dtr == DTR_CONTROL_HANDSHAKE || dtr > DTR_CONTROL_HANDSHAKE || rts == RTS_CONTROL_TOGGLE ||
      (state.flags & kDcbOutxDsrFlow) != 0) {
    return false;
  }
  if (state.BaudRate == 0 || state.ByteSize < 5 || state.ByteSize > 8) {
    return false;
  }
  LineRequest made;
  made.baud_rate = state.BaudRate;
  made.data_size = state.ByteSize;
  if (!ParityToWire(state.Parity, made.parity) || !StopBitsToWire(state.StopBits, made.stop_size)) {
    return false;
  }
  const bool hardware = (state.flags & kDcbOutxCtsFlow) != 0 || rts == RTS_CONTROL_HANDSHAKE;
  const bool software = (state.flags & (kDcbOutX | kDcbInX)) != 0;
  made.flow = hardware ? kControlHardwareFlow : software ? kControlXonXoffFlow : kControlNoFlow;
  made.inbound_flow = rts == RTS_CONTROL_HANDSHAKE   ? kControlInboundHardwareFlow
                      : (state.flags & kDcbInX) != 0 ? kControlInboundXonXoffFlow
                                                     : kControlInboundNoFlow;
  made.dtr = dtr == DTR_CONTROL_ENABLE ? kControlDtrOn : kControlDtrOff;
  made.rts = rts == RTS_CONTROL_DISABLE ? kControlRtsOff : kControlRtsOn;
  request = made;
  return true;
}

std::vector<ControlRequest> ControlSequence(const LineRequest& request) {
  std::vector<ControlRequest> sequence{{kControlNoFlow, false}};
  if (request.flow != kControlNoFlow) {
    sequence.push_back({request.flow, false});
  }
  sequence.push_back({request.inbound_flow, true});
  sequence.push_back({request.dtr, false});
  sequence.push_back({request.rts, false});
  return sequence;
}

std::uint32_t FlagsForFlow(std::uint8_t flow) {
  std::uint32_t flags = kDcbBinary | (DTR_CONTROL_ENABLE << kDcbDtrControlShift);
  switch (flow) {
    case kControlHardwareFlow:
      return flags | kDcbOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << kDcbRtsControlShift);
    case kControlXonXoffFlow:
      return flags | kDcbOutX | kDcbInX | (RTS_CONTROL_ENABLE << kDcbRtsControlShift);
    default:
      return flags | (RTS_CONTROL_ENABLE << kDcbRtsControlShift);
  }
}

DCB DefaultRemoteLineState() {
  DCB state;
  state.BaudRate = 9600;
  state.ByteSize = 8;
  state.Parity = NOPARITY;
  state.StopBits = ONESTOPBIT;
  state.flags = FlagsForFlow(kControlNoFlow);
  state.XonChar = 0x11;
  state.XoffChar = 0x13;
  return state;
}

}  // namespace tovrel::rfc2217
