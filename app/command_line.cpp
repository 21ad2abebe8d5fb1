#include "app/command_line.h"

#include "app/decimal.h"

namespace tovrel {

bool IsAcceptedBaudRate(std::int32_t rate) {
  return rate == 9600 || rate == 38400 || rate == 115200 || rate == 230400;
}

void PrintUsage(Console& console) {
  console.Print("Usage: Tovrel <flashfile> <COMn> [Baudrate]\n");
  console.Print("  Writes a new program <flashfile> into the Velmor flash memory\n");
  console.Print("  on the specified COM port. Default baud rate is 38400\n");
  console.Print("  Example: tovrel a:tamix.bin COM2 115200\n");
}

bool CheckArguments(int argc, const char* const* argv, Console& console,
                    UpdateArguments& accepted) {
  if (argc < 3 || argv == nullptr || argv[1] == nullptr || argv[2] == nullptr) {
    PrintUsage(console);
    return false;
  }
  std::int32_t rate = kDefaultBaudRate;
  if (argc == 4) {
    rate = ParseDecimal(argv[3]);
    if (!IsAcceptedBaudRate(rate)) {
      PrintUsage(console);
      console.Print("  Valid baud rates are 9600, 38400, 115200, and 230400\n");
      return false;
    }
  }
  accepted.firmwareFile = argv[1];
  accepted.portName = argv[2];
  accepted.baudRate = rate;
  return true;
}

}  // namespace tovrel
