// varen-stt against the reference server, both run as a user runs them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <regex>
#include <thread>

#include "Support/EndToEndSupport.h"
#include "Support/TestSupport.h"
#include "Support/TinyProxy.h"

namespace varen::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class EndToEndTool : public ::testing::Test {
  protected:
    std::vector<std::string> fileArguments(const std::filesystem::path& wav,
                                           const std::string& model = "en-US_8k_digits") const {
        return {"--json",  "--fast", "--url",   server.decoderUrl(),
                "--model", model,    "--input", wav.string()};
    }

    // Paced in real time: the first buffer then comes long after the connection opened, so no
    // speech is captured before it (that audio is never sent) and the transcript is exact.
    std::vector<std::string> realTimeArguments(const std::filesystem::path& wav) const {
        auto args = fileArguments(wav);
        args.erase(std::find(args.begin(), args.end(), "--fast"));
        return args;
    }

    // "4271" followed by three seconds of silence, for runs at ten times real time that must
    // hear every digit. An instrumented encoder can lag behind such a file, and the stop at its
    // end cancels what is not encoded yet: that is then silence, not the end of the last digit.
    std::filesystem::path digitsWithSilentTail() const {
        return speak(home.path(), "digits", digitWords("4271"), "kal", 3.0);
    }

    ToolRun tool(std::vector<std::string> arguments) {
        return ToolRun(VAREN_STT_TOOL, home.path(), std::move(arguments));
    }

