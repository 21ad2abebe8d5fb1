#include "emulator/server/server_options.h"

#include <functional>

namespace tovrel::server {
namespace {

// Longest identification the inquiry reply's three-digit count can announce.
constexpr std::uint64_t kMaxProductIdBytes = 999;
constexpr std::uint64_t kMaxMilliseconds = 3'600'000;  // an hour: beyond any sensible fault
constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

bool ParseNumber(const std::string& text, std::uint64_t low, std::uint64_t high,
                 std::uint64_t& value) {
  if (text.empty() || text.size() > 10) {
    return false;
  }
  std::uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    number = number * 10u + static_cast<std::uint64_t>(c - '0');
  }
  if (number < low || number > high) {
    return false;
  }
  value = number;
  return true;
}

// Where one --*-reply option puts its fault.
ReplyFault* ReplyFaultOf(DeviceFaults& faults, const std::string& command) {
  if (command == "inquiry") {
    return &faults.inquiry;
  }
  if (command == "baud") {
    return &faults.baud;
  }
  if (command == "start") {
    return &faults.start;
  }
  return nullptr;
}

using Apply = std::function<bool(ServerOptions&, const std::string&)>;

struct OptionRule {
  const char* name;
  bool takes_value;
  const char* expected;  // what a valid value looks like, for the error message
  Apply apply;
};

Apply Number(std::uint64_t low, std::uint64_t high,
             std::function<void(ServerOptions&, std::uint64_t)> store) {
  return [low, high, store](ServerOptions& options, const std::string& value) {
    std::uint64_t number = 0;
    if (!ParseNumber(value, low, high, number)) {
      return false;
    }
    store(options, number);
    return true;
  };
}

Apply Flag(std::function<void(ServerOptions&)> set) {
  return [set](ServerOptions& options, const std::string&) {
    set(options);
    return true;
  };
}

Apply Reply(ReplyFault fault) {
  return [fault](ServerOptions& options, const std::string& value) {
    ReplyFault* target = ReplyFaultOf(options.faults, value);
    if (target == nullptr) {
      return false;
    }
    *target = fault;
    return true;
  };
}

Apply Text(std::size_t longest, std::function<void(ServerOptions&, const std::string&)> store) {
  return [longest, store](ServerOptions& options, const std::string& value) {
    if (value.size() > longest) {
      return false;
    }
    store(options, value);
    return true;
  };
}

const std::vector<OptionRule>& Rules() {
  static const std::vector<OptionRule> rules = {
      {"listen", true, "HOST:PORT",
       [](ServerOptions& o, const std::string& v) {
         return ParseListenAddress(v, o.host, o.port);
       }},
      {"once", false, "", Flag([](ServerOptions& o) { o.once = true; })},
      {"save-image", true, "a file name",
       [](ServerOptions& o, const std::string& v) {
         if (v.empty()) {
           return false;
         }
         o.save_image = v;
         return true;
       }},
      {"baud", true, "a rate from 1 to 4000000",
       Number(1, 4'000'000,
              [](ServerOptions& o, std::uint64_t n) {
                o.config.initial_baud = static_cast<std::uint32_t>(n);
              })},
      {"product-id", true, "at most 999 characters",
       Text(kMaxProductIdBytes,
            [](ServerOptions& o, const std::string& v) { o.config.product_id = v; })},
      {"product-id-after", true, "at most 999 characters",
       Text(kMaxProductIdBytes,
            [](ServerOptions& o, const std::string& v) { o.config.product_id_after_flash = v; })},
      {"busy-ms", true, "milliseconds from 0 to 3600000",
       Number(0, kMaxMilliseconds,
              [](ServerOptions& o, std::uint64_t n) { o.config.busy_per_piece_us = n * 1000u; })},
      {"piece-bytes", true, "a number from 1 to 65536",
       Number(1, 65536,
              [](ServerOptions& o, std::uint64_t n) {
                o.config.piece_bytes = static_cast<std::uint32_t>(n);
              })},
      {"max-image", true, "a number of bytes",
       Number(0, kMaxCount,
              [](ServerOptions& o, std::uint64_t n) {
                o.config.max_image_bytes = static_cast<std::uint32_t>(n);
              })},
      {"silent", false, "", Flag([](ServerOptions& o) { o.faults.silent = true; })},
      {"no-reply", true, "inquiry, baud or start", Reply(ReplyFault::kNoReply)},
      {"wrong-reply", true, "inquiry, baud or start", Reply(ReplyFault::kWrongReply)},
      {"short-reply", true, "inquiry, baud or start", Reply(ReplyFault::kShortReply)},
      {"short-by", true, "a number from 1 to 1000",
       Number(1, 1000,
              [](ServerOptions& o, std::uint64_t n) {
                o.faults.short_reply_missing_bytes = static_cast<std::uint32_t>(n);
              })},
      {"inquiry-count", true, "at most 3 characters",
       Text(3, [](ServerOptions& o, const std::string& v) { o.faults.inquiry_count_text = v; })},
      {"inquiry-text-bytes", true, "a number from 0 to 999",
       Number(0, kMaxProductIdBytes,
              [](ServerOptions& o, std::uint64_t n) {
                o.faults.inquiry_text_bytes = static_cast<std::uint32_t>(n);
              })},
      {"refuse-rate-change", false, "",
       Flag([](ServerOptions& o) { o.faults.refuse_rate_change = true; })},
      {"cts-stuck-off", false, "", Flag([](ServerOptions& o) { o.faults.cts_stuck_off = true; })},
      {"cts-off-after-pieces", true, "a number of pieces",
       Number(0, kMaxCount,
              [](ServerOptions& o, std::uint64_t n) {
                o.faults.cts_stuck_off_after_pieces = static_cast<std::uint32_t>(n);
              })},
      {"reply-nuls", true, "a number from 0 to 1000",
       Number(0, 1000,
              [](ServerOptions& o, std::uint64_t n) {
                o.faults.reply_nuls = static_cast<std::uint32_t>(n);
              })},
      {"reply-delay-ms", true, "milliseconds from 0 to 3600000",
       Number(0, kMaxMilliseconds,
              [](ServerOptions& o, std::uint64_t n) { o.faults.reply_delay_us = n * 1000u; })},
  };
  return rules;
}

const OptionRule* FindRule(const std::string& name) {
  for (const OptionRule& rule : Rules()) {
    if (name == rule.name) {
      return &rule;
    }
  }
  return nullptr;
}

// A piece of the command line as an error message shows it: in quotes, with line breaks and
// other control bytes written as \xNN, so that the message stays one line whatever was typed.
std::string Quoted(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string quoted = "'";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      quoted += "\\x";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0x0F];
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ParseResult Error(std::string message) {
  ParseResult result;
  result.outcome = ParseOutcome::kError;
  result.error = std::move(message);
  return result;
}

}  // namespace

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
  if (host_part.empty() || !ParseNumber(port_part, 0, 65535, number)) {
    return false;
  }
  host = host_part;
  port = static_cast<std::uint16_t>(number);
  return true;
}

ParseResult ParseServerOptions(const std::vector<std::string>& arguments) {
  ParseResult result;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      result.outcome = ParseOutcome::kHelp;
      return result;
    }
    if (argument.size() < 3 || argument.compare(0, 2, "--") != 0) {
      return Error("unexpected argument " + Quoted(argument));
    }
    const std::size_t equals = argument.find('=');
    const std::string name =
        argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const OptionRule* rule = FindRule(name);
    if (rule == nullptr) {
      return Error("unknown option " + Quoted("--" + name));
    }
    std::string value;
    if (!rule->takes_value) {
      if (equals != std::string::npos) {
        return Error("option '--" + name + "' takes no value");
      }
    } else if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return Error("option '--" + name + "' needs a value (" + rule->expected + ")");
    }
    if (!rule->apply(result.options, value)) {
      return Error("invalid value " + Quoted(value) + " for '--" + name + "' (expected " +
                   rule->expected + ")");
    }
  }
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
