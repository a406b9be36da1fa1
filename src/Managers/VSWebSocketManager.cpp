#include "Managers/VSWebSocketManager.h"

#include <charconv>
#include <cstdlib>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/Log.h"
#include "varenstt/VarenSTTManager.h"

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
    return std::string("{\"decoding\":\"start\", \"audio-type\":\"speex;nb;8\", ") +
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
    return Error{"Recognition", 0, {{"message", message}}};
}

std::shared_ptr<VSWebSocketManager> VSWebSocketManager::sharedManager() {
    // Never destroyed: it holds the last capture module, whose teardown needs the platform
    // singletons, which would already be gone at exit.
    static const auto* instance =
        new std::shared_ptr<VSWebSocketManager>(std::make_shared<VSWebSocketManager>());
    return *instance;
}

bool VSWebSocketManager::openStream() {
    const auto url = VarenSTTManager::shared()->serviceURL();
    if (!url || !isSocketScheme(url->scheme())) {
        // A socket for such a URL would stop the process on its scheme check; tell the run instead.
        auto self = shared_from_this();
        platform::DispatchQueue::main()->async(
            [self] { self->reportFailure(recognitionError("Invalid service URL")); });
        return true;
    }
    auto webSocket = SRWebSocket::initWithURLProtocols(*url, std::vector<std::string>{});
    webSocket->setDelegate(weak_from_this());
    latestSocket_ = webSocket;
    connectionFinished_ = false;
    // Not kept here: the socket holds itself until its connection ends.
    webSocket->open();
    return true;
}

void VSWebSocketManager::startStreaming() {
    if (auto current = socket_.load()) sendStartCommand(*current);
}

void VSWebSocketManager::sendStartCommand(SRWebSocket& webSocket) {
    auto settings = VarenSTTManager::shared();
    webSocket.send(startCommandText(settings->maxResults(), settings->minSilence()));
}

void VSWebSocketManager::sendAudioData(const Data& chunk) {
    const auto current = socket_.load();
    if (!current) return;
    switch (current->readyState()) {
        case SR_OPEN:
            if (!chunk.empty()) current->send(chunk);
            break;
        case SR_CLOSING:
            forceCloseStream();
            break;
        default:
            break;  // not open yet, or already ended: audio is not kept
    }
}

void VSWebSocketManager::forceCloseStream() {
    const auto current = socket_.load();
    if (!current) return;
    if (current->readyState() == SR_OPEN) {
        current->send(stopCommandText());
    } else {
        current->close();
    }
}

void VSWebSocketManager::webSocketDidOpen(SRWebSocket& webSocket) {
    // The start command is queued before the socket becomes visible to the encoding thread, so
    // no audio packet can overtake it.
    sendStartCommand(webSocket);
    socket_.store(webSocket.shared_from_this());
}

void VSWebSocketManager::webSocketDidReceiveMessage(SRWebSocket&, const SRMessage& message) {
    if (const auto* text = std::get_if<std::string>(&message)) {
        handleServerMessage(*text);
    } else {
        platform::log("Ignoring a binary message of " +
                      std::to_string(std::get<Data>(message).size()) +
                      " bytes from the recognition server");
    }
}

void VSWebSocketManager::handleServerMessage(const std::string& text) {
    const auto message = nlohmann::json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return;

    const auto status = textMember(message, "status");
    const auto errorText = textMember(message, "error");
    if (status == "ready") {
        if (auto delegate = recognitionDelegate())
            delegate->socketManagerCanStartRecordingAudio(*this, nullptr);
        return;
    }
    if (status == "error")
        return reportFailure(recognitionError(errorText.value_or("Unknown Error")));
    if (status == "busy") return reportFailure(recognitionError(errorText.value_or("Busy")));
    if (status == "connection timeout") {
        return reportFailure(recognitionError(errorText.value_or("Connection timeout")));
    }

    const auto isFinal = finalMember(message);
    if (!isFinal) return reportFailure(recognitionError("Unknown Error"));
    if (*isFinal) return reportFinalResult(message);
    if (const auto transcript = textMember(message, "transcript")) {
        if (auto delegate = recognitionDelegate())
            delegate->socketManagerDidRecognizePartialText(*this, *transcript);
    }
}

void VSWebSocketManager::reportFinalResult(const nlohmann::json& message) {
    if (auto current = socket_.load()) current->close();
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
    connectionFinished_ = true;
    if (auto delegate = recognitionDelegate())
        delegate->socketManagerDidRecognizeAudioWithText(*this, hypotheses);
}

void VSWebSocketManager::reportFailure(const Error& error) {
    connectionFinished_ = true;
    if (auto delegate = recognitionDelegate())
        delegate->socketManagerDidFailToRecognizeAudioWithError(*this, error);
}

bool VSWebSocketManager::isUnfinishedLatestConnection(const SRWebSocket& webSocket) const {
    return &webSocket == latestSocket_.lock().get() && !connectionFinished_;
}

void VSWebSocketManager::webSocketDidFailWithError(SRWebSocket& webSocket, const Error& error) {
    // An earlier connection that fails after its result (or after a newer one was started) must
    // not end the run that is going on now.
    if (!isUnfinishedLatestConnection(webSocket)) {
        platform::log("Ignoring a failure of a finished connection: " +
                      error.localizedDescription());
        return;
    }
    reportFailure(error);
}

void VSWebSocketManager::webSocketDidCloseWithCodeReasonWasClean(SRWebSocket& webSocket,
                                                                 std::int64_t,
                                                                 const std::optional<std::string>&,
                                                                 bool) {
    // A server that drops the connection before answering would leave the run waiting for ever.
    if (&webSocket != socket_.load().get() || !isUnfinishedLatestConnection(webSocket)) return;
    reportFailure(recognitionError("Connection closed before the final result"));
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
