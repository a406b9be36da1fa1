#include "Managers/VSWebSocketManager.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "Support/WebSocketRawServer.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/VarenSTTManager.h"

using namespace std::chrono_literals;
using nlohmann::json;
using varen::Data;
using varen::Error;
using varen::VarenSTTHypothesis;
using varen::VSWebSocketManager;
using varen::test::drainMainLoop;
using varen::test::RecognitionServer;
using varen::test::runMainLoopUntil;
using varen::test::serverFrame;
using varen::test::WebSocketRawConnection;
using varen::test::WebSocketRawServer;

namespace {

// Records every recognition event in arrival order, checking they come on the main thread.
class RecordingDelegate : public varen::VSRecognitionDelegate {
  public:
    struct Event {
        std::string kind;
        std::string text;
        std::vector<VarenSTTHypothesis> hypotheses;
        Error error;
    };

    void socketManagerCanStartRecordingAudio(VSWebSocketManager&, std::nullptr_t) override {
        record({"ready", {}, {}, {}});
    }
    void socketManagerDidRecognizePartialText(VSWebSocketManager&,
                                              const std::string& text) override {
        record({"partial", text, {}, {}});
    }
    void socketManagerDidRecognizeAudioWithText(
        VSWebSocketManager&, const std::vector<VarenSTTHypothesis>& list) override {
        record({"final", {}, list, {}});
    }
    void socketManagerDidFailToRecognizeAudioWithError(VSWebSocketManager&,
                                                       const Error& error) override {
        record({"failure", error.userInfo.value("message", ""), {}, error});
    }
    void socketManagerDidResume(VSWebSocketManager&, std::int64_t attempt) override {
        record({"resume", std::to_string(attempt), {}, {}});
    }

    std::vector<Event> events;
    bool offMainThread = false;

    std::size_t count(const std::string& kind) const {
        std::size_t n = 0;
        for (const auto& e : events) n += e.kind == kind;
        return n;
    }

  private:
    void record(Event event) {
        if (!varen::platform::RunLoop::main()->isCurrent()) offMainThread = true;
        events.push_back(std::move(event));
    }
};

class StreamClient : public ::testing::Test {
  protected:
    void openTo(const std::string& decoderUrl) {
        varen::VarenSTTManager::shared()->setDecoderUrl(decoderUrl);
        client->setRecognitionDelegate(delegate);
        client->openStream();
    }
    void connectTo(const RecognitionServer& server) {
        const auto previous = client->socket();
        openTo(server.decoderUrl());
        ASSERT_TRUE(runMainLoopUntil([&] {
            auto socket = client->socket();
            return socket && socket != previous && socket->readyState() == varen::SR_OPEN;
        }));
    }