    static std::vector<std::string> concat(std::vector<std::string> a,
                                           const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    // A run that must fail: exit status 1 and exactly one error event, with this message.
    static void expectOneFailure(ToolRun& run, const std::string& message) {
        ASSERT_EQ(run.wait(), 1) << run.output();
        const auto errors = run.events("error");
        ASSERT_EQ(errors.size(), 1u) << run.output();
        EXPECT_EQ(errors[0]["message"], message);
        EXPECT_TRUE(run.events("final").empty());
    }

    TemporaryHome home;
    EndToEndServer server{VARENSTT_SERVER_BINARY};
};

TEST_F(EndToEndTool, PrintsTheSpokenDigitsOfBothVoicesAndNamesTheRecording) {
    for (const auto& [voice, digits] : {std::pair{"kal", "0342"}, std::pair{"rms", "0792"}}) {
        SCOPED_TRACE(voice);
        const auto wav = speak(home.path(), voice, digitWords(digits), voice);
        auto run = tool(realTimeArguments(wav));
        ASSERT_EQ(run.wait(), 0) << run.output();
        EXPECT_EQ(finalTranscripts(run.events()), std::vector<std::string>{digitWords(digits)});
        EXPECT_FALSE(run.events("level").empty());
        const auto recordings = run.events("recording");
        ASSERT_EQ(recordings.size(), 1u);
        EXPECT_EQ(std::filesystem::path(recordings[0]["path"].get<std::string>()).parent_path(),
                  home.documents() / "voice");
        // The recording is the last word of a run.
        EXPECT_EQ(run.events().back()["event"], "recording");
    }
}

TEST_F(EndToEndTool, SeveralInputsRunAFewAtATimeAndOneUnreadableFileFailsTheBatch) {
    auto args =
        std::vector<std::string>{"--json",  "--fast",          "--url",  server.decoderUrl(),
                                 "--model", "en-US_8k_digits", "--jobs", "3"};
    std::map<std::string, std::string> expected;
    for (const std::string digits : {"12", "345", "4271", "90"}) {
        const auto wav = speak(home.path(), "d" + digits, digitWords(digits));
        expected[wav.string()] = digitWords(digits);
        args.insert(args.end(), {"--input", wav.string()});
    }
    const auto unreadable = home.path() / "not-audio.wav";
    writeTextFile(unreadable, "no sound in here");
    args.insert(args.end(), {"--input", unreadable.string()});

    auto run = tool(args);
    ASSERT_EQ(run.wait(), 1) << run.output();
    std::map<std::string, std::string> heard;
    for (const auto& final : run.events("final"))
        heard[final["input"]] = final["hypotheses"][0]["transcript"];
    EXPECT_EQ(heard, expected) << run.output();
    const auto errors = run.events("error");
    ASSERT_EQ(errors.size(), 1u) << run.output();
    EXPECT_EQ(errors[0]["input"], unreadable.string());
    EXPECT_NE(errors[0]["message"].get<std::string>().find(unreadable.string()), std::string::npos);
    for (const auto& event : run.events()) EXPECT_TRUE(event.contains("input")) << event;
}

TEST_F(EndToEndTool, TheDecodedRecordingIsRecognisedAsTheOriginal) {
    const auto wav = digitsWithSilentTail();
    auto first = tool(fileArguments(wav));
    ASSERT_EQ(first.wait(), 0) << first.output();
    const auto recording = first.events("recording").at(0)["path"].get<std::string>();

    const auto decoded = home.path() / "decoded.wav";
    ASSERT_EQ(runCommand("speexdec '" + recording + "' '" + decoded.string() + "' 2>/dev/null"), 0);
    // The recording keeps the whole input, apart from what came before the connection opened.
    EXPECT_GT(audioSeconds(decoded), 0.5 * audioSeconds(wav));

    auto second = tool(fileArguments(decoded));
    ASSERT_EQ(second.wait(), 0) << second.output();
    EXPECT_EQ(finalTranscripts(second.events()), finalTranscripts(first.events()));
    EXPECT_EQ(finalTranscripts(second.events()), std::vector<std::string>{digitWords("4271")});
}

TEST_F(EndToEndTool, TheWidebandModelGivesAFinalResultForASentence) {
    const auto wav = speak(home.path(), "sentence", "the weather is nice today");
    auto run = tool(fileArguments(wav, "en-US_8k"));
    ASSERT_EQ(run.wait(), 0) << run.output();
    const auto finals = run.events("final");
    ASSERT_EQ(finals.size(), 1u);
    // Narrowband speech through a wideband model: what it hears is not checked, only that it
    // answers with at most one alternative, as asked.
    EXPECT_LE(finals[0]["hypotheses"].size(), 1u);
    EXPECT_TRUE(server.waitForLog("final", 5s));
}

TEST_F(EndToEndTool, GivesUpToThreeAlternativesInTheServersOrder) {
    const auto wav = digitsWithSilentTail();
    auto run = tool(concat(fileArguments(wav), {"--max-results", "3"}));
    ASSERT_EQ(run.wait(), 0) << run.output();
    const auto finals = run.events("final");
    ASSERT_EQ(finals.size(), 1u);
    const auto& hypotheses = finals[0]["hypotheses"];
    ASSERT_GE(hypotheses.size(), 1u);
    ASSERT_LE(hypotheses.size(), 3u);
    EXPECT_EQ(hypotheses[0]["transcript"], digitWords("4271"));
    // One confidence for the whole result.
    for (const auto& h : hypotheses) EXPECT_EQ(h["confidence"], hypotheses[0]["confidence"]);

    // The server logs its best alternative and how many it sent.
    const auto line = server.waitForLog(" final ", 5s);
    ASSERT_TRUE(line.has_value());
    EXPECT_NE(line->find("final \"" + digitWords("4271") +
                         "\" alternatives=" + std::to_string(hypotheses.size())),
              std::string::npos)
        << *line;
}

TEST_F(EndToEndTool, AnUnknownModelIsOneFailure) {
    const auto wav = speak(home.path(), "digits", digitWords("4271"));
    auto run = tool(fileArguments(wav, "xx-XX_8k"));
    expectOneFailure(run, "Unknown model xx-XX_8k");
}

TEST_F(EndToEndTool, ARefusedKeyIsOneFailureAndAnAcceptedKeyRecognises) {
    EndToEndServer guarded(VARENSTT_SERVER_BINARY, {"--api-key", "good key"});
    const auto wav = digitsWithSilentTail();
    const std::vector<std::string> base{
        "--json",  "--fast",          "--url",   guarded.decoderUrl(),
        "--model", "en-US_8k_digits", "--input", wav.string()};

    auto refused = tool(concat(base, {"--key", "bad"}));
    expectOneFailure(refused, "Invalid API key");

    auto accepted = tool(concat(base, {"--key", "good key"}));
    ASSERT_EQ(accepted.wait(), 0) << accepted.output();
    EXPECT_EQ(finalTranscripts(accepted.events()), std::vector<std::string>{digitWords("4271")});
}

TEST_F(EndToEndTool, ASecondClientOfAOneSessionServerIsToldBusy) {
    EndToEndServer single(VARENSTT_SERVER_BINARY, {"--max-sessions", "1"});
    const auto longer = speak(home.path(), "long", digitWords("73905813"));
    const auto wav = speak(home.path(), "digits", digitWords("4271"));
    auto arguments = [&](const std::filesystem::path& file, bool fast) {
        std::vector<std::string> args{"--json",          "--url",   single.decoderUrl(), "--model",
                                      "en-US_8k_digits", "--input", file.string()};
        if (fast) args.push_back("--fast");
        return args;
    };

    auto first = tool(arguments(longer, false));
    ASSERT_TRUE(single.waitForLog("accepted", 30s)) << single.log();
    auto second = tool(arguments(wav, true));
    expectOneFailure(second, "Busy");

    // The first session goes on unharmed.
    ASSERT_EQ(first.wait(), 0) << first.output();
    EXPECT_EQ(finalTranscripts(first.events()), std::vector<std::string>{digitWords("73905813")});
}

TEST_F(EndToEndTool, AServerKilledInTheMiddleOfARunIsOneFailure) {
    const auto longer = speak(home.path(), "long", digitWords("7390581376018955"));
    auto run = tool({"--json", "--url", server.decoderUrl(), "--model", "en-US_8k_digits",
                     "--input", longer.string()});
    ASSERT_TRUE(run.waitForEvent("partial", 30s)) << run.output();
    server.kill();
    ASSERT_EQ(run.wait(), 1) << run.output();
    EXPECT_EQ(run.events("error").size(), 1u) << run.output();
    EXPECT_TRUE(run.events("final").empty());
}

// Accepts connections on 127.0.0.1 and never says a word.
class SilentListener {
  public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

TEST_F(EndToEndTool, ThroughAnHttpProxyTheDigitsArriveAndARefusalNamesTheProxy) {
    TinyProxy proxy({{server.port()}, std::pair{std::string("user"), std::string("pass")}});
    ASSERT_TRUE(proxy.started());
    const auto wav = speak(home.path(), "proxied", digitWords("5813"));
    auto run = tool(concat(fileArguments(wav), {"--proxy", proxy.url("user:pass")}));
    ASSERT_EQ(run.wait(), 0) << run.output();
    EXPECT_EQ(finalTranscripts(run.events()), std::vector<std::string>{digitWords("5813")});
    EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(server.port())),
              std::string::npos)
        << proxy.log();

