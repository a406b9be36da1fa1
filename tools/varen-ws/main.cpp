// varen-ws: a WebSocket client on the command line, on the library's public interface only.
// Its stderr lines and exit codes are relied on by scripts and conformance drivers.

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/SRWebSocket.h"
#include "varenstt/VarenSTT.h"

namespace {

using namespace varen;

constexpr int kExitClean = 0;
constexpr int kExitUnclean = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

const char* const kUsage =
    "usage: varen-ws [options] URL\n"
    "Connects to a ws:// or wss:// URL. Lines from stdin are sent as text messages; received\n"
    "text is written to stdout, binary messages as \"binary <N> bytes\". End of stdin closes.\n"
    "  --echo                 send every received message back; do not read stdin\n"
    "  --header \"Name: value\" add a request header field (repeatable)\n"
    "  --protocol NAME        request a subprotocol (repeatable)\n"
    "  --pin FILE             pin a server certificate, DER or PEM (repeatable)\n"
    "  --insecure             do not validate the TLS chain\n"
    "  --ca FILE              trust an extra CA certificate (PEM)\n"
    "  --timeout SECONDS      open timeout (default 60; 0: none)\n"
    "  --max-message BYTES    largest message accepted\n"
    "  --help, --version\n";

struct Options {
    std::string url;
    bool echo = false;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::string> protocols;
    std::vector<std::string> pins;
    bool insecure = false;
    std::optional<std::string> ca;
    double timeout = 60;
    std::optional<std::uint64_t> maxMessage;
};

int usageError(const std::string& message) {
    std::cerr << "varen-ws: " << message << "\n" << kUsage;
    return kExitUsage;
}

std::optional<Data> readFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Data bytes;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    return bytes;
}

// Parses a whole number or decimal without locale influence.
template <typename T>
std::optional<T> parseNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        if constexpr (std::is_floating_point_v<T>) {
            const double v = std::stod(text, &used);
            if (used != text.size() || v < 0) return std::nullopt;
            return v;
        } else {
            if (text.empty() || text[0] == '-') return std::nullopt;
            const unsigned long long v = std::stoull(text, &used);
            if (used != text.size()) return std::nullopt;
            return static_cast<T>(v);
        }
    } catch (...) {
        return std::nullopt;
    }
}

// Prints what the socket reports and decides the exit status.
//
// Thread safety: callbacks arrive on the main run loop; `finish` may also be called from the
// stdin thread's queued work, which runs there too.
class ToolDelegate : public SRWebSocketDelegate {
  public:
    explicit ToolDelegate(bool echo) : echo_(echo) {}

    void webSocketDidOpen(SRWebSocket& socket) override {
        std::cerr << "open protocol=" << socket.protocol().value_or("") << std::endl;
        opened = true;
    }
    void webSocketDidReceiveMessage(SRWebSocket& socket, const SRMessage& message) override {
        if (const auto* text = std::get_if<std::string>(&message)) {
            if (echo_) socket.send(*text);
            // On a terminal a server's text must not steer it.
            std::cout << (stdoutIsTerminal_ ? platform::terminalSafeText(*text) : *text) << "\n"
                      << std::flush;
        } else {
            const Data& data = std::get<Data>(message);
            if (echo_) socket.send(data);
            std::cout << "binary " << data.size() << " bytes\n" << std::flush;
        }
    }
    void webSocketDidFailWithError(SRWebSocket&, const Error& error) override {
        std::cerr << "failed domain=" << error.domain << " code=" << error.code
                  << " message=" << error.localizedDescription() << std::endl;
        finish(kExitFailure);
    }
    void webSocketDidCloseWithCodeReasonWasClean(SRWebSocket&, std::int64_t code,
                                                 const std::optional<std::string>& reason,
                                                 bool wasClean) override {
        std::cerr << "closed code=" << code << " reason=" << reason.value_or("")
                  << " clean=" << (wasClean ? "true" : "false") << std::endl;
        finish(wasClean ? kExitClean : kExitUnclean);
    }

    void finish(int status) {
        if (!exitStatus) exitStatus = status;
        platform::RunLoop::main()->stop();
    }

    std::atomic<bool> opened{false};
    std::optional<int> exitStatus;

