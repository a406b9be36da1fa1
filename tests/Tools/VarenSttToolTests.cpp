// varen-stt driven as a user drives it, against the scripted recognition server.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"

using namespace std::chrono_literals;
using nlohmann::json;
using varen::test::ChildProcess;
using varen::test::RecognitionServer;

namespace {

class VarenSttTool : public ::testing::Test {
  protected:
    void SetUp() override {
        speech = home.path() / "speech.wav";
        ASSERT_EQ(varen::test::runCommand("flite -t 'one two' -o '" + speech.string() + "'"), 0);
    }

    struct Run {
        int status;
        std::vector<json> events;
        std::string standardOutput;
        std::string standardError;
    };

    Run run(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{VAREN_STT_TOOL};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildProcess tool(argv, {{{"HOME", home.path().string()},
                                  {"XDG_CONFIG_HOME", (home.path() / ".config").string()}},
                                 {},
                                 false});
        const auto status = tool.wait(60s);
        Run result{status.value_or(-1), {}, tool.standardOutput(), tool.standardError()};
        std::istringstream lines(tool.standardOutput());
        std::string line;
        while (std::getline(lines, line)) {
            auto event = json::parse(line, nullptr, false);
            if (!event.is_discarded()) result.events.push_back(event);
        }
        return result;
    }

    std::vector<std::string> fileRun(const RecognitionServer& server) {
        return {"--json",  "--fast", "--input", speech.string(), "--url", server.decoderUrl(),
                "--model", "m"};
    }

    static std::vector<json> ofKind(const std::vector<json>& events, const std::string& kind) {
        std::vector<json> found;
        for (const auto& e : events)
            if (e["event"] == kind) found.push_back(e);
        return found;
    }

    varen::test::TemporaryHome home;
    std::filesystem::path speech;
};

}  // namespace

TEST_F(VarenSttTool, PrintsEveryEventAndExitsZeroOnAFinalResult) {
    RecognitionServer server(json::array({
        {{"wait", "binary:1"}, {"send", {{"final", false}, {"transcript", "one"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"one two", "one too"}, 0.9)}},
    }));
    auto args = fileRun(server);
    args.insert(args.end(), {"--max-results", "2", "--min-silence", "0", "--key", "k&y"});
    const auto result = run(args);
    ASSERT_EQ(result.status, 0) << result.standardError;

    EXPECT_EQ(ofKind(result.events, "partial"),
              (std::vector<json>{{{"event", "partial"}, {"text", "one"}}}));
    EXPECT_FALSE(ofKind(result.events, "level").empty());
    const auto finals = ofKind(result.events, "final");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["hypotheses"].size(), 2u);
    EXPECT_EQ(finals[0]["hypotheses"][1]["transcript"], "one too");
    EXPECT_NEAR(finals[0]["hypotheses"][0]["confidence"].get<double>(), 0.9, 1e-6);
    EXPECT_EQ(result.events.back()["event"], "recording");

    const auto texts = server.textMessages();
    ASSERT_FALSE(texts.empty());
    EXPECT_NE(texts[0].find("\"n-best\":2, "), std::string::npos);
    EXPECT_NE(texts[0].find("\"do-endpointing\":false, \"min-silence\":0.000000"),
              std::string::npos);
    EXPECT_EQ(server.events("connect").at(0)["path"], "/ws/client/speech?key=k%26y&model=m");

    // The recording is a real Ogg Speex file.
    const std::filesystem::path recording = result.events.back()["path"].get<std::string>();
    ASSERT_TRUE(std::filesystem::exists(recording));
    EXPECT_EQ(recording.parent_path(), home.documents() / "voice");
    const auto decoded = home.path() / "decoded.wav";
    EXPECT_EQ(varen::test::runCommand("speexdec '" + recording.string() + "' '" + decoded.string() +
                                      "' 2>/dev/null"),
              0);
    EXPECT_GT(std::filesystem::file_size(decoded), 44u);
}

// The library's own lines would break the status line: they appear only where asked for.
// The status line is for a person at a terminal; in a pipe only the results remain.
TEST_F(VarenSttTool, PipedWithoutJsonItPrintsOnlyTheResults) {
    RecognitionServer server(json::array({
        {{"wait", "binary:1"}, {"send", {{"final", false}, {"transcript", "one"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"one two"}, 0.5)}},
    }));
    auto args = fileRun(server);
    args.erase(args.begin());  // no --json
    const auto result = run(args);
    ASSERT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput.rfind("final result:\n  1. one two", 0), 0u)
        << result.standardOutput;
    EXPECT_EQ(result.standardOutput.find('\r'), std::string::npos);
    EXPECT_NE(result.standardOutput.find("\nrecording: "), std::string::npos);
}

