#include "emulator/server/server_options.h"

#include "core/whole_number.h"

namespace tovrel::server {

bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port) {
  std::string host_part;
  std::string port_part;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    host_part = text.substr(1, close - 1);
    port_part = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      return false;  // an IPv6 address needs its brackets
    }
    host_part = text.substr(0, colon);
    port_part = text.substr(colon + 1);
  }
  std::uint64_t number = 0;
  if (host_part.empty() || !ReadWholeNumber(port_part, 0, 65535, number)) {
    return false;
  }
  host = host_part;
  port = static_cast<std::uint16_t>(number);
  return true;
}

ParseResult ParseServerOptions(const std::vector<std::string>& arguments) {
  ParseResult result;
  const std::vector<ProgramOption> own = {
      {"listen", "HOST:PORT", [&result](const std::string& value) {
         return ParseListenAddress(value, result.options.host, result.options.port);
       }}};
  result.outcome = ParseDeviceOptions(arguments, own, result.options, result.error);
  return result;
}

std::string UsageText() {
  return "Usage: tovrel-emulator [--listen HOST:PORT] [--once] [options]\n"
         "  Serves an emulated Velmor transporter/printer as a serial port over the network\n"
         "  (RFC 2217), one client at a time: rfc2217://HOST:PORT for tovrel. After each\n"
         "  connection the device returns to its power-on state.\n"
         "\n"
         "  --listen HOST:PORT        address to listen on (default 127.0.0.1:2217);\n"
         "                            port 0 picks a free port, shown in the banner\n"
         "  --once                    serve one connection, then exit: status 0 when the\n"
         "                            device received a complete image, else 1\n"
         "  --save-image PATH         write the received image to PATH after each connection\n"
         "                            that started an update\n"
         "  --help                    show this text\n"
         "\n"
         "Device:\n"
         "  --baud N                  speed the device starts at (default 38400)\n"
         "  --product-id TEXT         identification (default \"VELMOR TP-200 FW 1.04\")\n"
         "  --product-id-after TEXT   identification after a complete update\n"
         "                            (default \"VELMOR TP-200 FW 1.05\")\n"
         "  --busy-ms N               CTS off for N ms after each image piece (default 5)\n"
         "  --piece-bytes N           size of the pieces the device writes (default 128)\n"
         "  --max-image N             refuse announced images larger than N bytes\n"
         "\n"
         "Faults (CMD is inquiry, baud or start):\n"
         "  --silent                  never send anything back\n"
         "  --no-reply CMD            carry CMD out but send no reply\n"
         "  --wrong-reply CMD         send a wrong reply to CMD\n"
         "  --short-reply CMD         leave the last byte off the reply to CMD\n"
         "  --short-by N              bytes a short reply leaves off (default 1)\n"
         "  --inquiry-count TEXT      send TEXT as the inquiry reply's byte count\n"
         "  --inquiry-text-bytes N    send N identification bytes, whatever the count says\n"
         "  --refuse-rate-change      refuse every baud-rate command\n"
         "  --cts-stuck-off           keep CTS off from the start\n"
         "  --cts-off-after-pieces N  turn CTS off for good after N image pieces\n"
         "  --reply-nuls N            send N NUL bytes after each reply byte but the last\n"
         "  --reply-delay-ms N        wait N ms before answering a command\n"
         "\n"
         "SIGINT or SIGTERM ends the connection in progress and stops the server.\n"
         "Exit status: 0; with --once, 1 when the device did not receive a complete image;\n"
         "2 for a bad command line or an address that cannot be used.\n";
}

}  // namespace tovrel::server