    std::shared_ptr<VSWebSocketManager> client = VSWebSocketManager::sharedManager();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

Data packet(std::uint8_t fill) {
    return Data(38, fill);
}

// What a recognition client sent, up to its stop command, as the server's side reads it.
std::vector<std::string> readUntilStop(WebSocketRawConnection& c) {
    std::vector<std::string> seen;
    while (auto frame = c.readFrame()) {
        if (frame->opcode == 2) {
            seen.push_back("audio " + std::to_string(frame->payload.at(0)));
        } else if (frame->text() == varen::stopCommandText()) {
            seen.push_back("stop");
            break;
        } else {
            seen.push_back(frame->text().rfind("{\"decoding\":\"start\"", 0) == 0 ? "start"
                                                                                  : frame->text());
        }
    }
    return seen;
}

}  // namespace

TEST(StartCommand, IsWrittenMemberByMemberWithTheSettings) {
    EXPECT_EQ(varen::startCommandText(1, 2.0f),
              "{\"decoding\":\"start\", \"audio-type\":\"speex;nb;8\", \"traceback-period\":0.2, "
              "\"timeout\":10, \"n-best\":1, \"do-word-alignment\":true, \"do-endpointing\":true, "
              "\"min-silence\":2.000000, \"connection-mode\":\"on-stop-close\"}");
    const auto off = varen::startCommandText(3, 0.0f);
    EXPECT_NE(off.find("\"n-best\":3, "), std::string::npos);
    EXPECT_NE(off.find("\"do-endpointing\":false, \"min-silence\":0.000000, "), std::string::npos);
    EXPECT_NE(
        varen::startCommandText(1, 1.5f).find("\"do-endpointing\":true, \"min-silence\":1.500000"),
        std::string::npos);
    EXPECT_NE(varen::startCommandText(-2, -1.0f).find(
                  "\"n-best\":-2, \"do-word-alignment\":true, "
                  "\"do-endpointing\":true, \"min-silence\":-1.000000"),
              std::string::npos);
    EXPECT_EQ(varen::stopCommandText(), "{\"decoding\":\"stop\"}");
    EXPECT_EQ(varen::stopCommandText().size(), 19u);
}

TEST(HexDecoding, ReadsThePrintedFormOfBytes) {
    EXPECT_EQ(
        VSWebSocketManager::decodeFromHexWithEncoding("<48656c6c 6f>", varen::StringEncoding::UTF8),
        "Hello");
    EXPECT_EQ(
        VSWebSocketManager::decodeFromHexWithEncoding("48656C6C6F", varen::StringEncoding::ASCII),
        "Hello");
    EXPECT_EQ(VSWebSocketManager::decodeFromHexWithEncoding("e9", varen::StringEncoding::ASCII),
              "\xc3\xa9");
}

TEST_F(StreamClient, RunsAWholeRecognitionExchange) {
    RecognitionServer server(json::array({
        {{"wait", "start"}, {"send", {{"status", "ready"}}}},
        {{"wait", "binary:3"}, {"send", {{"final", false}, {"transcript", "uno"}}}},
        {{"wait", "stop"}, {"send", RecognitionServer::finalResult({"uno due", "uno tre"}, 0.8)}},
        {{"wait", "close"}},
    }));
    varen::VarenSTTManager::shared()->setMaxResults(2);
    connectTo(server);

    // Audio comes from the encoding thread.
    std::thread encoder([&] {
        client->sendAudioData(packet(1));
        client->sendAudioData(Data{});
        client->sendAudioData(packet(2));
        client->sendAudioData(packet(3));
    });
    encoder.join();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("partial") == 1; }));
    client->forceCloseStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("final") == 1; }));
    ASSERT_TRUE(server.waitFor([](const auto& events) {
        for (const auto& e : events)
            if (e["type"] == "closed") return true;
        return false;
    }));
    ASSERT_TRUE(drainMainLoop());

    const auto texts = server.textMessages();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], varen::startCommandText(2, 2.0f));
    EXPECT_EQ(texts[1], "{\"decoding\":\"stop\"}");
    EXPECT_EQ(server.binaryMessages(), (std::vector<Data>{packet(1), packet(2), packet(3)}));
    EXPECT_EQ(server.events("closed").at(0)["code"], 1000);

    ASSERT_EQ(delegate->events.size(), 3u);
    EXPECT_EQ(delegate->events[0].kind, "ready");
    EXPECT_EQ(delegate->events[1].text, "uno");
    const auto& list = delegate->events[2].hypotheses;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].transcript(), "uno due");
    EXPECT_EQ(list[1].transcript(), "uno tre");
    EXPECT_FLOAT_EQ(list[0].confidence(), 0.8f);
    EXPECT_FLOAT_EQ(list[1].confidence(), 0.8f);
    EXPECT_FALSE(delegate->offMainThread);
    EXPECT_EQ(delegate->count("failure"), 0u)
        << "the client's own close after the result is no failure";
}

TEST_F(StreamClient, KeepsAudioAndAStopGivenWhileTheConnectionOpens) {
    std::promise<void> stopped;
    auto runStopped = stopped.get_future().share();
    WebSocketRawServer server([runStopped](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        runStopped.wait_for(20s);  // the upgrade is answered only after the run was stopped
        c.acceptHandshake();
        for (const auto& what : readUntilStop(c)) s.note(what);
        c.write(serverFrame(1, RecognitionServer::finalResult({"uno"}, 0.5).dump()));
        c.answerCloseAndWaitForEnd();
    });
    client->sendAudioData(packet(8));  // no run yet: dropped, nothing breaks
    client->forceCloseStream();        // no connection ever made: nothing happens
    // Capture starts just before the connection is made: its first packet waits for it.
    client->setRecognitionDelegate(delegate);
    client->sendAudioData(packet(9));
    openTo(server.url("/ws/client/speech"));
    for (std::uint8_t i = 1; i <= 3; ++i) client->sendAudioData(packet(i));
    client->forceCloseStream();
    stopped.set_value();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("final") == 1; }));
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(), (std::vector<std::string>{"start", "audio 9", "audio 1", "audio 2",
                                                        "audio 3", "stop"}));
    EXPECT_EQ(delegate->events.size(), 1u);
}