TEST_F(VarenSttTool, LibraryLogsGoToStderrOnlyWithVerboseAndToTheLogFile) {
    const json script = json::array({
        {{"wait", "binary:1"}, {"send", {{"final", false}, {"transcript", "one"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"one two"}, 0.9)}},
    });
    const std::string logged = "didRecognizePartialText one";
    const auto logFile = home.path() / "library.log";
    {
        RecognitionServer server(script);
        auto args = fileRun(server);
        args.insert(args.end(), {"--log", logFile.string()});
        const auto quiet = run(args);
        ASSERT_EQ(quiet.status, 0) << quiet.standardError;
        EXPECT_EQ(quiet.standardError.find(logged), std::string::npos) << quiet.standardError;
        EXPECT_NE(varen::test::readTextFile(logFile).find(logged), std::string::npos);
    }
    RecognitionServer server(script);
    auto args = fileRun(server);
    args.push_back("--verbose");
    const auto verbose = run(args);
    ASSERT_EQ(verbose.status, 0) << verbose.standardError;
    EXPECT_NE(verbose.standardError.find(logged), std::string::npos) << verbose.standardError;
    EXPECT_EQ(run({"--log", (home.path() / "no" / "such" / "folder.log").string()}).status, 2);
}

TEST_F(VarenSttTool, StreamsItsOwnRecordingAgain) {
    const auto script = json::array(
        {{{"wait", "stop"}, {"send", RecognitionServer::finalResult({"one two"}, 0.9)}}});
    // In real time: at ten times, a stop at the end of the file cancels the frames a slow
    // (instrumented) encoder has not reached yet, and the two runs would differ by those.
    const auto realTime = [this](const RecognitionServer& server) {
        auto args = fileRun(server);
        args.erase(std::find(args.begin(), args.end(), "--fast"));
        return args;
    };
    RecognitionServer first(script);
    const auto recorded = run(realTime(first));
    ASSERT_EQ(recorded.status, 0) << recorded.standardError;
    speech = recorded.events.back()["path"].get<std::string>();

    RecognitionServer second(script);
    const auto replayed = run(realTime(second));
    ASSERT_EQ(replayed.status, 0) << replayed.standardError;
    // Every 20 ms frame again, give or take the capture buffer's last partial one.
    auto audioBytes = [](const RecognitionServer& server) {
        std::size_t bytes = 0;
        for (const auto& message : server.binaryMessages()) bytes += message.size();
        return double(bytes);
    };
    EXPECT_NEAR(audioBytes(second), audioBytes(first), 0.05 * audioBytes(first));
}

// The meter reads the audio of each refresh period, not the last 0.5 s capture buffer: on speech
// it hardly ever falls to silence between buffers.
TEST_F(VarenSttTool, TheLevelFollowsTheSpeechFromRefreshToRefresh) {
    RecognitionServer server(json::array(
        {{{"wait", "stop"}, {"send", RecognitionServer::finalResult({"one two"}, 0.9)}}}));
    auto args = fileRun(server);
    args.erase(std::find(args.begin(), args.end(), "--fast"));  // the meter refreshes in real time
    const auto result = run(args);
    ASSERT_EQ(result.status, 0) << result.standardError;
    std::vector<double> levels;
    for (const auto& event : ofKind(result.events, "level")) levels.push_back(event["db"]);
    const auto loud = [](double decibels) { return decibels > -60; };
    const auto first = std::find_if(levels.begin(), levels.end(), loud);
    const auto last = std::find_if(levels.rbegin(), levels.rend(), loud).base();
    ASSERT_LT(first, last);
    const auto span = last - first;
    EXPECT_GE(span, 10) << "a second of speech spans many refreshes";
    EXPECT_GE(std::count_if(first, last, loud) * 10, span * 6) << ::testing::PrintToString(levels);
}