  private:
    bool echo_;
    const bool stdoutIsTerminal_ = isatty(STDOUT_FILENO) == 1;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--version") {
            std::cout << "varen-ws " << VarenSTTVersionNumber << "\n";
            return 0;
        } else if (a == "--echo") {
            options.echo = true;
        } else if (a == "--insecure") {
            options.insecure = true;
        } else if (a == "--header") {
            if (!value(v)) return usageError("--header needs a value");
            const auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0)
                return usageError("--header wants \"Name: value\"");
            std::string name = v.substr(0, colon);
            std::string field = v.substr(colon + 1);
            while (!field.empty() && field.front() == ' ') field.erase(field.begin());
            options.headers.emplace_back(name, field);
        } else if (a == "--protocol") {
            if (!value(v)) return usageError("--protocol needs a name");
            options.protocols.push_back(v);
        } else if (a == "--pin") {
            if (!value(v)) return usageError("--pin needs a file");
            options.pins.push_back(v);
        } else if (a == "--ca") {
            if (!value(v)) return usageError("--ca needs a file");
            options.ca = v;
        } else if (a == "--timeout") {
            if (!value(v)) return usageError("--timeout needs seconds");
            const auto t = parseNumber<double>(v);
            if (!t) return usageError("--timeout wants a number of seconds");
            options.timeout = *t;
        } else if (a == "--max-message") {
            if (!value(v)) return usageError("--max-message needs bytes");
            const auto n = parseNumber<std::uint64_t>(v);
            if (!n || *n == 0) return usageError("--max-message wants a positive number of bytes");
            options.maxMessage = *n;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a);
        } else if (options.url.empty()) {
            options.url = a;
        } else {
            return usageError("only one URL");
        }
    }
    if (options.url.empty()) return usageError("a URL is needed");
    const auto url = URL::URLWithString(options.url);
    std::string scheme = url ? url->scheme() : "";
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!url || (scheme != "ws" && scheme != "wss")) return usageError("not a ws:// or wss:// URL");

    auto request = std::make_shared<SRURLRequest>(url);
    request->setTimeoutInterval(options.timeout);
    for (const auto& [name, field] : options.headers)
        request->setValueForHTTPHeaderField(field, name);
    if (!options.pins.empty()) {
        std::vector<Data> pins;
        for (const auto& path : options.pins) {
            const auto bytes = readFile(path);
            const auto der = bytes ? SRCertificateDERFromBytes(*bytes) : std::nullopt;
            if (!der) return usageError("no certificate in " + path);
            pins.push_back(*der);
        }
        request->setSR_SSLPinnedCertificates(pins);
    }
    if (options.ca) {
        const auto bytes = readFile(*options.ca);
        if (!bytes || !SRCertificateDERFromBytes(*bytes))
            return usageError("no PEM certificate in " + *options.ca);
        request->addSR_extraTrustedCertificatePEM(std::string(bytes->begin(), bytes->end()));
    }

    std::optional<std::vector<std::string>> protocols;
    if (!options.protocols.empty()) protocols = options.protocols;
    auto socket = SRWebSocket::initWithURLRequestProtocolsAllowsUntrustedSSLCertificates(
        request, protocols, options.insecure);
    if (options.maxMessage) socket->setMaximumMessageSize(*options.maxMessage);
    auto delegate = std::make_shared<ToolDelegate>(options.echo);
    socket->setDelegate(delegate);

    // Stdin is read only once the connection is open, so that an early end of input does not
    // abandon the handshake.
    auto mainQueue = platform::DispatchQueue::main();
    socket->open();
    auto loop = platform::RunLoop::main();
    bool readerStarted = false;
    while (!delegate->exitStatus) {
        loop->runUntil(
            [&] {
                return delegate->exitStatus.has_value() || (delegate->opened && !readerStarted);
            },
            std::chrono::hours(24 * 365));
        if (delegate->opened && !readerStarted && !options.echo) {
            readerStarted = true;
            std::thread([socket] {
                std::string line;
                while (std::getline(std::cin, line)) socket->send(line);
                socket->close();
            }).detach();
        }
        if (options.echo) readerStarted = true;
    }
    const int status = *delegate->exitStatus;
    // The stdin thread may still be blocked in a read: it keeps the socket, which drops what
    // it is sent once the library has been shut down.
    varen::shutdown();
    std::cout.flush();
    std::cerr.flush();
    return status;
}