TEST_F(StreamClient, AConnectionThatEndsDuringTheHandshakeFailsTheRunOnce) {
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.closeNow();
    });
    openTo(server.url("/ws/client/speech"));
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    EXPECT_EQ(delegate->events.size(), 1u);
    EXPECT_EQ(delegate->events[0].text, "Connection closed before the final result");
}

TEST_F(StreamClient, EventsOfASupersededConnectionChangeNothing) {
    std::promise<void> superseded;
    auto replaced = superseded.get_future().share();
    WebSocketRawServer first([replaced](WebSocketRawConnection& c, WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.readFrame();  // the start command
        replaced.wait_for(20s);
        c.write(serverFrame(1, RecognitionServer::finalResult({"old"}, 0.1).dump()));
        c.write(serverFrame(1, R"({"status":"error","error":"old"})"));
        c.answerCloseAndWaitForEnd();
    });
    RecognitionServer second(
        json::array({{{"wait", "stop"}, {"send", RecognitionServer::finalResult({"new"}, 0.9)}}}));
    openTo(first.url("/ws/client/speech"));
    ASSERT_TRUE(runMainLoopUntil([&] { return client->socket() != nullptr; }));
    const auto firstSocket = client->socket();
    connectTo(second);
    superseded.set_value();
    ASSERT_TRUE(runMainLoopUntil([&] { return first.finished(); }));
    client->forceCloseStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("final") == 1; }));
    EXPECT_EQ(delegate->events.size(), 1u);
    EXPECT_EQ(delegate->events[0].hypotheses.at(0).transcript(), "new");
    EXPECT_EQ(second.textMessages().back(), varen::stopCommandText());
}

TEST_F(StreamClient, AFinalResultThatNeverComesFailsTheRunAfterTheDeadline) {
    RecognitionServer server(json::array({{{"wait", "stop"}}}));
    varen::VarenSTTManager::shared()->setFinalResultTimeout(0.2);
    connectTo(server);
    client->forceCloseStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    EXPECT_EQ(delegate->events.at(0).text, "No final result from the server");
    EXPECT_TRUE(server.waitFor([](const auto& events) {
        return std::any_of(events.begin(), events.end(),
                           [](const json& e) { return e["type"] == "closed"; });
    })) << "the silent connection is closed";
    EXPECT_EQ(delegate->events.size(), 1u);
}

TEST_F(StreamClient, ClassifiesServerMessagesByStatusThenFinal) {
    std::vector<std::string> logLines;
    auto previous =
        varen::platform::setLogSink([&](const std::string& line) { logLines.push_back(line); });
    RecognitionServer server(json::array({
        {{"wait", "start"}},
        {{"send", {{"status", "ready"}, {"final", true}}}},
        {{"send", {{"status", "busy"}, {"error", "Too many sessions"}}}},
        {{"send", {{"status", "busy"}}}},
        {{"send", {{"status", "error"}}}},
        {{"send", {{"status", "error"}, {"error", 42}}}},
        {{"send", {{"status", "connection timeout"}}}},
        {{"send", {{"transcript", "no final"}}}},
        {{"send", {{"final", false}}}},
        {{"send", "not json"}},
        {{"send", "[1, 2]"}},
        {{"send", "\"text\""}},
        {{"send_binary", "0102"}},
        {{"send",
          {{"status", 7},
           {"final", 1},
           {"hypotheses", json::array({"skip", {{"transcript", "ok"}, {"confidence", 0.1}}})},
           {"confidence", 0.5}}}},
    }));
    connectTo(server);
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("final") == 1; }));
    varen::platform::setLogSink(previous);

    std::vector<std::string> seen;
    for (const auto& e : delegate->events) seen.push_back(e.kind + ":" + e.text);
    EXPECT_EQ(seen, (std::vector<std::string>{"ready:", "failure:Too many sessions", "failure:Busy",
                                              "failure:Unknown Error", "failure:Unknown Error",
                                              "failure:Connection timeout", "failure:Unknown Error",
                                              "final:"}));
    const auto& failure = delegate->events[1].error;
    EXPECT_EQ(failure.domain, "Recognition");
    EXPECT_EQ(failure.code, 0);
    EXPECT_EQ(failure.userInfo, (json{{"message", "Too many sessions"}}));
    const auto& list = delegate->events.back().hypotheses;
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].transcript(), "ok");
    EXPECT_FLOAT_EQ(list[0].confidence(), 0.5f);
    EXPECT_EQ(std::count(logLines.begin(), logLines.end(),
                         "Ignoring a binary message of 2 bytes from the recognition server"),
              1);
}