TEST_F(VarenSttTool, ExitsOneOnEachKindOfFailure) {
    struct Case {
        json script;
        std::string message;
        std::vector<std::string> options = {};
    };
    const std::vector<Case> cases = {
        {json::array({{{"wait", "start"}, {"send", {{"status", "busy"}}}}}), "Busy"},
        {json::array(
             {{{"wait", "start"}, {"send", {{"status", "error"}, {"error", "Invalid API key"}}}}}),
         "Invalid API key"},
        {json::array({{{"wait", "start"}, {"close", {1000, ""}}}}),
         "Connection closed before the final result"},
        {json::array({{{"wait", "stop"}}}),
         "No final result from the server",
         {"--final-timeout", "0.2"}},
    };
    for (const auto& c : cases) {
        RecognitionServer server(c.script);
        auto args = fileRun(server);
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto result = run(args);
        EXPECT_EQ(result.status, 1) << c.message;
        const auto errors = ofKind(result.events, "error");
        ASSERT_EQ(errors.size(), 1u) << c.message;
        EXPECT_EQ(errors[0]["message"], c.message);
    }
}

TEST_F(VarenSttTool, ExitsOneWhenThePermissionIsRefusedOrTheFileIsMissing) {
    RecognitionServer server(json::array());
    auto denied = fileRun(server);
    denied.push_back("--deny-mic");
    const auto refused = run(denied);
    EXPECT_EQ(refused.status, 1);
    ASSERT_EQ(ofKind(refused.events, "error").size(), 1u);
    EXPECT_EQ(ofKind(refused.events, "error")[0]["message"],
              "User does not granted microphone permissions");

    const auto missing = run({"--json", "--input", (home.path() / "nothing.wav").string(), "--url",
                              server.decoderUrl()});
    EXPECT_EQ(missing.status, 1);
    ASSERT_EQ(ofKind(missing.events, "error").size(), 1u);
    EXPECT_EQ(ofKind(missing.events, "error")[0]["message"].get<std::string>().rfind(
                  "Audio input unavailable: ", 0),
              0u);
    EXPECT_TRUE(server.events().empty()) << "nothing connects when capture cannot start";
}

TEST_F(VarenSttTool, UsageErrorsExitTwoAndHelpExitsZero) {
    EXPECT_EQ(run({"--no-such-option"}).status, 2);
    EXPECT_EQ(run({"--max-results", "many"}).status, 2);
    EXPECT_EQ(run({"--fast"}).status, 2);
    EXPECT_EQ(run({"--url"}).status, 2);
    EXPECT_EQ(run({"--help"}).status, 0);
    EXPECT_EQ(run({"--version"}).status, 0);
}

TEST_F(VarenSttTool, TheTerminalScreenShowsThePromptPartialTextAndBallAndAKeyEndsIt) {
    if (varen::test::runCommand("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux missing";
    RecognitionServer server(json::array({
        {{"wait", "binary:1"}, {"send", {{"final", false}, {"transcript", "uno due tre"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"uno due tre"}, 0.9)}},
    }));
    const std::string session = "varenstt" + std::to_string(getpid());
    const auto statusFile = home.path() / "status";
    // A long silent tail keeps the run going until the key press.
    const auto padded = home.path() / "padded.wav";
    ASSERT_EQ(
        varen::test::runCommand("sox '" + speech.string() + "' '" + padded.string() + "' pad 0 30"),
        0);
    const std::string command =
        "HOME='" + home.path().string() + "' '" + std::string(VAREN_STT_TOOL) +
        "' --screen --prompt 'Say the digits' --input '" + padded.string() + "' --url '" +
        server.decoderUrl() + "'; echo $? > '" + statusFile.string() + "'";
    ASSERT_EQ(varen::test::runCommand("tmux new-session -d -s " + session + " -x 100 -y 30 \"" +
                                      command + "\""),
              0);
    auto pane = [&] {
        const auto out = home.path() / "pane.txt";
        varen::test::runCommand("tmux capture-pane -p -t " + session + " > '" + out.string() +
                                "' 2>/dev/null");
        return varen::test::readTextFile(out);
    };
    std::string screen;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        screen = pane();
        if (screen.find("uno due tre") != std::string::npos) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(screen.find("Say the digits"), std::string::npos) << screen;
    EXPECT_NE(screen.find("uno due tre"), std::string::npos) << screen;
    varen::test::runCommand("tmux send-keys -t " + session + " x");
    const auto ended = std::chrono::steady_clock::now() + 20s;
    while (!std::filesystem::exists(statusFile) && std::chrono::steady_clock::now() < ended) {
        std::this_thread::sleep_for(100ms);
    }
    varen::test::runCommand("tmux kill-session -t " + session + " 2>/dev/null");
    ASSERT_TRUE(std::filesystem::exists(statusFile)) << "a key press ends the run";
    EXPECT_EQ(varen::test::readTextFile(statusFile), "0\n");
    EXPECT_FALSE(server.events("text").empty());
}
