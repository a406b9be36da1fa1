#include "Support/RecognitionServer.h"

#include <sstream>
#include <stdexcept>
#include <thread>

namespace varen::test {

RecognitionServer::RecognitionServer(const nlohmann::json& script) {
    writeTextFile(directory_.path() / "script.json", script.dump());
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        kPython, std::string(VARENSTT_TEST_SOURCE_DIR) + "/Support/peers/recognition_server.py",
        (directory_.path() / "script.json").string(), (directory_.path() / "log.jsonl").string()});
    const auto line = process_->waitForOutputLine(
        [](const std::string& text) { return text.rfind("PORT ", 0) == 0; },
        std::chrono::seconds(20));
    if (!line) {
        throw std::runtime_error("recognition server did not start: " + process_->standardError());
    }
    port_ = std::stoi(line->substr(5));
}

RecognitionServer::~RecognitionServer() = default;

std::string RecognitionServer::decoderUrl() const {
    return "ws://127.0.0.1:" + std::to_string(port_) + "/ws/client/speech";
}

std::vector<nlohmann::json> RecognitionServer::events() const {
    std::vector<nlohmann::json> parsed;
    std::istringstream lines(readTextFile(directory_.path() / "log.jsonl"));
    std::string line;
    while (std::getline(lines, line)) {
        // The server may be writing the last line right now.
        auto event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_discarded()) parsed.push_back(std::move(event));
    }
    return parsed;
}

std::vector<nlohmann::json> RecognitionServer::events(const std::string& type) const {
    std::vector<nlohmann::json> matching;
    for (auto& event : events()) {
        if (event["type"] == type) matching.push_back(event);
    }
    return matching;
}

std::vector<std::string> RecognitionServer::textMessages() const {
    std::vector<std::string> texts;
    for (auto& event : events("text")) texts.push_back(event["data"].get<std::string>());
    return texts;
}

std::vector<Data> RecognitionServer::binaryMessages() const {
    std::vector<Data> messages;
    for (auto& event : events("binary")) {
        const auto hex = event["hex"].get<std::string>();
        Data bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        messages.push_back(std::move(bytes));
    }
    return messages;
}

bool RecognitionServer::waitFor(
    const std::function<bool(const std::vector<nlohmann::json>&)>& predicate,
    std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate(events())) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

nlohmann::json RecognitionServer::finalResult(const std::vector<std::string>& transcripts,
                                              double confidence) {
    nlohmann::json hypotheses = nlohmann::json::array();
    for (const auto& transcript : transcripts) hypotheses.push_back({{"transcript", transcript}});
    return {{"final", true}, {"hypotheses", hypotheses}, {"confidence", confidence}};
}

}  // namespace varen::test