TEST_F(StreamClient, ReportsAConnectionThatEndsBeforeTheFinalResult) {
    RecognitionServer server(json::array({{{"wait", "start"}, {"close", {1000, "bye"}}}}));
    connectTo(server);
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    ASSERT_TRUE(drainMainLoop());
    ASSERT_EQ(delegate->events.size(), 1u);
    EXPECT_EQ(delegate->events[0].error.domain, "Recognition");
    EXPECT_EQ(delegate->events[0].text, "Connection closed before the final result");
}

TEST_F(StreamClient, ReportsAServerThatDropsTheConnection) {
    RecognitionServer server(json::array({{{"wait", "binary:1"}, {"drop", true}}}));
    connectTo(server);
    client->sendAudioData(packet(1));
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    ASSERT_TRUE(drainMainLoop());
    EXPECT_EQ(delegate->count("failure"), 1u);
    EXPECT_EQ(delegate->events[0].text, "Connection closed before the final result");
}

TEST_F(StreamClient, AnInvalidServiceURLFailsOnTheMainQueueWithoutASocket) {
    varen::VarenSTTManager::shared()->setDecoderUrl("no url at all");
    client->setRecognitionDelegate(delegate);
    EXPECT_TRUE(client->openStream());
    EXPECT_TRUE(delegate->events.empty()) << "reported later, not inside openStream";
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    EXPECT_EQ(delegate->events[0].error,
              (Error{"Recognition", 0, {{"message", "Invalid service URL"}}}));
    EXPECT_FALSE(client->socket());

    varen::VarenSTTManager::shared()->setDecoderUrl("ftp://127.0.0.1/x");
    client->openStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 2; }));
    EXPECT_EQ(delegate->events[1].text, "Invalid service URL");
}

TEST_F(StreamClient, PassesSocketFailuresOnUnchanged) {
    // A port nobody listens on: the connection is refused.
    int freePort = 0;
    {
        RecognitionServer probe(json::array());
        freePort = probe.port();
    }
    varen::VarenSTTManager::shared()->setDecoderUrl("ws://127.0.0.1:" + std::to_string(freePort) +
                                                    "/ws/client/speech");
    client->setRecognitionDelegate(delegate);
    client->openStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    EXPECT_NE(delegate->events[0].error.domain, "Recognition");
    EXPECT_FALSE(delegate->events[0].error.localizedDescription().empty());
}

// ---- resuming a run on a new connection ----

class ResumingStreamClient : public StreamClient {
  protected:
    void SetUp() override { varen::VarenSTTManager::shared()->setResumeAttempts(3); }

    // The packets that connection `number` received, by their first byte.
    static std::vector<int> packetsOf(const RecognitionServer& server, int number) {
        std::vector<int> firstBytes;
        for (const auto& e : server.events("binary")) {
            if (e["connection"] == number)
                firstBytes.push_back(
                    std::stoi(e["hex"].get<std::string>().substr(0, 2), nullptr, 16));
        }
        return firstBytes;
    }
};

const json kFinalOnStop =
    json::array({{{"wait", "stop"}, {"send", RecognitionServer::finalResult({"tre"}, 0.7)}}});

