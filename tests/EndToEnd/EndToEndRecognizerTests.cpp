// Hosts of the C++ Recognizer against the reference server: files, pushed audio, several runs
// at once, refusals and cancels. No main run loop runs here: the hosts wait on the futures.
#include "varenstt/Recognizer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <set>
#include <thread>

#include "Support/DroppingRelay.h"
#include "Support/EndToEndSupport.h"
#include "Support/OggReader.h"
#include "Support/TestSupport.h"
#include "varenstt/Runtime.h"

namespace varen::test {
namespace {

using namespace std::chrono_literals;

class EndToEndRecognizer : public ::testing::Test {
  protected:
    RecognizerOptions options(const std::string& key = "e2e") const {
        RecognizerOptions o;
        o.url = server->decoderUrl();
        o.apiKey = key;
        o.model = "en-US_8k_digits";
        o.minSilence = 0;
        return o;
    }

    // The outcome within a minute, or the test fails.
    static Recognition outcome(std::future<Recognition>& future) {
        if (future.wait_for(60s) != std::future_status::ready) {
            ADD_FAILURE() << "no outcome within a minute";
            return {};
        }
        return future.get();
    }

    static std::string bestTranscript(const Recognition& recognition) {
        if (recognition.hypotheses.empty()) return "<none>";
        return recognition.hypotheses.front().transcript().value_or("<none>");
    }

    // The file's audio as 16 kHz mono samples.
    std::vector<std::int16_t> samplesOf(const std::filesystem::path& wav) const {
        const auto raw = home.path() / (wav.stem().string() + ".raw");
        EXPECT_EQ(runCommand("sox '" + wav.string() + "' -t raw -r 16000 -e signed -b 16 -c 1 '" +
                             raw.string() + "'"),
                  0);
        const Data bytes = readBinaryFile(raw);
        std::vector<std::int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    TemporaryHome home;
    std::unique_ptr<EndToEndServer> server =
        std::make_unique<EndToEndServer>(VARENSTT_SERVER_BINARY);
};

TEST_F(EndToEndRecognizer, ThreeFilesAtOnceEachGetTheirOwnDigitsAndRecording) {
    const std::vector<std::string> digits{"5813", "4271", "9062"};
    std::vector<std::future<Recognition>> futures;
    for (const auto& d : digits)
        futures.push_back(recognizeFile(speak(home.path(), d, digitWords(d)), options()));
    std::set<std::filesystem::path> recordings;
    std::filesystem::path firstRecording;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const auto recognition = outcome(futures[i]);
        EXPECT_EQ(bestTranscript(recognition), digitWords(digits[i]));
        EXPECT_EQ(recognition.recordingPath.parent_path(), home.documents() / "voice");
        EXPECT_GT(std::filesystem::file_size(recognition.recordingPath), 0u);
        recordings.insert(recognition.recordingPath);
        if (i == 0) firstRecording = recognition.recordingPath;
    }
    EXPECT_EQ(recordings.size(), digits.size());