    auto refused = tool(concat(fileArguments(wav), {"--proxy", proxy.url("user:wrong")}));
    expectOneFailure(refused, "Proxy 127.0.0.1:" + std::to_string(proxy.port()) +
                                  " refused the tunnel: 401 Unauthorized");
}

TEST_F(EndToEndTool, AServerThatNeverAnswersTheHandshakeIsOneFailure) {
    SilentListener listener;
    const auto wav = speak(home.path(), "digits", digitWords("4271"));
    // The kernel completes the TCP handshake from the backlog; nobody reads the request.
    auto run = tool({"--json", "--fast", "--url",
                     "ws://127.0.0.1:" + std::to_string(listener.port()) + "/ws/client/speech",
                     "--model", "en-US_8k_digits", "--input", wav.string()});
    ASSERT_EQ(run.wait(150s), 1) << run.output();
    EXPECT_EQ(run.events("error").size(), 1u) << run.output();
    EXPECT_TRUE(run.events("final").empty());
}

TEST_F(EndToEndTool, SixteenConcurrentClientsAllGetTheirDigits) {
    constexpr int kClients = 16;
    std::vector<std::string> digits;
    std::vector<std::filesystem::path> files;
    double audio = 0.0;
    for (int i = 0; i < kClients; ++i) {
        // Strings the digit model gets right in both voices.
        static const char* const known[] = {"5813", "8955", "0342", "0792",
                                            "9136", "5813", "0792", "0342"};
        digits.push_back(known[i % 8]);
        // A second of silence first: sixteen clients starting at once may open their connections
        // only after the first buffer was captured, and that audio is never sent.
        files.push_back(speak(home.path(), "client" + std::to_string(i), digitWords(digits.back()),
                              i % 2 == 0 ? "kal" : "rms", 0.0, 1.0));
        audio += audioSeconds(files.back());
    }

    const double cpuBefore = server.cpuSeconds();
    std::vector<std::unique_ptr<ToolRun>> runs;
    for (int i = 0; i < kClients; ++i) {
        runs.push_back(
            std::make_unique<ToolRun>(VAREN_STT_TOOL, home.path(), realTimeArguments(files[i])));
    }
    for (int i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(runs[i]->wait(), 0) << runs[i]->output();
        EXPECT_EQ(finalTranscripts(runs[i]->events()),
                  std::vector<std::string>{digitWords(digits[i])});
    }
    const double cpu = server.cpuSeconds() - cpuBefore;
    RecordProperty("server_cpu_seconds_per_audio_second", std::to_string(cpu / audio));
    std::printf("server: %.2f s of CPU for %.2f s of audio (real-time factor %.3f)\n", cpu, audio,
                cpu / audio);
}

}  // namespace
}  // namespace varen::test