TEST_F(ResumingStreamClient, ADroppedConnectionResumesAndReplaysTheWholeRun) {
    RecognitionServer server(json{
        {"connections", {json::array({{{"wait", "binary:3"}, {"drop", true}}}), kFinalOnStop}}});
    connectTo(server);
    for (std::uint8_t i = 1; i <= 3; ++i) client->sendAudioData(packet(i));
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("resume") == 1; }));
    for (std::uint8_t i = 4; i <= 5; ++i) client->sendAudioData(packet(i));
    client->forceCloseStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("final") == 1; }));
    ASSERT_TRUE(drainMainLoop());
    ASSERT_EQ(delegate->events.size(), 2u);
    EXPECT_EQ(delegate->events[0].text, "1");
    EXPECT_EQ(delegate->events[1].hypotheses.at(0).transcript(), "tre");
    EXPECT_EQ(packetsOf(server, 2), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(ResumingStreamClient, AServerThatStopsAnsweringPingsIsLeftForANewConnection) {
    varen::VarenSTTManager::shared()->setPingInterval(0.2);
    WebSocketRawServer server([](WebSocketRawConnection& c, WebSocketRawServer& s) {
        c.readRequestHead();
        c.acceptHandshake();
        while (auto frame = c.readFrame()) {
            if (frame->opcode == 9) s.note("unanswered ping");
        }
        const auto next = s.acceptAnother();
        if (!next) return s.fail("the client did not come back");
        next->readRequestHead();
        next->acceptHandshake();
        for (const auto& what : readUntilStop(*next)) s.note(what);
        next->write(serverFrame(1, RecognitionServer::finalResult({"due"}, 0.5).dump()));
        next->answerCloseAndWaitForEnd();
    });
    openTo(server.url("/ws/client/speech"));
    for (std::uint8_t i = 1; i <= 2; ++i) client->sendAudioData(packet(i));
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("resume") == 1; }));
    client->forceCloseStream();
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("final") == 1; }));
    ASSERT_TRUE(server.waitFinished());
    EXPECT_EQ(server.notes(),
              (std::vector<std::string>{"unanswered ping", "start", "audio 1", "audio 2", "stop"}));
}

TEST_F(ResumingStreamClient, FailsOnceWithTheLastErrorAfterBackingOff) {
    RecognitionServer server(json{{"connections", {json::array({{{"drop", true}}})}}});
    openTo(server.decoderUrl());
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }, 20s));
    ASSERT_TRUE(drainMainLoop());
    // Each connection opens before it is dropped; the drop is a reset or an end, as it comes.
    std::vector<std::string> kinds;
    for (const auto& e : delegate->events)
        kinds.push_back(e.kind == "resume" ? e.kind + e.text : e.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"resume1", "resume2", "resume3", "failure"}));
    const auto connects = server.events("connect");
    ASSERT_EQ(connects.size(), 4u);
    for (std::size_t i = 1; i < connects.size(); ++i) {
        const double gap =
            connects[i]["time"].get<double>() - connects[i - 1]["time"].get<double>();
        EXPECT_GE(gap, 0.25 * (1 << (i - 1)) - 0.01) << "before attempt " << i;
    }
}

TEST_F(ResumingStreamClient, TheServersOwnAnswersAreNeverRetried) {
    auto logged = std::make_shared<std::pair<std::mutex, std::vector<std::string>>>();
    varen::setLogHandler([logged](varen::LogLevel, std::string_view line) {
        std::lock_guard lock(logged->first);
        logged->second.emplace_back(line);
    });
    RecognitionServer server(
        json::array({{{"wait", "start"}, {"send", {{"status", "busy"}}}, {"close", {1000, ""}}}}));
    openTo(server.decoderUrl());
    ASSERT_TRUE(runMainLoopUntil([&] { return delegate->count("failure") == 1; }));
    ASSERT_TRUE(drainMainLoop());
    varen::setLogHandler(nullptr);
    EXPECT_EQ(delegate->events.back().text, "Busy");
    std::lock_guard lock(logged->first);
    for (const auto& line : logged->second)
        EXPECT_EQ(line.find("resuming"), std::string::npos) << line;
}
