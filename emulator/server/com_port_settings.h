// What the server's UART does with the client's COM-PORT-OPTION settings requests: the line
// state each request asks for, and the value that answers it, taken from the state in force
// afterwards (a question, a refused value or a value the port cannot take is answered with the
// setting unchanged). Pure functions of the Win32-shaped line state.
#pragma once

#include <cstdint>
#include <vector>

#include "core/serial_types.h"
#include "rfc2217/telnet_codec.h"

namespace tovrel::server {

// The port's settings that have no place in the line state.
struct PortExtras {
  bool break_on = false;
};

// The line state `request` asks for, starting from `current`. Only SET-BAUDRATE, SET-DATASIZE,
// SET-PARITY, SET-STOPSIZE and SET-CONTROL change anything; SET-CONTROL's break values change
// `extras` instead.
DCB RequestedLineState(const rfc2217::ComPortMessage& request, const DCB& current,
                       PortExtras& extras);

// The value of the server's answer to `request`, given the state in force after it.
std::vector<std::uint8_t> AnswerValue(const rfc2217::ComPortMessage& request, const DCB& in_force,
                                      const PortExtras& extras);

// True for the requests answered through AnswerValue.
bool IsSettingsRequest(rfc2217::ComPortCommand command);

}  // namespace tovrel::server
