#include "Protocol.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

#include <nlohmann/json.hpp>

namespace varen::server {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Texts built from the client's input or the recogniser go out even when they are not valid
// UTF-8, rather than failing the session.
std::string dump(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string formatSeconds(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

// A JSON number within the range; "name" is used in the error text.
std::optional<std::string> readSeconds(const nlohmann::json& command, const char* name,
                                       SecondsRange range, double& out) {
    auto it = command.find(name);
    if (it == command.end()) return std::nullopt;
    // NaN fails both comparisons, hence the negated form.
    if (!it->is_number() || !(it->get<double>() >= range.low && it->get<double>() <= range.high)) {
        return std::string("Invalid ") + name + ": expected a number of seconds from " +
               formatSeconds(range.low) + " to " + formatSeconds(range.high);
    }
    out = it->get<double>();
    return std::nullopt;
}

std::optional<std::string> readNBest(const nlohmann::json& command, int& out) {
    auto it = command.find("n-best");
    if (it == command.end()) return std::nullopt;
    double count = it->is_number() ? it->get<double>() : 0.5;
    if (!(std::abs(count) <= kNBestLimit) || count != std::floor(count)) {
        return "Invalid n-best: expected an integer";
    }
    // Fewer than one alternative means one.
    out = static_cast<int>(std::clamp(count, 1.0, static_cast<double>(kMaxAlternatives)));
    return std::nullopt;
}

Command parseStart(const nlohmann::json& command) {
    auto audioType = command.find("audio-type");
    if (audioType == command.end() || !audioType->is_string() ||
        audioType->get<std::string>() != kAudioType) {
        return CommandError{"Unsupported audio type"};
    }

    StartOptions options;
    for (auto error : {
             readSeconds(command, "traceback-period", kTracebackPeriodRange,
                         options.tracebackPeriod),
             readSeconds(command, "timeout", kTimeoutRange, options.timeout),
             readSeconds(command, "min-silence", kMinSilenceRange, options.minSilence),
             readNBest(command, options.nBest),
         }) {
        if (error) return CommandError{*error};
    }

    if (auto it = command.find("do-endpointing"); it != command.end()) {
        if (!it->is_boolean())
            return CommandError{"Invalid do-endpointing: expected true or false"};
        options.doEndpointing = it->get<bool>();
    }

    if (auto it = command.find("connection-mode"); it != command.end()) {
        std::string mode = it->is_string() ? it->get<std::string>() : it->dump();
        if (mode == "on-stop-close") {
            options.connectionMode = ConnectionMode::onStopClose;
        } else if (mode == "keep-alive") {
            options.connectionMode = ConnectionMode::keepAlive;
        } else {
            return CommandError{"Unsupported connection mode " + mode};
        }
    }
    return StartCommand{options};
}

}  // namespace

std::string percentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded.push_back(
                static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

RequestTarget parseRequestTarget(std::string_view target) {
    RequestTarget result;
    auto question = target.find('?');
    result.path = std::string(target.substr(0, question));
    if (question == std::string_view::npos) return result;

    std::string_view query = target.substr(question + 1);
    // A fragment never belongs to the query.
    if (auto hash = query.find('#'); hash != std::string_view::npos) query = query.substr(0, hash);
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (pair.empty()) continue;
        auto equals = pair.find('=');
        std::string name = percentDecode(pair.substr(0, equals));
        std::string value = equals == std::string_view::npos
                                ? std::string{}
                                : percentDecode(pair.substr(equals + 1));
        result.query.emplace(std::move(name), std::move(value));
    }
    return result;
}

Command parseCommand(std::string_view text) {
    nlohmann::json command;
    try {
        command = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& error) {
        return CommandError{"Malformed JSON at byte " + std::to_string(error.byte)};
    }
    if (!command.is_object()) return CommandError{"Command is not a JSON object"};

    auto decoding = command.find("decoding");
    if (decoding == command.end()) return CommandError{"Command without \"decoding\""};
    if (!decoding->is_string()) return CommandError{"Unknown decoding command " + decoding->dump()};
    const std::string& verb = decoding->get_ref<const std::string&>();
    if (verb == "start") return parseStart(command);
    if (verb == "stop") return StopCommand{};
    return CommandError{"Unknown decoding command " + verb};
}

std::string readyMessage() {
    return statusMessage("ready");
}

std::string statusMessage(std::string_view status, std::optional<std::string_view> error) {
    nlohmann::ordered_json message = {{"status", status}};
    if (error) message["error"] = *error;
    return dump(message);
}

std::string errorMessage(std::string_view error) {
    return statusMessage("error", error);
}

std::string partialMessage(std::string_view transcript) {
    return dump(nlohmann::ordered_json{{"final", false}, {"transcript", transcript}});
}

std::string finalMessage(const std::vector<std::string>& transcripts, double confidence) {
    nlohmann::ordered_json hypotheses = nlohmann::ordered_json::array();
    for (const auto& transcript : transcripts) hypotheses.push_back({{"transcript", transcript}});
    return dump(nlohmann::ordered_json{
        {"final", true}, {"hypotheses", hypotheses}, {"confidence", confidence}});
}

}  // namespace varen::server
