#include "Options.h"

#include <charconv>

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

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    auto fail = [&](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.version = true;
        } else if (arg == "--listen") {
            auto text = value();
            if (!text || !parseListen(*text, parsed.options)) {
                return fail("--listen needs HOST:PORT");
            }
        } else if (arg == "--tls-cert" || arg == "--tls-key" || arg == "--models") {
            auto text = value();
            if (!text || text->empty()) return fail(arg + " needs a path");
            if (arg == "--tls-cert") parsed.options.tlsCert = *text;
            if (arg == "--tls-key") parsed.options.tlsKey = *text;
            if (arg == "--models") parsed.options.models = *text;
        } else if (arg == "--api-key") {
            auto text = value();
            if (!text) return fail("--api-key needs a key");
            parsed.options.apiKeys.insert(*text);
        } else if (arg == "--max-sessions" || arg == "--workers") {
            auto text = value();
            auto number = text ? parseInteger(*text, 1, 100000) : std::nullopt;
            if (!number) return fail(arg + " needs a positive integer");
            if (arg == "--max-sessions") parsed.options.maxSessions = static_cast<int>(*number);
            if (arg == "--workers") parsed.options.workers = static_cast<int>(*number);
        } else {
            return fail("unknown option " + arg);
        }
    }
    if (parsed.options.tlsCert.has_value() != parsed.options.tlsKey.has_value()) {
        return fail("--tls-cert and --tls-key go together");
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
           "  --help, --version\n";
}

}  // namespace varen::server
