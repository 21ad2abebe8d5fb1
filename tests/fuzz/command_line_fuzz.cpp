// The command lines of tovrel and tovrel-emulator, and the port names tovrel is given
// ("rfc2217://host:port", "sim://", device paths). The input is split at its NUL bytes into
// arguments, each put in a block of exactly its size, so that a read past its end is seen.
//
// Properties checked on every input:
//  - CheckArguments accepts exactly the command lines with a firmware file and a port, and with
//    an accepted rate when the rate is the third and last argument; it passes both names on
//    unchanged and prints nothing when it accepts, the usage text (and the valid rates after a
//    bad rate) when it rejects;
//  - the decimal reading of a zero-terminated text and of the same bytes with their length agree;
//  - a network port name that parses has a host of 1 to 253 characters and a port from 1 to
//    65535, and written back in its plain form it parses to the same address; one that does not
//    parse is refused by the network backend with EINVAL before any connection is tried;
//  - the platform chosen for a name is the emulated device exactly for "sim://...";
//  - the emulator's options either run, ask for help, or give a one-line error, and a listen
//    address that parses parses again when written back.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/decimal.h"
#include "app/port_platform.h"
#include "core/clock.h"
#include "emulator/server/server_options.h"
#include "fuzz_support.h"
#include "serial/rfc2217/port_name.h"
#include "serial/rfc2217/rfc2217_serial_api.h"
#include "tests/support/test_files.h"

