#include "Options.h"

#include <charconv>
#include <functional>
#include <limits>
#include <map>

namespace varen::server {

namespace {

std::optional<long> parseInteger(const std::string& text, long low, long high) {
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// A count of bytes, with an optional K, M or G (powers of 1024).
std::optional<std::uint64_t> parseBytes(std::string text) {
    std::uint64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
            case 'K': unit = 1ull << 10; break;
            case 'M': unit = 1ull << 20; break;
            case 'G': unit = 1ull << 30; break;
            default: break;
        }
        if (unit > 1) text.pop_back();
    }
    auto count = parseInteger(text, 1, std::numeric_limits<long>::max() / (1l << 30));
    if (!count) return std::nullopt;
    return static_cast<std::uint64_t>(*count) * unit;
}

std::optional<double> parseSeconds(const std::string& text, double low, double high) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !(value >= low) ||
        !(value <= high)) {
        return std::nullopt;
    }
    return value;
}

// HOST:PORT, with an IPv6 host in brackets ("[::1]:8390").
bool parseListen(const std::string& text, ServerOptions& options) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    }
    auto port = parseInteger(text.substr(colon + 1), 0, 65535);
    if (!port) return false;
    options.host = host;
    options.port = static_cast<std::uint16_t>(*port);
    return true;
}

// An option followed by a value: the usage error when the value is missing or unfit, and what
// a fit value sets.
struct ValueOption {
    std::string error;
    std::function<bool(const std::string&, ServerOptions&)> apply;
};

template <class Parse, class Store>
ValueOption valueOption(std::string error, Parse parse, Store store) {
    return {std::move(error), [parse, store](const std::string& text, ServerOptions& options) {
                auto value = parse(text);
                if (value) store(options, *value);
                return value.has_value();
            }};
}

std::optional<std::string> path(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}

std::optional<long> count(const std::string& text) {
    return parseInteger(text, 1, 100000);
}

const std::map<std::string, ValueOption>& valueOptions() {
    static const std::map<std::string, ValueOption> options = {
        {"--listen", {"--listen needs HOST:PORT", parseListen}},
        {"--tls-cert", valueOption("--tls-cert needs a path", path,
                              [](ServerOptions& o, const std::string& v) { o.tlsCert = v; })},
        {"--tls-key", valueOption("--tls-key needs a path", path,
                             [](ServerOptions& o, const std::string& v) { o.tlsKey = v; })},
        {"--models", valueOption("--models needs a path", path,
                            [](ServerOptions& o, const std::string& v) { o.models = v; })},
        {"--api-key", valueOption("--api-key needs a key", [](const std::string& text) { return std::optional(text); },
                             [](ServerOptions& o, const std::string& v) { o.apiKeys.insert(v); })},
        {"--max-sessions",
         valueOption("--max-sessions needs a positive integer", count,
                [](ServerOptions& o, long v) { o.maxSessions = static_cast<int>(v); })},
        {"--workers", valueOption("--workers needs a positive integer", count,
                             [](ServerOptions& o, long v) { o.workers = static_cast<int>(v); })},
        {"--max-memory", valueOption("--max-memory needs a number of bytes (K, M or G may follow)",
                                parseBytes,
                                [](ServerOptions& o, std::uint64_t v) { o.maxMemory = v; })},
        {"--idle-timeout",
         valueOption(
             "--idle-timeout needs 0.1 to 86400 seconds",
             [](const std::string& text) { return parseSeconds(text, 0.1, 86400.0); },
             [](ServerOptions& o, double v) { o.idleTimeout = v; })},
    };
    return options;
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    for (std::size_t i = 0; i < args.size() && !parsed.error; ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.version = true;
        } else if (auto option = valueOptions().find(arg); option != valueOptions().end()) {
            bool fit = i + 1 < args.size() && option->second.apply(args[++i], parsed.options);
            if (!fit) parsed.error = option->second.error;
        } else {
            parsed.error = "unknown option " + arg;
        }
    }
    if (!parsed.error &&
        parsed.options.tlsCert.has_value() != parsed.options.tlsKey.has_value()) {
        parsed.error = "--tls-cert and --tls-key go together";
    }
    return parsed;
}

std::string usageText() {
    return "usage: varen-stt-server [options]\n"
           "Serves speech recognition on ws://HOST:PORT/ws/client/speech?key=KEY&model=MODEL\n"
           "\n"
           "  --listen HOST:PORT   address to listen on (default 127.0.0.1:8390; port 0: any)\n"
           "  --tls-cert FILE      certificate chain (PEM) to serve wss\n"
           "  --tls-key FILE       private key (PEM) of that certificate\n"
           "  --api-key KEY        accept this key (repeatable; default: any key)\n"
           "  --max-sessions N     sessions served at once; beyond, status \"busy\" (default 64)\n"
           "  --models DIR         folder of the model definitions (*.json)\n"
           "  --workers N          decoding threads (default: one per core)\n"
           "  --max-memory BYTES   memory beyond which new sessions get status \"busy\"; K, M or G\n"
           "                       may follow the number (default: half the machine's memory)\n"
           "  --idle-timeout SECONDS  a session's longest silence; a client's start command may\n"
           "                       only shorten it (default 10)\n"
           "  --help, --version\n";
}

}  // namespace varen::server
