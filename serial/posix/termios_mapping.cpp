#include "serial/posix/termios_mapping.h"

#include <cerrno>

namespace tovrel::posix_serial {
namespace {

struct SpeedCode {
  std::uint32_t baud_rate;
  speed_t speed;
};

// Every speed this system's termios can name. Rates such as 14400 or 56000, which Win32 drivers
// accept, have no code and are refused.
constexpr SpeedCode kSpeedCodes[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

constexpr tcflag_t Flags(unsigned long bits) {
  return static_cast<tcflag_t>(bits);
}

#ifdef CMSPAR
constexpr tcflag_t kMarkSpaceParity = Flags(CMSPAR);
#else
constexpr tcflag_t kMarkSpaceParity = 0;
#endif

#ifdef CRTSCTS
constexpr tcflag_t kHardwareFlow = Flags(CRTSCTS);
#else
constexpr tcflag_t kHardwareFlow = 0;
#endif

// The c_cflag and c_iflag bits that a line state decides.
constexpr tcflag_t kFrameAndFlowCflags =
    Flags(CSIZE | PARENB | PARODD | CSTOPB) | kMarkSpaceParity | kHardwareFlow;
constexpr tcflag_t kFlowIflags = Flags(IXON | IXOFF);

bool SizeFlags(std::uint8_t byte_size, tcflag_t& flags) {
  switch (byte_size) {
    case 5:
      flags = Flags(CS5);
      return true;
    case 6:
      flags = Flags(CS6);
      return true;
    case 7:
      flags = Flags(CS7);
      return true;
    case 8:
      flags = Flags(CS8);
      return true;
    default:
      return false;
  }
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & Flags(CSIZE)) {
    case Flags(CS5):
      return 5;
    case Flags(CS6):
      return 6;
    case Flags(CS7):
      return 7;
    default:
      return 8;
  }
}

bool ParityFlags(std::uint8_t parity, tcflag_t& flags) {
  switch (parity) {
    case NOPARITY:
      flags = 0;
      return true;
    case ODDPARITY:
      flags = Flags(PARENB | PARODD);
      return true;
    case EVENPARITY:
      flags = Flags(PARENB);
      return true;
    case MARKPARITY:
      // With CMSPAR, PARODD selects a parity bit that is always 1.
      flags = Flags(PARENB | PARODD) | kMarkSpaceParity;
      return kMarkSpaceParity != 0;
    case SPACEPARITY:
      flags = Flags(PARENB) | kMarkSpaceParity;
      return kMarkSpaceParity != 0;
    default:
      return false;
  }
}

std::uint8_t ParityOf(tcflag_t cflag) {
  if ((cflag & Flags(PARENB)) == 0) {
    return NOPARITY;
  }
  const bool odd = (cflag & Flags(PARODD)) != 0;
  if (kMarkSpaceParity != 0 && (cflag & kMarkSpaceParity) != 0) {
    return odd ? MARKPARITY : SPACEPARITY;
  }
  return odd ? ODDPARITY : EVENPARITY;
}

bool StopFlags(std::uint8_t stop_bits, tcflag_t& flags) {
  switch (stop_bits) {
    case ONESTOPBIT:
      flags = 0;
      return true;
    // termios knows one or two stop bits; a UART sends 1.5 for CSTOPB with 5 data bits.
    case ONE5STOPBITS:
    case TWOSTOPBITS:
      flags = Flags(CSTOPB);
      return true;
    default:
      return false;
  }
}

bool WantsHardwareFlow(const DCB& state) {
  return (state.flags & kDcbOutxCtsFlow) != 0 || RtsControlOf(state.flags) == RTS_CONTROL_HANDSHAKE;
}

std::uint32_t WithRtsControl(std::uint32_t flags, std::uint32_t rts_control) {
  return (flags & ~kDcbRtsControlMask) | (rts_control << kDcbRtsControlShift);
}

std::uint32_t WithFlag(std::uint32_t flags, std::uint32_t flag, bool on) {
  return on ? (flags | flag) : (flags & ~flag);
}

cc_t ControlChar(char c) {
  return static_cast<cc_t>(static_cast<unsigned char>(c));
}
char CharOf(cc_t c) {
  return static_cast<char>(c);
}

}  // namespace

bool SpeedForBaudRate(std::uint32_t baud_rate, speed_t& speed) {
  for (const SpeedCode& code : kSpeedCodes) {
    if (code.baud_rate == baud_rate) {
      speed = code.speed;
      return true;
    }
  }
  return false;
}

std::uint32_t BaudRateForSpeed(speed_t speed) {
  for (const SpeedCode& code : kSpeedCodes) {
    if (code.speed == speed) {
      return code.baud_rate;
    }
  }
  return 0;
}

namespace {

// Input flags not every system has: map upper case to lower, ring the bell on a full input queue.
#ifdef IUCLC
constexpr tcflag_t kUpperCaseInput = Flags(IUCLC);
#else
constexpr tcflag_t kUpperCaseInput = 0;
#endif
#ifdef IMAXBEL
constexpr tcflag_t kBellOnFullInput = Flags(IMAXBEL);
#else
constexpr tcflag_t kBellOnFullInput = 0;
#endif

}  // namespace

void MakeRaw(termios& settings) {
  const tcflag_t input_off =
      Flags(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK) |
      kUpperCaseInput | kBellOnFullInput;
  settings.c_iflag &= ~input_off;
  // A break is a line condition, not data: it must not show up as a NUL byte in the stream.
  settings.c_iflag |= Flags(IGNBRK);
  settings.c_oflag &= ~Flags(OPOST);
  settings.c_lflag &= ~Flags(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
  settings.c_cflag |= Flags(CREAD | CLOCAL | HUPCL);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

int ApplyLineState(const DCB& state, termios& settings) {
  speed_t speed = 0;
  tcflag_t size = 0;
  tcflag_t parity = 0;
  tcflag_t stop = 0;
  if (!SpeedForBaudRate(state.BaudRate, speed) || !SizeFlags(state.ByteSize, size) ||
      !ParityFlags(state.Parity, parity) || !StopFlags(state.StopBits, stop)) {
    return EINVAL;
  }
  const bool hardware_flow = WantsHardwareFlow(state);
  if (hardware_flow && kHardwareFlow == 0) {
    return EINVAL;
  }

  termios result = settings;
  MakeRaw(result);
  result.c_cflag &= ~kFrameAndFlowCflags;
  result.c_cflag |= size | parity | stop | (hardware_flow ? kHardwareFlow : 0);
  result.c_iflag &= ~kFlowIflags;
  if ((state.flags & kDcbOutX) != 0) {
    result.c_iflag |= Flags(IXON);
  }
  if ((state.flags & kDcbInX) != 0) {
    result.c_iflag |= Flags(IXOFF);
  }
  result.c_cc[VSTART] = ControlChar(state.XonChar);
  result.c_cc[VSTOP] = ControlChar(state.XoffChar);
  if (cfsetispeed(&result, speed) != 0 || cfsetospeed(&result, speed) != 0) {
    return EINVAL;
  }
  settings = result;
  return 0;
}

DCB LineStateFromTermios(const termios& settings, const DCB& kept) {
  DCB state = kept;
  state.BaudRate = BaudRateForSpeed(cfgetospeed(&settings));
  state.ByteSize = ByteSizeOf(settings.c_cflag);
  state.Parity = ParityOf(settings.c_cflag);
  if ((settings.c_cflag & Flags(CSTOPB)) == 0) {
    state.StopBits = ONESTOPBIT;
  } else if (kept.StopBits != ONE5STOPBITS) {
    state.StopBits = TWOSTOPBITS;
  }

  const bool hardware_flow = kHardwareFlow != 0 && (settings.c_cflag & kHardwareFlow) != 0;
  if (hardware_flow && !WantsHardwareFlow(kept)) {
    state.flags |= kDcbOutxCtsFlow;
    state.flags = WithRtsControl(state.flags, RTS_CONTROL_HANDSHAKE);
  } else if (!hardware_flow && WantsHardwareFlow(kept)) {
    state.flags &= ~kDcbOutxCtsFlow;
    if (RtsControlOf(state.flags) == RTS_CONTROL_HANDSHAKE) {
      state.flags = WithRtsControl(state.flags, RTS_CONTROL_ENABLE);
    }
  }
  state.flags = WithFlag(state.flags, kDcbOutX, (settings.c_iflag & Flags(IXON)) != 0);
  state.flags = WithFlag(state.flags, kDcbInX, (settings.c_iflag & Flags(IXOFF)) != 0);
  state.XonChar = CharOf(settings.c_cc[VSTART]);
  state.XoffChar = CharOf(settings.c_cc[VSTOP]);
  return state;
}

bool SameLineSettings(const termios& wanted, const termios& actual) {
  return cfgetospeed(&wanted) == cfgetospeed(&actual) &&
         cfgetispeed(&wanted) == cfgetispeed(&actual) &&
         (wanted.c_cflag & kFrameAndFlowCflags) == (actual.c_cflag & kFrameAndFlowCflags) &&
         (wanted.c_iflag & kFlowIflags) == (actual.c_iflag & kFlowIflags) &&
         wanted.c_cc[VSTART] == actual.c_cc[VSTART] && wanted.c_cc[VSTOP] == actual.c_cc[VSTOP];
}

}  // namespace tovrel::posix_serial