namespace tovrel::fuzz {
namespace {

constexpr std::size_t kMaxArguments = 8;

// One argument in a block of exactly its length and its terminating zero.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  std::unique_ptr<char[]> block(new char[text.size() + 1]);
  std::memcpy(block.get(), text.c_str(), text.size() + 1);
  return block;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

constexpr const char* kUsage = testing::kUsageText;
constexpr const char* kValidRates = testing::kValidRatesText;

void CheckCommandLine(const std::vector<std::string>& arguments, std::uint8_t knobs) {
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<const char*> argv;
  blocks.push_back(ExactCopy("tovrel"));
  argv.push_back(blocks.back().get());
  for (const std::string& argument : arguments) {
    blocks.push_back(ExactCopy(argument));
    argv.push_back(blocks.back().get());
  }
  // Null entries where a broken caller might leave them.
  const bool null_first = (knobs & 1u) != 0 && argv.size() > 1;
  const bool null_second = (knobs & 2u) != 0 && argv.size() > 2;
  if (null_first) {
    argv[1] = nullptr;
  }
  if (null_second) {
    argv[2] = nullptr;
  }
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  StringSink sink;
  UpdateArguments accepted;
  bool ok = false;
  {
    Console console(sink, true);
    ok = CheckArguments(argc, argv.data(), console, accepted);
  }
  const bool has_names = argc >= 3 && !null_first && !null_second;
  const bool rate_given = argc == 4;
  const std::int32_t rate = rate_given ? ParseDecimal(argv[3]) : kDefaultBaudRate;
  const bool expected = has_names && (!rate_given || IsAcceptedBaudRate(rate));
  TOVREL_FUZZ_CHECK(ok == expected);
  if (ok) {
    TOVREL_FUZZ_CHECK(sink.text.empty());
    TOVREL_FUZZ_CHECK(accepted.firmwareFile == argv[1]);
    TOVREL_FUZZ_CHECK(accepted.portName == argv[2]);
    TOVREL_FUZZ_CHECK(accepted.baudRate == rate);
  } else {
    const std::string bad_rate = std::string(kUsage) + kValidRates;
    TOVREL_FUZZ_CHECK(sink.text == (has_names ? bad_rate : std::string(kUsage)));
  }
}

void CheckDecimal(const std::string& text) {
  // Up to the first zero, as a C string is read; the same bytes with their length, in a block
  // without a terminator.
  const std::size_t length = std::strlen(text.c_str());
  std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[length == 0 ? 1 : length]);
  std::memcpy(bytes.get(), text.data(), length);
  TOVREL_FUZZ_CHECK(ParseDecimal(text.c_str()) == ParseDecimal(bytes.get(), length));
}

void CheckPortName(const std::string& name) {
  const std::unique_ptr<char[]> block = ExactCopy(name);
  const char* text = block.get();

  std::string scheme = name.substr(0, 10);
  for (char& c : scheme) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  TOVREL_FUZZ_CHECK(rfc2217::IsRfc2217PortName(text) == (scheme == "rfc2217://"));

  rfc2217::RemotePortAddress address;
  if (rfc2217::ParseRfc2217PortName(text, address)) {
    TOVREL_FUZZ_CHECK(rfc2217::IsRfc2217PortName(text));
    TOVREL_FUZZ_CHECK(!address.host.empty() && address.host.size() <= 253);
    TOVREL_FUZZ_CHECK(address.port != 0);
    const bool ipv6 = address.host.find(':') != std::string::npos;
    const std::string plain = "rfc2217://" + (ipv6 ? "[" + address.host + "]" : address.host) +
                              ":" + std::to_string(address.port);
    rfc2217::RemotePortAddress again;
    TOVREL_FUZZ_CHECK(rfc2217::ParseRfc2217PortName(plain.c_str(), again));
    TOVREL_FUZZ_CHECK(again.host == address.host && again.port == address.port);
  } else if (rfc2217::IsRfc2217PortName(text)) {
    // Refused before any connection is tried; a name that parses is not opened here, since
    // that would reach out to the network.
    Rfc2217SerialApi api;
    PortHandle port = 0;
    const SysResult opened = api.OpenPort(text, port);
    TOVREL_FUZZ_CHECK(port == INVALID_HANDLE_VALUE);
    TOVREL_FUZZ_CHECK(!opened && opened.Error() == static_cast<std::uint32_t>(EINVAL));
  }

  // Nothing is opened: a device path would reach the machine's own ports and files.
  VirtualClock clock;
  const PortPlatform platform = SelectPortPlatform(text, 38400, clock);
  TOVREL_FUZZ_CHECK(platform.api != nullptr);
  TOVREL_FUZZ_CHECK((platform.device != nullptr) == StartsWith(name, kEmulatedPortPrefix));
}

void CheckEmulatorOptions(const std::vector<std::string>& arguments) {
  const server::ParseResult result = server::ParseServerOptions(arguments);
  if (result.outcome == ParseOutcome::kError) {
    TOVREL_FUZZ_CHECK(!result.error.empty());
    TOVREL_FUZZ_CHECK(result.error.find('\n') == std::string::npos);
  }
  for (const std::string& argument : arguments) {
    std::string host;
    std::uint16_t port = 0;
    if (server::ParseListenAddress(argument, host, port)) {
      // In brackets as it came: the parser takes any host in brackets and leaves the check of
      // the name to the resolver.
      const bool bracketed = argument[0] == '[';
      const std::string plain = (bracketed ? "[" + host + "]" : host) + ":" + std::to_string(port);
      std::string host_again;
      std::uint16_t port_again = 0;
      TOVREL_FUZZ_CHECK(server::ParseListenAddress(plain, host_again, port_again));
      TOVREL_FUZZ_CHECK(host_again == host && port_again == port);
    }
  }
}

}  // namespace
}  // namespace tovrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte sets the knobs; the rest is the arguments, separated by zero bytes.
  const std::uint8_t knobs = data[0];
  std::vector<std::string> arguments(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      if (arguments.size() == tovrel::fuzz::kMaxArguments) {
        break;
      }
      arguments.emplace_back();
    } else {
      arguments.back().push_back(static_cast<char>(data[i]));
    }
  }
  tovrel::fuzz::CheckCommandLine(arguments, knobs);
  for (const std::string& argument : arguments) {
    tovrel::fuzz::CheckDecimal(argument);
    tovrel::fuzz::CheckPortName(argument);
  }
  tovrel::fuzz::CheckEmulatorOptions(arguments);
  return 0;
}
