// The tovrel-emulator command line.
#include "emulator/server/server_options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/case_name.h"

namespace tovrel::server {
namespace {

using Args = std::vector<std::string>;

struct AcceptedCase {
  const char* name;
  Args arguments;
  std::function<bool(const ServerOptions&)> holds;
};

class AcceptedOptions : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedOptions, AreStored) {
  const AcceptedCase& c = GetParam();
  const ParseResult result = ParseServerOptions(c.arguments);
  ASSERT_EQ(result.outcome, ParseOutcome::kRun) << result.error;
  EXPECT_TRUE(c.holds(result.options));
}

INSTANTIATE_TEST_SUITE_P(
    Options, AcceptedOptions,
    ::testing::Values(
        AcceptedCase{"Defaults",
                     {},
                     [](const ServerOptions& o) {
                       const DeviceConfig device;
                       return o.host == "127.0.0.1" && o.port == 2217 && !o.once && !o.save_image &&
                              o.config.initial_baud == 38400 &&
                              o.config.product_id == device.product_id && !o.faults.silent;
                     }},
        AcceptedCase{"Listen",
                     {"--listen", "0.0.0.0:0"},
                     [](const ServerOptions& o) { return o.host == "0.0.0.0" && o.port == 0; }},
        AcceptedCase{
            "ListenWithEquals",
            {"--listen=localhost:65535"},
            [](const ServerOptions& o) { return o.host == "localhost" && o.port == 65535; }},
        AcceptedCase{"ListenIpv6",
                     {"--listen", "[::1]:2217"},
                     [](const ServerOptions& o) { return o.host == "::1" && o.port == 2217; }},
        AcceptedCase{"OnceAndSaveImage",
                     {"--once", "--save-image", "/tmp/x.bin"},
                     [](const ServerOptions& o) {
                       return o.once && o.save_image && *o.save_image == "/tmp/x.bin";
                     }},
        AcceptedCase{"Baud",
                     {"--baud", "115200"},
                     [](const ServerOptions& o) { return o.config.initial_baud == 115200; }},
        AcceptedCase{"ProductIds",
                     {"--product-id", "A B", "--product-id-after=", "--piece-bytes", "64"},
                     [](const ServerOptions& o) {
                       return o.config.product_id == "A B" &&
                              o.config.product_id_after_flash == std::string() &&
                              o.config.piece_bytes == 64;
                     }},
        AcceptedCase{"BusyAndDelay",
                     {"--busy-ms", "250", "--reply-delay-ms=7"},
                     [](const ServerOptions& o) {
                       return o.config.busy_per_piece_us == 250000 &&
                              o.faults.reply_delay_us == 7000;
                     }},
        AcceptedCase{"ReplyFaults",
                     {"--no-reply", "inquiry", "--wrong-reply", "baud", "--short-reply", "start",
                      "--short-by", "3"},
                     [](const ServerOptions& o) {
                       return o.faults.inquiry == ReplyFault::kNoReply &&
                              o.faults.baud == ReplyFault::kWrongReply &&
                              o.faults.start == ReplyFault::kShortReply &&
                              o.faults.short_reply_missing_bytes == 3;
                     }},
        AcceptedCase{"LaterReplyFaultWins",
                     {"--no-reply", "baud", "--short-reply", "baud"},
                     [](const ServerOptions& o) {
                       return o.faults.baud == ReplyFault::kShortReply &&
                              o.faults.inquiry == ReplyFault::kNone;
                     }},
        AcceptedCase{"Switches",
                     {"--silent", "--refuse-rate-change", "--cts-stuck-off"},
                     [](const ServerOptions& o) {
                       return o.faults.silent && o.faults.refuse_rate_change &&
                              o.faults.cts_stuck_off;
                     }},
        AcceptedCase{"Counts",
                     {"--cts-off-after-pieces", "3", "--reply-nuls", "2", "--inquiry-count", "ab1",
                      "--inquiry-text-bytes", "4", "--max-image", "1000"},
                     [](const ServerOptions& o) {
                       return o.faults.cts_stuck_off_after_pieces == 3u &&
                              o.faults.reply_nuls == 2 && o.faults.inquiry_count_text == "ab1" &&
                              o.faults.inquiry_text_bytes == 4u && o.config.max_image_bytes == 1000;
                     }},
        AcceptedCase{
            "CtsOffAtTheStart",
            {"--cts-off-after-pieces=0"},
            [](const ServerOptions& o) { return o.faults.cts_stuck_off_after_pieces == 0u; }}),
    CaseName());

struct RejectedCase {
  const char* name;
  Args arguments;
  const char* error;
};

class RejectedOptions : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(RejectedOptions, SayWhatIsWrong) {
  const RejectedCase& c = GetParam();
  const ParseResult result = ParseServerOptions(c.arguments);
  EXPECT_EQ(result.outcome, ParseOutcome::kError);
  EXPECT_EQ(result.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Options, RejectedOptions,
    ::testing::Values(
        RejectedCase{"Unknown", {"--bogus"}, "unknown option '--bogus'"},
        RejectedCase{"UnknownWithValue", {"--bogus=1"}, "unknown option '--bogus'"},
        RejectedCase{"NotAnOption", {"listen"}, "unexpected argument 'listen'"},
        RejectedCase{"SingleDash", {"-once"}, "unexpected argument '-once'"},
        RejectedCase{"LineBreakShownEscaped", {"a\nb\x1b"}, "unexpected argument 'a\\x0Ab\\x1B'"},
        RejectedCase{
            "MissingValue", {"--baud"}, "option '--baud' needs a value (a rate from 1 to 4000000)"},
        RejectedCase{"ZeroRate",
                     {"--baud", "0"},
                     "invalid value '0' for '--baud' (expected a rate from 1 to 4000000)"},
        RejectedCase{"RateWithLetters",
                     {"--baud", "9600x"},
                     "invalid value '9600x' for '--baud' (expected a rate from 1 to 4000000)"},
        RejectedCase{"NegativeCount",
                     {"--reply-nuls", "-1"},
                     "invalid value '-1' for '--reply-nuls' (expected a number from 0 to 1000)"},
        RejectedCase{"HugeNumber",
                     {"--cts-off-after-pieces", "99999999999"},
                     "invalid value '99999999999' for '--cts-off-after-pieces' (expected a "
                     "number of pieces)"},
        RejectedCase{"ListenWithoutPort",
                     {"--listen", "127.0.0.1"},
                     "invalid value '127.0.0.1' for '--listen' (expected HOST:PORT)"},
        RejectedCase{"ListenPortTooLarge",
                     {"--listen", "127.0.0.1:65536"},
                     "invalid value '127.0.0.1:65536' for '--listen' (expected HOST:PORT)"},
        RejectedCase{"ListenWithoutHost",
                     {"--listen", ":2217"},
                     "invalid value ':2217' for '--listen' (expected HOST:PORT)"},
        RejectedCase{"ListenIpv6WithoutBrackets",
                     {"--listen", "::1:2217"},
                     "invalid value '::1:2217' for '--listen' (expected HOST:PORT)"},
        RejectedCase{"UnknownCommand",
                     {"--no-reply", "status"},
                     "invalid value 'status' for '--no-reply' (expected inquiry, baud or start)"},
        RejectedCase{"SwitchWithValue", {"--once=yes"}, "option '--once' takes no value"},
        RejectedCase{"CountTextTooLong",
                     {"--inquiry-count", "1234"},
                     "invalid value '1234' for '--inquiry-count' (expected at most 3 characters)"},
        RejectedCase{"EmptyImagePath",
                     {"--save-image="},
                     "invalid value '' for '--save-image' (expected a file name)"}),
    CaseName());

TEST(ServerOptions, HelpWinsOverWhatFollowsButNotOverWhatWentBefore) {
  EXPECT_EQ(ParseServerOptions({"--help"}).outcome, ParseOutcome::kHelp);
  EXPECT_EQ(ParseServerOptions({"--once", "-h", "--bogus"}).outcome, ParseOutcome::kHelp);
  EXPECT_EQ(ParseServerOptions({"--bogus", "--help"}).outcome, ParseOutcome::kError);
}

TEST(ServerOptions, ProductIdFitsTheThreeDigitCount) {
  EXPECT_EQ(ParseServerOptions({"--product-id", std::string(999, 'x')}).outcome,
            ParseOutcome::kRun);
  EXPECT_EQ(ParseServerOptions({"--product-id", std::string(1000, 'x')}).outcome,
            ParseOutcome::kError);
}

TEST(ServerOptions, UsageNamesEveryOptionTheParserKnows) {
  const std::string usage = UsageText();
  for (const char* name : {"listen",
                           "once",
                           "save-image",
                           "help",
                           "baud",
                           "product-id",
                           "product-id-after",
                           "busy-ms",
                           "piece-bytes",
                           "max-image",
                           "silent",
                           "no-reply",
                           "wrong-reply",
                           "short-reply",
                           "short-by",
                           "inquiry-count",
                           "inquiry-text-bytes",
                           "refuse-rate-change",
                           "cts-stuck-off",
                           "cts-off-after-pieces",
                           "reply-nuls",
                           "reply-delay-ms"}) {
    const std::string option = std::string("--") + name;
    EXPECT_NE(usage.find(option + " "), std::string::npos) << option;
    EXPECT_NE(ParseServerOptions({option}).error.rfind("unknown option", 0), 0u) << option;
  }
}

}  // namespace
}  // namespace tovrel::server
