#include "Protocol.h"

#include <gtest/gtest.h>

namespace varen::server {
namespace {

// The start command exactly as the library writes it.
constexpr const char* kClientStart =
    R"({"decoding":"start", "audio-type":"speex;nb;8", "traceback-period":0.2, "timeout":10, )"
    R"("n-best":3, "do-word-alignment":true, "do-endpointing":true, "min-silence":1.500000, )"
    R"("connection-mode":"on-stop-close"})";

std::string errorOf(const std::string& text) {
    Command command = parseCommand(text);
    auto* error = std::get_if<CommandError>(&command);
    return error ? error->message : "(accepted)";
}

StartOptions startOf(const std::string& text) {
    Command command = parseCommand(text);
    auto* start = std::get_if<StartCommand>(&command);
    if (!start) throw std::runtime_error("refused: " + errorOf(text));
    return start->options;
}

TEST(RequestTarget, SplitsPathAndPercentDecodesTheQuery) {
    RequestTarget target =
        parseRequestTarget("/ws/client/speech?key=a%20b%26c&model=en-US_8k_digits");
    EXPECT_EQ(target.path, "/ws/client/speech");
    EXPECT_EQ(target.query["key"], "a b&c");
    EXPECT_EQ(target.query["model"], "en-US_8k_digits");
}

TEST(RequestTarget, KeepsWhatIsNotAnEscapeAndTheFirstOfRepeatedNames) {
    RequestTarget target = parseRequestTarget("/p?key=100%&model=a+b%zz&key=second&empty#frag");
    EXPECT_EQ(target.query["key"], "100%");
    EXPECT_EQ(target.query["model"], "a+b%zz");
    EXPECT_EQ(target.query["empty"], "");
    EXPECT_EQ(target.query.count("frag"), 0u);
    EXPECT_EQ(parseRequestTarget("/ws/client/speech").query.size(), 0u);
}

TEST(StartCommand, AcceptsTheClientsCommandWithItsSettings) {
    StartOptions options = startOf(kClientStart);
    EXPECT_DOUBLE_EQ(options.tracebackPeriod, 0.2);
    EXPECT_DOUBLE_EQ(options.timeout, 10.0);
    EXPECT_EQ(options.nBest, 3);
    EXPECT_TRUE(options.doEndpointing);
    EXPECT_DOUBLE_EQ(options.minSilence, 1.5);
    EXPECT_EQ(options.connectionMode, ConnectionMode::onStopClose);
}

TEST(StartCommand, FillsAbsentMembersAndBoundsTheAlternatives) {
    StartOptions options = startOf(R"({"decoding":"start","audio-type":"speex;nb;8"})");
    EXPECT_EQ(options.nBest, 1);
    EXPECT_FALSE(options.doEndpointing);
    EXPECT_EQ(startOf(R"({"decoding":"start","audio-type":"speex;nb;8","n-best":0})").nBest, 1);
    EXPECT_EQ(startOf(R"({"decoding":"start","audio-type":"speex;nb;8","n-best":-4})").nBest, 1);
    EXPECT_EQ(startOf(R"({"decoding":"start","audio-type":"speex;nb;8","n-best":500})").nBest,
              kMaxAlternatives);
    EXPECT_EQ(startOf(R"({"decoding":"start","audio-type":"speex;nb;8",)"
                      R"("connection-mode":"keep-alive"})")
                  .connectionMode,
              ConnectionMode::keepAlive);
}

TEST(StartCommand, RefusesOtherAudioTypesAndBadValues) {
    EXPECT_EQ(errorOf(R"({"decoding":"start","audio-type":"speex;wb;16"})"),
              "Unsupported audio type");
    EXPECT_EQ(errorOf(R"({"decoding":"start"})"), "Unsupported audio type");
    EXPECT_EQ(errorOf(R"({"decoding":"start","audio-type":"speex;nb;8","min-silence":-1})"),
              "Invalid min-silence: expected a number of seconds from 0 to 600");
    EXPECT_EQ(errorOf(R"({"decoding":"start","audio-type":"speex;nb;8","timeout":"10"})"),
              "Invalid timeout: expected a number of seconds from 0 to 86400");
    EXPECT_EQ(errorOf(R"({"decoding":"start","audio-type":"speex;nb;8","n-best":1.5})"),
              "Invalid n-best: expected an integer");
    EXPECT_EQ(errorOf(R"({"decoding":"start","audio-type":"speex;nb;8","do-endpointing":1})"),
              "Invalid do-endpointing: expected true or false");
    EXPECT_EQ(errorOf(R"({"decoding":"start","audio-type":"speex;nb;8","connection-mode":"x"})"),
              "Unsupported connection mode x");
}

TEST(StartCommand, TakesNumbersOnlyWithinTheirRanges) {
    auto with = [](const std::string& member) {
        return R"({"decoding":"start","audio-type":"speex;nb;8",)" + member + "}";
    };
    EXPECT_DOUBLE_EQ(startOf(with(R"("traceback-period":60)")).tracebackPeriod, 60.0);
    EXPECT_DOUBLE_EQ(startOf(with(R"("timeout":0)")).timeout, 0.0);
    EXPECT_DOUBLE_EQ(startOf(with(R"("min-silence":600)")).minSilence, 600.0);
    EXPECT_EQ(startOf(with(R"("n-best":-2147483647)")).nBest, 1);
    EXPECT_EQ(errorOf(with(R"("traceback-period":60.001)")),
              "Invalid traceback-period: expected a number of seconds from 0 to 60");
    EXPECT_EQ(errorOf(with(R"("timeout":86401)")),
              "Invalid timeout: expected a number of seconds from 0 to 86400");
    EXPECT_EQ(errorOf(with(R"("n-best":2147483648)")), "Invalid n-best: expected an integer");
}

TEST(Command, SaysWhatIsWrongWithATextThatIsNoCommand) {
    EXPECT_EQ(errorOf("{oops"), "Malformed JSON at byte 2");
    EXPECT_EQ(errorOf(""), "Malformed JSON at byte 1");
    EXPECT_EQ(errorOf("[1,2]"), "Command is not a JSON object");
    EXPECT_EQ(errorOf(R"({"audio-type":"speex;nb;8"})"), "Command without \"decoding\"");
    EXPECT_EQ(errorOf(R"({"decoding":"pause"})"), "Unknown decoding command pause");
    EXPECT_EQ(errorOf(R"({"decoding":7})"), "Unknown decoding command 7");
    EXPECT_TRUE(std::holds_alternative<StopCommand>(parseCommand(R"({"decoding":"stop"})")));
}

TEST(Messages, HaveTheMembersTheClientReads) {
    EXPECT_EQ(readyMessage(), R"({"status":"ready"})");
    EXPECT_EQ(statusMessage("busy"), R"({"status":"busy"})");
    EXPECT_EQ(errorMessage("Invalid API key"), R"({"status":"error","error":"Invalid API key"})");
    EXPECT_EQ(partialMessage("one two"), R"({"final":false,"transcript":"one two"})");
    EXPECT_EQ(finalMessage({"one two", "one oh"}, 0.5),
              R"({"final":true,"hypotheses":[{"transcript":"one two"},{"transcript":"one oh"}],)"
              R"("confidence":0.5})");
    EXPECT_EQ(finalMessage({}, 0.0), R"({"final":true,"hypotheses":[],"confidence":0.0})");
}

}  // namespace
}  // namespace varen::server
