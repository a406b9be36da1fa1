#include "Managers/VSWebSocketManager.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string_view>

#include "Managers/RecognitionSettings.h"
#include "Managers/SpeexManagers/AudioFormat.h"
#include "Managers/VSRecognitionProtocol.h"
#include "Platform/Net/Streams.h"
#include "Platform/Runtime.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/VarenSTTErrors.h"

namespace varen {

namespace {

bool isSocketScheme(const std::string& scheme) {
    std::string lower;
    for (char c : scheme) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "ws" || lower == "wss" || lower == "http" || lower == "https";
}

// The text value of a member, or none when it is absent or of another type.
std::optional<std::string> textMember(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

// The truth value of "final": JSON true or a non-zero number; none when absent or unusable.
std::optional<bool> finalMember(const nlohmann::json& object) {
    auto found = object.find("final");
    if (found == object.end()) return std::nullopt;
    if (found->is_boolean()) return found->get<bool>();
    if (found->is_number()) return found->get<double>() != 0.0;
    return std::nullopt;
}

using recognition::kMaxMessageDepth;
using recognition::kMaxMessageText;
using recognition::kMaxServerMessage;

bool nestsDeeperThan(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

bool isOversizedText(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() &&
           found->get_ref<const std::string&>().size() > kMaxMessageText;
}

bool hasOversizedText(const nlohmann::json& message) {
    if (isOversizedText(message, "transcript") || isOversizedText(message, "error")) return true;
    const auto list = message.find("hypotheses");
    if (list == message.end() || !list->is_array()) return false;
    return std::any_of(list->begin(), list->end(), [](const nlohmann::json& element) {
        return element.is_object() && isOversizedText(element, "transcript");
    });
}

// A failure as a log line shows it: a recognition failure's message, else the error's own text.
std::string describe(const Error& error) {
    if (error.userInfo.is_object()) {
        const auto message = error.userInfo.find(VarenSTTErrorMessageKey);
        if (message != error.userInfo.end() && message->is_string())
            return message->get<std::string>();
    }
    return error.localizedDescription();
}

float confidenceMember(const nlohmann::json& object) {
    nlohmann::json dict = nlohmann::json::object();
    if (auto found = object.find("confidence"); found != object.end()) dict["confidence"] = *found;
    return VarenSTTHypothesis::initWithDictionary(dict).confidence();
}

}  // namespace

std::string startCommandText(std::int64_t maxResults, float minSilence) {
    char silence[64];
    const auto written =
        std::to_chars(silence, silence + sizeof silence, static_cast<double>(minSilence),
                      std::chars_format::fixed, 6);
    const std::string silenceText(silence, written.ptr);
    return std::string("{\"decoding\":\"start\", \"audio-type\":\"") + audio::kServerAudioType +
           "\", " +
           "\"traceback-period\":0.2, \"timeout\":10, \"n-best\":" + std::to_string(maxResults) +
           ", \"do-word-alignment\":true, \"do-endpointing\":" +
           (minSilence == 0.0f ? "false" : "true") + ", \"min-silence\":" + silenceText +
           ", \"connection-mode\":\"on-stop-close\"}";
}

const std::string& stopCommandText() {
    static const std::string text = "{\"decoding\":\"stop\"}";
    return text;
}

Error recognitionError(const std::string& message) {
    return Error{VarenSTTRecognitionErrorDomain,
                 VarenSTTRecognitionErrorFailed,
                 {{VarenSTTErrorMessageKey, message}}};
}

// One connection of a run.
//
// Thread safety: made on the thread that opens it and constant afterwards, apart from the
// outcome flags, which belong to the main queue.
struct VSWebSocketManager::Connection {
    std::shared_ptr<SRWebSocket> socket;         // none when the service URL was unusable
    const VSRecognitionDelegate* run = nullptr;  // identity of the delegate that opened it
    std::shared_ptr<RunAudio> audio;             // shared by the connections of the run
    std::int64_t attempt = 0;                    // 0 for the run's first connection
    // Main queue only.
    bool outcomeReported = false;  // a final result or a failure has gone up
    bool over = false;             // final result, socket ended or deadline: nothing more goes up
};

// A run's audio on its way to the server. Packets wait here until a connection has opened and
// sent the start command; a run that may resume keeps every packet, to replay them on a new
// connection.
//
// Thread safety: the packets, `live`, `stopRequested` and `deadlineArmed` are guarded by `mutex`
// (the encoding thread sends and keeps, the event queue flushes), so that a packet is neither
// missed nor sent twice and none overtakes the start command; the rest belongs to the event
// queue.
struct VSWebSocketManager::RunAudio {
    RunAudio(URL serviceURL, std::int64_t resumeAttempts)
        : url(std::move(serviceURL)), maxAttempts(std::max<std::int64_t>(resumeAttempts, 0)) {}
    const URL url;
    const std::int64_t maxAttempts;
    bool keepsSent() const { return maxAttempts > 0; }
    std::size_t capacity() const { return keepsSent() ? kMaxReplayPackets : kMaxEarlyPackets; }

    std::mutex mutex;
    // The packets back to back, and where each ends: a 38-byte packet costs 42 bytes, not a
    // buffer of its own, so ten minutes stay near 2 KB a second.
    std::deque<std::uint8_t> packetBytes;
    std::vector<std::uint32_t> packetEnds;
    bool loggedFullBuffer = false;
    // The connection that has sent the start command and the kept packets and now streams;
    // none while one is being made.
    std::shared_ptr<SRWebSocket> live;
    bool stopRequested = false;
    bool deadlineArmed = false;
    // Event queue only.
    std::int64_t failedInARow = 0;
    bool deadlinePassed = false;

    std::size_t packetCount() const { return packetEnds.size(); }
    void keep(const Data& packet) {
        packetBytes.insert(packetBytes.end(), packet.begin(), packet.end());
        packetEnds.push_back(static_cast<std::uint32_t>(packetBytes.size()));
    }
    Data packet(std::size_t index) const {
        const std::size_t begin = index == 0 ? 0 : packetEnds[index - 1];
        return Data(packetBytes.begin() + static_cast<std::ptrdiff_t>(begin),
                    packetBytes.begin() + static_cast<std::ptrdiff_t>(packetEnds[index]));
    }
    void clear() {
        packetBytes.clear();
        packetEnds.clear();
    }
};

std::shared_ptr<VSWebSocketManager> VSWebSocketManager::sharedManager() {
    // Held by the runtime: the capture module it holds needs the platform objects to end.
    static const char key = 0;
    return platform::Runtime::current()->shared<VSWebSocketManager>(
        &key, [] { return std::make_shared<VSWebSocketManager>(); });
}

std::shared_ptr<const RecognitionSettings> VSWebSocketManager::settings() const {
    return ownSettings_ ? ownSettings_ : recognitionSettings();
}

std::shared_ptr<platform::DispatchQueue> VSWebSocketManager::eventQueue() const {
    return ownEventQueue_ ? ownEventQueue_ : platform::DispatchQueue::main();
}

bool VSWebSocketManager::openStream() {
    auto connection = std::make_shared<Connection>();
    connection->run = recognitionDelegate().get();
    const auto current = settings();
    const auto url = current ? current->serviceURL() : std::nullopt;
    // A socket for such a URL would stop the process on its scheme check; tell the run instead.
    if (!url || !isSocketScheme(url->scheme()))
        return failWithoutSocket(connection, "Invalid service URL");
    const std::string proxy = current->proxyUrl();
    if (!proxy.empty() && !URL::URLWithString(proxy))
        return failWithoutSocket(connection, "Invalid proxy URL");
    connection->socket = makeSocket(*url);
    connection->audio = std::make_shared<RunAudio>(*url, current->resumeAttempts());
    // From here on, events of the previous connection change nothing.
    makeCurrent(connection);
    connection->socket->open();
    return true;
}

bool VSWebSocketManager::failWithoutSocket(const std::shared_ptr<Connection>& connection,
                                           const std::string& message) {
    makeCurrent(connection);
    eventQueue()->async([self = shared_from_this(), connection, message] {
        if (self->connection_.load() != connection) return;
        connection->over = true;
        self->reportFailure(*connection, recognitionError(message));
    });
    return true;
}

std::shared_ptr<SRWebSocket> VSWebSocketManager::makeSocket(const URL& url) {
    auto webSocket = SRWebSocket::initWithURLProtocols(url, std::vector<std::string>{});
    webSocket->setDelegate(weak_from_this());
    if (ownEventQueue_) webSocket->setDelegateDispatchQueue(ownEventQueue_);
    webSocket->setMaximumMessageSize(kMaxServerMessage);
    const auto current = settings();
    if (const auto proxy = current->proxyUrl(); !proxy.empty())
        webSocket->setProxyURL(URL::URLWithString(proxy));
    const double pingSeconds = std::min(current->pingInterval(), 1e6);
    if (pingSeconds > 0)
        webSocket->setPingInterval(std::chrono::milliseconds(std::llround(pingSeconds * 1000)));
    return webSocket;
}

void VSWebSocketManager::startStreaming() {
    if (auto current = socket_.load()) sendStartCommand(*current);
}

void VSWebSocketManager::sendStartCommand(SRWebSocket& webSocket) {
    auto settings = this->settings();
    webSocket.send(startCommandText(settings->maxResults(), settings->minSilence()));
}

// Capture starts just before the run's connection is made: what it encodes in between is kept
// for that connection.
void VSWebSocketManager::makeCurrent(const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(awaitingLock_);
    if (awaitingRun_ == connection->run && connection->audio) {
        std::lock_guard audioLock(connection->audio->mutex);
        for (const auto& packet : awaitingConnection_) connection->audio->keep(packet);
    }
    awaitingConnection_.clear();
    awaitingRun_ = nullptr;
    connection_.store(connection);
}

void VSWebSocketManager::sendAudioData(const Data& chunk) {
    auto connection = connection_.load();
    const VSRecognitionDelegate* run = recognitionDelegate().get();
    if (!connection || connection->run != run) {
        std::lock_guard lock(awaitingLock_);
        // Checked again under the lock: `makeCurrent` may have just made the run's connection.
        connection = connection_.load();
        if (!connection || connection->run != run) return keepUntilConnected(run, chunk);
    }
    if (!connection->socket || chunk.empty()) return;
    RunAudio& audio = *connection->audio;
    std::lock_guard lock(audio.mutex);
    if (audio.live) sendOnStreamingSocket(*audio.live, chunk);
    // Kept while no connection streams (unless this one has ended), and always for a replay.
    const bool waiting = !audio.live && connection->socket->readyState() < SR_CLOSING;
    if (waiting || audio.keepsSent()) keep(audio, chunk);
}

void VSWebSocketManager::sendAudioBurst(const std::vector<Data>& chunks) {
    SRWebSocket::SendBurst burst;
    for (const Data& chunk : chunks) sendAudioData(chunk);
}

// Called with the audio's lock held.
void VSWebSocketManager::keep(RunAudio& audio, const Data& chunk) {
    if (audio.packetCount() < audio.capacity()) return audio.keep(chunk);
    if (std::exchange(audio.loggedFullBuffer, true)) return;
    platform::log(LogLevel::warning,
                  audio.keepsSent()
                      ? "Audio past " + std::to_string(recognition::kMaxReplayAudio.count()) +
                            " s is not kept: this run can no longer resume"
                      : "Dropping audio: the connection has not opened within " +
                            std::to_string(recognition::kMaxEarlyAudio.count()) + " s of audio");
}

void VSWebSocketManager::sendOnStreamingSocket(SRWebSocket& webSocket, const Data& chunk) {
    switch (webSocket.readyState()) {
        case SR_OPEN:
            if (!chunk.empty()) webSocket.send(chunk);
            break;
        case SR_CLOSING:
            webSocket.close();  // what a stop comes to on a socket that is no longer open
            break;
        default:
            break;  // ended: audio is not kept
    }
}

// Called with `awaitingLock_` held.
void VSWebSocketManager::keepUntilConnected(const VSRecognitionDelegate* run, const Data& chunk) {
    if (run == nullptr || chunk.empty()) return;
    if (awaitingRun_ != run) {
        awaitingConnection_.clear();
        awaitingRun_ = run;
    }
    if (awaitingConnection_.size() < kMaxEarlyPackets) awaitingConnection_.push_back(chunk);
}

void VSWebSocketManager::forceCloseStream() {
    forceClose(connection_.load());
}

void VSWebSocketManager::forceCloseStreamOfRun(const VSRecognitionDelegate& run) {
    const auto connection = connection_.load();
    if (connection && connection->run == &run) forceClose(connection);
}

// The stop goes out right after the kept packets once a connection has sent them; until then it
// waits with them.
void VSWebSocketManager::forceClose(const std::shared_ptr<Connection>& connection) {
    if (!connection || !connection->socket) return;
    RunAudio& audio = *connection->audio;
    {
        std::lock_guard lock(audio.mutex);
        if (!audio.live) {
            const auto state = connection->socket->readyState();
            if (audio.keepsSent() || state == SR_CONNECTING || state == SR_OPEN) {
                audio.stopRequested = true;
                return;
            }
            return connection->socket->close();
        }
        if (audio.live->readyState() != SR_OPEN) return audio.live->close();
        audio.live->send(stopCommandText());
    }
    armFinalResultDeadline(connection);
}

// One deadline for the run: a resume neither restarts nor escapes it.
void VSWebSocketManager::armFinalResultDeadline(const std::shared_ptr<Connection>& connection) {
    const double seconds = settings()->finalResultTimeout();
    if (!(seconds > 0)) return;
    {
        std::lock_guard lock(connection->audio->mutex);
        if (std::exchange(connection->audio->deadlineArmed, true)) return;
    }
    const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::min(seconds, 1e9)));
    std::weak_ptr<Connection> weakConnection = connection;
    std::weak_ptr<RunAudio> weakAudio = connection->audio;
    eventQueue()->after(delay, [self = shared_from_this(), weakConnection, weakAudio] {
        auto connection = weakConnection.lock();
        if (const auto audio = weakAudio.lock()) {
            // A resume waiting for its turn sees this and ends the run instead.
            audio->deadlinePassed = true;
            // The run's newest connection is the one that waits for the final result.
            const auto current = self->connection_.load();
            if (current && current->audio == audio) connection = current;
        }
        if (!connection || connection->over) return;
        connection->over = true;
        connection->socket->close();
        if (connection->outcomeReported ||
            self->currentConnectionOf(*connection->socket) != connection) {
            platform::log(LogLevel::info,
                          "No final result from a finished or superseded connection");
            return;
        }
        self->reportFailure(*connection, recognitionError("No final result from the server"));
    });
}

std::shared_ptr<VSWebSocketManager::Connection> VSWebSocketManager::currentConnectionOf(
    const SRWebSocket& webSocket) const {
    auto connection = connection_.load();
    if (!connection || connection->socket.get() != &webSocket) return nullptr;
    // A run registered since then owns whatever comes next, not this connection.
    if (connection->run != recognitionDelegate().get()) return nullptr;
    return connection;
}

void VSWebSocketManager::webSocketDidOpen(SRWebSocket& webSocket) {
    const auto connection = currentConnectionOf(webSocket);
    if (!connection) {
        platform::log(LogLevel::info, "Closing a superseded connection that has just opened");
        webSocket.close();
        return;
    }
    RunAudio& audio = *connection->audio;
    bool stopped = false;
    std::size_t sent = 0;
    {
        std::lock_guard lock(audio.mutex);
        // The start command first, then the audio kept meanwhile (a replay: all of the run's),
        // then the stop if one came; only then may the encoding thread send on its own.
        sendStartCommand(webSocket);
        sent = audio.packetCount();
        for (std::size_t i = 0; i < sent; ++i) webSocket.send(audio.packet(i));
        if (!audio.keepsSent()) audio.clear();
        if (audio.stopRequested) webSocket.send(stopCommandText());
        audio.live = webSocket.shared_from_this();
        stopped = audio.stopRequested;
    }
    socket_.store(webSocket.shared_from_this());
    if (stopped) armFinalResultDeadline(connection);
    if (connection->attempt == 0) return;
    platform::log(LogLevel::info, "Resumed the run on a new connection, attempt " +
                                      std::to_string(connection->attempt) + ": replayed " +
                                      std::to_string(sent) + " packets");
    if (auto delegate = recognitionDelegate())
        delegate->socketManagerDidResume(*this, connection->attempt);
}

void VSWebSocketManager::webSocketDidReceiveMessage(SRWebSocket& webSocket,
                                                    const SRMessage& message) {
    const auto connection = currentConnectionOf(webSocket);
    if (!connection || connection->over) {
        platform::log(LogLevel::info, "Ignoring a message of a finished or superseded connection");
        webSocket.close();
        return;
    }
    // A server that answers takes the run: attempts in a row count again from zero. One that
    // accepts connections and drops them at once keeps using them up.
    connection->audio->failedInARow = 0;
    if (const auto* text = std::get_if<std::string>(&message)) {
        handleServerMessage(*connection, *text);
    } else {
        platform::log(LogLevel::warning, "Ignoring a binary message of " +
                                             std::to_string(std::get<Data>(message).size()) +
                                             " bytes from the recognition server");
    }
}

void VSWebSocketManager::handleServerMessage(Connection& connection, const std::string& text) {
    if (nestsDeeperThan(text, kMaxMessageDepth)) {
        platform::log(LogLevel::warning, "Ignoring a server message nested deeper than " +
                                             std::to_string(kMaxMessageDepth) + " levels");
        return;
    }
    const auto message = nlohmann::json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return;
    if (hasOversizedText(message)) {
        platform::log(LogLevel::warning, "Ignoring a server message with a text over " +
                                             std::to_string(kMaxMessageText >> 20) + " MiB");
        return;
    }

    const auto status = textMember(message, "status");
    const auto errorText = textMember(message, "error");
    if (status == recognition::kStatusReady) {
        if (auto delegate = recognitionDelegate())
            delegate->socketManagerCanStartRecordingAudio(*this, nullptr);
        return;
    }
    if (status == recognition::kStatusError)
        return reportFailure(connection, recognitionError(errorText.value_or("Unknown Error")));
    if (status == recognition::kStatusBusy)
        return reportFailure(connection, recognitionError(errorText.value_or("Busy")));
    if (status == recognition::kStatusConnectionTimeout) {
        return reportFailure(connection,
                             recognitionError(errorText.value_or("Connection timeout")));
    }

    const auto isFinal = finalMember(message);
    if (!isFinal) return reportFailure(connection, recognitionError("Unknown Error"));
    if (*isFinal) return reportFinalResult(connection, message);
    if (const auto transcript = textMember(message, "transcript")) {
        if (auto delegate = recognitionDelegate())
            delegate->socketManagerDidRecognizePartialText(*this, *transcript);
    }
}

void VSWebSocketManager::reportFinalResult(Connection& connection, const nlohmann::json& message) {
    connection.over = true;
    connection.outcomeReported = true;
    connection.socket->close();
    const double confidence = confidenceMember(message);
    std::vector<VarenSTTHypothesis> hypotheses;
    if (auto list = message.find("hypotheses"); list != message.end() && list->is_array()) {
        for (const auto& element : *list) {
            if (!element.is_object()) continue;
            auto entry = element;
            // Every alternative carries the result's one confidence.
            entry["confidence"] = confidence;
            hypotheses.push_back(VarenSTTHypothesis::modelObjectWithDictionary(entry));
        }
    }
    if (auto delegate = recognitionDelegate())
        delegate->socketManagerDidRecognizeAudioWithText(*this, hypotheses);
}

void VSWebSocketManager::reportFailure(Connection& connection, const Error& error) {
    connection.outcomeReported = true;
    if (auto delegate = recognitionDelegate())
        delegate->socketManagerDidFailToRecognizeAudioWithError(*this, error);
}

void VSWebSocketManager::reportEnd(SRWebSocket& webSocket, const Error& error, bool wasClean) {
    const auto connection = currentConnectionOf(webSocket);
    if (!connection || connection->over || connection->outcomeReported) {
        if (connection) connection->over = true;
        platform::log(LogLevel::info, "Ignoring the end of a finished or superseded connection: " +
                                          describe(error));
        return;
    }
    connection->over = true;
    if (mayResume(*connection, error, wasClean)) return scheduleResume(connection, error);
    reportFailure(*connection, error);
}

// Only the network's failures resume. What the server or its certificate said would be said
// again.
bool VSWebSocketManager::mayResume(const Connection& connection, const Error& error,
                                   bool wasClean) const {
    RunAudio& audio = *connection.audio;
    if (!audio.keepsSent() || wasClean) return false;
    if (audio.failedInARow >= audio.maxAttempts || audio.deadlinePassed) return false;
    {
        std::lock_guard lock(audio.mutex);
        if (audio.loggedFullBuffer) return false;
    }
    if (error.domain == platform::kStreamErrorDomain ||
        error.domain == SRWebSocketTimeoutErrorDomain ||
        error.domain == VarenSTTRecognitionErrorDomain)  // a close without the final result
        return true;
    return error.domain == SRWebSocketErrorDomain &&
           (error.code == SRWebSocketErrorWriteFailed || error.code == SRWebSocketErrorNoPong);
}

std::chrono::milliseconds VSWebSocketManager::resumeBackoff(std::int64_t attempt) {
    constexpr std::int64_t kFirstMs = 250;
    constexpr std::int64_t kLongestMs = 32'000;
    const std::int64_t doublings = std::clamp<std::int64_t>(attempt - 1, 0, 7);
    return std::chrono::milliseconds(std::min(kFirstMs << doublings, kLongestMs));
}

void VSWebSocketManager::scheduleResume(const std::shared_ptr<Connection>& connection,
                                        const Error& error) {
    RunAudio& audio = *connection->audio;
    {
        std::lock_guard lock(audio.mutex);
        audio.live.reset();
    }
    const std::int64_t attempt = ++audio.failedInARow;
    const auto delay = resumeBackoff(attempt);
    platform::log(LogLevel::warning, "Connection lost (" + describe(error) + "); resuming in " +
                                         std::to_string(delay.count()) + " ms, attempt " +
                                         std::to_string(attempt) + " of " +
                                         std::to_string(audio.maxAttempts));
    eventQueue()->after(delay,
                        [self = shared_from_this(), connection] { self->resume(connection); });
}

void VSWebSocketManager::resume(const std::shared_ptr<Connection>& dropped) {
    // A newer run, or a newer connection of this one, owns what comes next.
    if (connection_.load() != dropped || dropped->run != recognitionDelegate().get()) return;
    const auto audio = dropped->audio;
    if (audio->deadlinePassed) {
        return reportFailure(*dropped, recognitionError("No final result from the server"));
    }
    auto next = std::make_shared<Connection>();
    next->run = dropped->run;
    next->audio = audio;
    next->attempt = audio->failedInARow;
    next->socket = makeSocket(audio->url);
    makeCurrent(next);
    next->socket->open();
}

void VSWebSocketManager::webSocketDidFailWithError(SRWebSocket& webSocket, const Error& error) {
    reportEnd(webSocket, error, false);
}

void VSWebSocketManager::webSocketDidCloseWithCodeReasonWasClean(SRWebSocket& webSocket,
                                                                 std::int64_t,
                                                                 const std::optional<std::string>&,
                                                                 bool wasClean) {
    // A server that drops the connection before answering would leave the run waiting for ever.
    reportEnd(webSocket, recognitionError("Connection closed before the final result"), wasClean);
}

std::string VSWebSocketManager::decodeFromHexWithEncoding(const std::string& text,
                                                          StringEncoding encoding) {
    std::string digits;
    for (char c : text) {
        if (c != '<' && c != '>' && c != ' ') digits += c;
    }
    std::string decoded;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const std::string pair = digits.substr(i, 2);
        bool convertible = true;
        if (encoding == StringEncoding::ASCII) {
            for (char c : pair) convertible = convertible && static_cast<unsigned char>(c) < 0x80;
        }
        const long value = convertible ? std::strtol(pair.c_str(), nullptr, 16) : 0;
        const auto code = static_cast<unsigned char>(value & 0xFF);
        // Codes above 127 become the Latin-1 character of that code, written as UTF-8.
        if (code < 0x80) {
            decoded += static_cast<char>(code);
        } else {
            decoded += static_cast<char>(0xC0 | (code >> 6));
            decoded += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return decoded;
}

}  // namespace varen
