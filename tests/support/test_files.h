// The files the end-to-end tests give the programs and read back, and what a whole update
// prints: shared, so that every suite checks against the same image and the same text.
#pragma once

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>

namespace tovrel::testing {

// `size` bytes that do not repeat within a piece or line up with one, so that a piece lost,
// doubled or moved shows in the device's copy.
inline std::string ImageBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 31 + 7) ^ (i >> 8));
  }
  return bytes;
}

// Writes ImageBytes(size) to `path` and returns the path.
inline std::string WriteTestImage(const std::string& path, std::size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << ImageBytes(size);
  return path;
}

// The whole content of a file; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// What tovrel prints after naming what it could not use: how it is called.
inline constexpr char kUsageText[] =
    "Usage: Tovrel <flashfile> <COMn> [Baudrate]\n"
    "  Writes a new program <flashfile> into the Velmor flash memory\n"
    "  on the specified COM port. Default baud rate is 38400\n"
    "  Example: tovrel a:tamix.bin COM2 115200\n";
// What it adds to that when the baud rate is not one of its own.
inline constexpr char kValidRatesText[] =
    "  Valid baud rates are 9600, 38400, 115200, and 230400\n";

// What tovrel prints for a complete update of a 2 KiB image into the emulated device.
inline constexpr char kTwoKibUpdateOutput[] =
    "Product ID: VELMOR TP-200 FW 1.04\n"
    "\nProgramming -   0%\b\b\b\b 50%\b\b\b\b100%\b\b\b\b100%\n"
    "Product ID: VELMOR TP-200 FW 1.05\n"
    "Flash update complete!\n";

}  // namespace tovrel::testing
