#include "Options.h"

#include <charconv>
#include <limits>

#include "ToolCommandLine.h"

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

std::optional<std::string> path(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}

std::optional<long> count(const std::string& text) {
    return parseInteger(text, 1, 100000);
}

std::optional<double> idleSeconds(const std::string& text) {
    return parseSeconds(text, 0.1, 86400.0);
}

// An option followed by a value: `parse` makes the value of the text, `store` keeps a fit one;
// `error` is the usage error when the value is missing or unfit.
template <class Parse, class Store>
void addValue(tools::ToolCommandLine& cli, const std::string& name, const std::string& error,
              Parse parse, Store store) {
    cli.value(name, error, [parse, store, error](const std::string& text) {
        auto value = parse(text);
        if (!value) throw tools::UsageError(error);
        store(*value);
    });
}

// Where and how the server listens.
void declareListening(tools::ToolCommandLine& cli, ServerOptions& o) {
    cli.value("--listen", "--listen needs HOST:PORT", [&o](const std::string& text) {
        if (!parseListen(text, o)) throw tools::UsageError("--listen needs HOST:PORT");
    });
    addValue(cli, "--tls-cert", "--tls-cert needs a path", path,
             [&o](const std::string& v) { o.tlsCert = v; });
    addValue(cli, "--tls-key", "--tls-key needs a path", path,
             [&o](const std::string& v) { o.tlsKey = v; });
    addValue(
        cli, "--api-key", "--api-key needs a key",
        [](const std::string& text) { return std::optional(text); },
        [&o](const std::string& v) { o.apiKeys.insert(v); });
}

// What the server recognises with, and how much of it at once.
void declareCapacity(tools::ToolCommandLine& cli, ServerOptions& o) {
    addValue(cli, "--models", "--models needs a path", path,
             [&o](const std::string& v) { o.models = v; });
    addValue(cli, "--max-sessions", "--max-sessions needs a positive integer", count,
             [&o](long v) { o.maxSessions = static_cast<int>(v); });
    addValue(cli, "--workers", "--workers needs a positive integer", count,
             [&o](long v) { o.workers = static_cast<int>(v); });
    addValue(cli, "--max-memory", "--max-memory needs a number of bytes (K, M or G may follow)",
             parseBytes, [&o](std::uint64_t v) { o.maxMemory = v; });
    addValue(cli, "--idle-timeout", "--idle-timeout needs 0.1 to 86400 seconds", idleSeconds,
             [&o](double v) { o.idleTimeout = v; });
}

}  // namespace

// --help and --version only mark what was asked for: the parse goes on, and a usage error
// anywhere on the line wins over them.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    tools::ToolCommandLine cli("varen-stt-server", usageText());
    cli.flag("-h,--help", [&parsed] { parsed.help = true; });
    cli.flag("--version", [&parsed] { parsed.version = true; });
    declareListening(cli, parsed.options);
    declareCapacity(cli, parsed.options);
    const auto outcome = cli.parse(args);
    if (outcome.kind == tools::CommandLineOutcome::Kind::usageError) {
        parsed.error = outcome.text;
    } else if (parsed.options.tlsCert.has_value() != parsed.options.tlsKey.has_value()) {
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