    // A past recording, an Ogg Speex file, is heard as the live run was.
    auto again = recognizeFile(firstRecording, options());
    EXPECT_EQ(bestTranscript(outcome(again)), digitWords(digits.front()));
}

// From another thread while capture runs, and all of it at hand before capture starts: the
// first buffer is then delivered at once, and no audio may be lost on the way to the server.
TEST_F(EndToEndRecognizer, AudioPushedIn20MsChunksAt16kHzGivesTheDigits) {
    const auto samples = samplesOf(speak(home.path(), "pushed", digitWords("3390")));
    const auto pushAll = [&samples](Recognizer& recognizer) {
        for (std::size_t at = 0; at < samples.size(); at += 320)
            recognizer.push(samples.data() + at, std::min<std::size_t>(320, samples.size() - at));
        recognizer.stop();
    };
    for (const bool fromAnotherThread : {true, false}) {
        SCOPED_TRACE(fromAnotherThread ? "from another thread" : "before capture starts");
        const auto recognizer = Recognizer::create(options());
        auto future = recognizer->result();
        recognizer->start(AudioInput::push(16000));
        std::thread host;
        if (fromAnotherThread) {
            host = std::thread([&] { pushAll(*recognizer); });
        } else {
            pushAll(*recognizer);
        }
        const auto recognition = outcome(future);
        if (host.joinable()) host.join();
        EXPECT_EQ(bestTranscript(recognition), digitWords("3390"));
    }
}

TEST_F(EndToEndRecognizer, ARefusedKeyFailsTheFutureAndTellsOnErrorOnce) {
    server = std::make_unique<EndToEndServer>(VARENSTT_SERVER_BINARY,
                                              std::vector<std::string>{"--api-key", "right"});
    const auto recognizer = Recognizer::create(options("wrong"));
    std::atomic<int> errors{0};
    std::promise<std::pair<std::error_code, std::string>> told;
    recognizer->onError([&](std::error_code code, std::string_view message) {
        if (errors++ == 0) told.set_value({code, std::string(message)});
    });
    recognizer->onFinal([](const Recognition&) { ADD_FAILURE() << "a final after a refusal"; });
    auto future = recognizer->result();
    recognizer->start(AudioInput::file(speak(home.path(), "refused", digitWords("12"))));

    ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    try {
        future.get();
        ADD_FAILURE() << "no error";
    } catch (const RecognitionError& error) {
        EXPECT_EQ(error.code(), makeErrorCode(ErrorDomain::recognition, 0));
        EXPECT_EQ(error.message(), "Invalid API key");
    }
    auto heard = told.get_future();
    ASSERT_EQ(heard.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(heard.get().second, "Invalid API key");
    EXPECT_EQ(errors.load(), 1);
}

TEST_F(EndToEndRecognizer, ACancelEndsTheRunWithNeitherAFinalNorAnError) {
    const auto recognizer = Recognizer::create(options());
    recognizer->onFinal([](const Recognition&) { ADD_FAILURE() << "a final after a cancel"; });
    recognizer->onError([](std::error_code, std::string_view message) {
        ADD_FAILURE() << "an error after a cancel: " << message;
    });
    auto future = recognizer->result();
    recognizer->start(AudioInput::push(8000));
    const std::vector<std::int16_t> silence(8000, 0);
    recognizer->push(silence.data(), silence.size());
    ASSERT_TRUE(server->waitForLog("accepted", 30s)) << server->log();
    recognizer->cancel();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    try {
        future.get();
        ADD_FAILURE() << "a recognition after a cancel";
    } catch (const RecognitionError& error) {
        EXPECT_EQ(error.message(), "Cancelled");
    }
}

TEST_F(EndToEndRecognizer, AShutdownEndsARunStillGoingAndCompletesItsRecording) {
    const auto recognizer = Recognizer::create(options());
    auto future = recognizer->result();
    recognizer->start(AudioInput::push(8000));
    const std::vector<std::int16_t> silence(8000, 0);
    recognizer->push(silence.data(), silence.size());
    ASSERT_TRUE(server->waitForLog("accepted", 30s)) << server->log();
    varen::shutdown();
    ASSERT_EQ(future.wait_for(0s), std::future_status::ready);
    EXPECT_THROW(future.get(), RecognitionError);
    for (const auto& file : std::filesystem::directory_iterator(home.documents() / "voice"))
        EXPECT_GT(std::filesystem::file_size(file.path()), 0u) << file.path();
}

// The relay resets the connection after about a second of audio; the run goes on over a new
// one, and the server hears the whole recording there once.
TEST_F(EndToEndRecognizer, ARunCutOffMidwayResumesAndTheServerHearsAllOfIt) {
    DroppingRelay relay(server->port(), 2500);
    ASSERT_NE(relay.port(), 0);
    auto resuming = options();
    resuming.url = "ws://127.0.0.1:" + std::to_string(relay.port()) + "/ws/client/speech";
    resuming.resumeAttempts = 3;
    const auto recognizer = Recognizer::create(resuming);
    std::atomic<int> resumes{0};
    recognizer->onResume([&resumes](std::int64_t attempt) {
        EXPECT_EQ(attempt, 1);
        ++resumes;
    });
    auto future = recognizer->result();
    recognizer->start(AudioInput::file(speak(home.path(), "cut", digitWords("4271")), 10.0));
    const auto recognition = outcome(future);
    EXPECT_EQ(bestTranscript(recognition), digitWords("4271"));
    EXPECT_TRUE(relay.told("CUT 1"));
    EXPECT_TRUE(relay.told("CONNECT 2"));
    EXPECT_EQ(relay.connections(), 2);
    EXPECT_EQ(resumes.load(), 1);

    const auto recorded = readOggStream(readBinaryFile(recognition.recordingPath)).packets.size();
    ASSERT_GT(recorded, 2u);
    char heard[32];
    std::snprintf(heard, sizeof heard, " audio=%.2fs", static_cast<double>(recorded - 2) * 0.02);
    EXPECT_TRUE(server->waitForLog(heard, 10s)) << heard << "\n" << server->log();
}

TEST(RecognizerErrors, EveryDomainAndCodeMapsToItsOwnValueAndBack) {
    const std::vector<std::pair<ErrorDomain, std::int64_t>> cases{
        {ErrorDomain::recognition, 0},      {ErrorDomain::capture, 0},    {ErrorDomain::capture, 1},
        {ErrorDomain::webSocket, 2132},     {ErrorDomain::stream, 111},   {ErrorDomain::tls, 62},
        {ErrorDomain::audioStatus, -66680}, {ErrorDomain::pinning, 23556}};
    std::set<int> values;
    for (const auto& [domain, code] : cases) {
        const auto ec = makeErrorCode(domain, code);
        EXPECT_EQ(ec.category().name(), std::string("varenstt"));
        EXPECT_EQ(errorDomain(ec), domain);
        EXPECT_EQ(errorCodeInDomain(ec), code);
        values.insert(ec.value());
    }
    EXPECT_EQ(values.size(), cases.size());
    EXPECT_EQ(makeErrorCode(Error{"com.varen.stt.stream", 111, {}}),
              makeErrorCode(ErrorDomain::stream, 111));
}

}  // namespace
}  // namespace varen::test
