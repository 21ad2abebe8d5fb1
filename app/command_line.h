#pragma once

#include <cstdint>

#include "app/console.h"

namespace tovrel {

inline constexpr std::int32_t kDefaultBaudRate = 38400;

// The arguments of one run. The two texts point into the caller's argument vector and are passed
// on unchanged.
struct UpdateArguments {
  const char* firmwareFile = nullptr;
  const char* portName = nullptr;
  std::int32_t baudRate = kDefaultBaudRate;
};

// True for the rates the device can be driven at: 9600, 38400, 115200 and 230400.
bool IsAcceptedBaudRate(std::int32_t rate);

// The four usage lines, each printed as one message.
void PrintUsage(Console& console);

// Reads the command line as main receives it (argv[0] is the program's name and is not used).
// True with `accepted` filled in when the run may go ahead; false after printing why not, in which
// case the caller exits with status 1. A baud rate is read only when it is the third and last
// argument; with four or more arguments the default rate is used without a word. A missing
// vector, or a null entry among the first two arguments, counts as too few arguments.
bool CheckArguments(int argc, const char* const* argv, Console& console, UpdateArguments& accepted);

}  // namespace tovrel
