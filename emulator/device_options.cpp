#include "emulator/device_options.h"

#include <functional>

#include "core/whole_number.h"

namespace tovrel {

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

namespace {

// Longest identification the inquiry reply's three-digit count can announce.
constexpr std::uint32_t kMaxProductIdBytes = 999;
constexpr std::uint32_t kMaxMilliseconds = 3'600'000;  // an hour: beyond any sensible fault
constexpr std::uint32_t kMaxCount = 0xFFFFFFFFu;

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

using Apply = std::function<bool(DeviceOptions&, const std::string&)>;

struct OptionRule {
  const char* name;
  bool takes_value;
  const char* expected;  // what a valid value looks like, for the error message
  Apply apply;
};

// Every range lies within 32 bits, so the number is stored as such.
Apply Number(std::uint32_t low, std::uint32_t high,
             std::function<void(DeviceOptions&, std::uint32_t)> store) {
  return [low, high, store](DeviceOptions& options, const std::string& value) {
    std::uint64_t number = 0;
    if (!ReadWholeNumber(value, low, high, number)) {
      return false;
    }
    store(options, static_cast<std::uint32_t>(number));
    return true;
  };
}

Apply Flag(std::function<void(DeviceOptions&)> set) {
  return [set](DeviceOptions& options, const std::string&) {
    set(options);
    return true;
  };
}

Apply Reply(ReplyFault fault) {
  return [fault](DeviceOptions& options, const std::string& value) {
    ReplyFault* target = ReplyFaultOf(options.faults, value);
    if (target == nullptr) {
      return false;
    }
    *target = fault;
    return true;
  };
}

Apply Text(std::size_t longest, std::function<void(DeviceOptions&, const std::string&)> store) {
  return [longest, store](DeviceOptions& options, const std::string& value) {
    if (value.size() > longest) {
      return false;
    }
    store(options, value);
    return true;
  };
}

const std::vector<OptionRule>& Rules() {
  static const std::vector<OptionRule> rules = {
      {"once", false, "", Flag([](DeviceOptions& o) { o.once = true; })},
      {"save-image", true, "a file name",
       [](DeviceOptions& o, const std::string& v) {
         if (v.empty()) {
           return false;
         }
         o.save_image = v;
         return true;
       }},
      {"baud", true, "a rate from 1 to 4000000",
       Number(1, 4'000'000, [](DeviceOptions& o, std::uint32_t n) { o.config.initial_baud = n; })},
      {"product-id", true, "at most 999 characters",
       Text(kMaxProductIdBytes,
            [](DeviceOptions& o, const std::string& v) { o.config.product_id = v; })},
      {"product-id-after", true, "at most 999 characters",
       Text(kMaxProductIdBytes,
            [](DeviceOptions& o, const std::string& v) { o.config.product_id_after_flash = v; })},
      {"busy-ms", true, "milliseconds from 0 to 3600000",
       Number(0, kMaxMilliseconds,
              [](DeviceOptions& o, std::uint32_t n) {
                o.config.busy_per_piece_us = Clock::Micros{n} * 1000u;
              })},
      {"piece-bytes", true, "a number from 1 to 65536",
       Number(1, 65536, [](DeviceOptions& o, std::uint32_t n) { o.config.piece_bytes = n; })},
      {"max-image", true, "a number of bytes",
       Number(0, kMaxCount,
              [](DeviceOptions& o, std::uint32_t n) { o.config.max_image_bytes = n; })},
      {"silent", false, "", Flag([](DeviceOptions& o) { o.faults.silent = true; })},
      {"no-reply", true, "inquiry, baud or start", Reply(ReplyFault::kNoReply)},
      {"wrong-reply", true, "inquiry, baud or start", Reply(ReplyFault::kWrongReply)},
      {"short-reply", true, "inquiry, baud or start", Reply(ReplyFault::kShortReply)},
      {"short-by", true, "a number from 1 to 1000",
       Number(1, 1000,
              [](DeviceOptions& o, std::uint32_t n) { o.faults.short_reply_missing_bytes = n; })},
      {"inquiry-count", true, "at most 3 characters",
       Text(3, [](DeviceOptions& o, const std::string& v) { o.faults.inquiry_count_text = v; })},
      {"inquiry-text-bytes", true, "a number from 0 to 999",
       Number(0, kMaxProductIdBytes,
              [](DeviceOptions& o, std::uint32_t n) { o.faults.inquiry_text_bytes = n; })},
      {"refuse-rate-change", false, "",
       Flag([](DeviceOptions& o) { o.faults.refuse_rate_change = true; })},
      {"cts-stuck-off", false, "", Flag([](DeviceOptions& o) { o.faults.cts_stuck_off = true; })},
      {"cts-off-after-pieces", true, "a number of pieces",
       Number(0, kMaxCount,
              [](DeviceOptions& o, std::uint32_t n) { o.faults.cts_stuck_off_after_pieces = n; })},
      {"reply-nuls", true, "a number from 0 to 1000",
       Number(0, 1000, [](DeviceOptions& o, std::uint32_t n) { o.faults.reply_nuls = n; })},
      {"reply-delay-ms", true, "milliseconds from 0 to 3600000",
       Number(0, kMaxMilliseconds,
              [](DeviceOptions& o, std::uint32_t n) {
                o.faults.reply_delay_us = Clock::Micros{n} * 1000u;
              })},
  };
  return rules;
}

// The option of `options` called `name`, or nullptr.
template <typename Option>
const Option* Find(const std::vector<Option>& options, const std::string& name) {
  for (const Option& option : options) {
    if (name == option.name) {
      return &option;
    }
  }
  return nullptr;
}

ParseOutcome Error(std::string message, std::string& error) {
  error = std::move(message);
  return ParseOutcome::kError;
}

}  // namespace

ParseOutcome ParseDeviceOptions(const std::vector<std::string>& arguments,
                                const std::vector<ProgramOption>& program_options,
                                DeviceOptions& options, std::string& error) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      return ParseOutcome::kHelp;
    }
    if (argument.size() < 3 || argument.compare(0, 2, "--") != 0) {
      return Error("unexpected argument " + Quoted(argument), error);
    }
    const std::size_t equals = argument.find('=');
    const std::string name =
        argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const ProgramOption* own = Find(program_options, name);
    const OptionRule* rule = own != nullptr ? nullptr : Find(Rules(), name);
    if (own == nullptr && rule == nullptr) {
      return Error("unknown option " + Quoted("--" + name), error);
    }
    const bool takes_value = own != nullptr || rule->takes_value;
    const std::string expected = own != nullptr ? own->expected : rule->expected;
    std::string value;
    if (!takes_value) {
      if (equals != std::string::npos) {
        return Error("option '--" + name + "' takes no value", error);
      }
    } else if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return Error("option '--" + name + "' needs a value (" + expected + ")", error);
    }
    if (!(own != nullptr ? own->apply(value) : rule->apply(options, value))) {
      return Error(
          "invalid value " + Quoted(value) + " for '--" + name + "' (expected " + expected + ")",
          error);
    }
  }
  return ParseOutcome::kRun;
}

}  // namespace tovrel
