// varen-ws: a WebSocket client on the command line, on the library's public interface only.
// Its stderr lines and exit codes are relied on by scripts and conformance drivers.

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProxyEnvironment.h"
#include "ToolCommandLine.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/Platform/RunLoop.h"
#include "varenstt/Platform/UIRenderer.h"
#include "varenstt/SRWebSocket.h"
#include "varenstt/VarenSTT.h"

namespace {

using namespace varen;
using tools::UsageError;

constexpr int kExitClean = 0;
constexpr int kExitUnclean = 1;
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
    "  --ping-interval SECONDS  ping when the server is silent this long (default 0: never)\n"
    "  --proxy URL            connect through an HTTP proxy, http://[user:password@]host:port\n"
    "                         (default: http_proxy / https_proxy unless no_proxy names the host;\n"
    "                         \"\" for none)\n"
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
    double pingInterval = 0;
    std::optional<std::string> proxy;
};

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

// "Name: value" as a header field's name and value.
std::pair<std::string, std::string> headerField(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        throw UsageError("--header wants \"Name: value\"");
    std::string field = text.substr(colon + 1);
    field.erase(0, field.find_first_not_of(' '));
    return {text.substr(0, colon), field};
}

// An argument that names no option: an unknown option, or a URL after the first.
std::string unknownArgument(const std::string& arg) {
    return !arg.empty() && arg[0] == '-' ? "unknown option " + arg : "only one URL";
}

std::string versionLine() {
    std::ostringstream line;
    line << "varen-ws " << VarenSTTVersionNumber;
    return line.str();
}

void declareOptions(tools::ToolCommandLine& cli, Options& options) {
    cli.addHelpAndVersion(versionLine());
    cli.flag("--echo", [&options] { options.echo = true; });
    cli.flag("--insecure", [&options] { options.insecure = true; });
    cli.value("--header", "--header needs a value",
              [&options](const std::string& v) { options.headers.push_back(headerField(v)); });
    cli.value("--protocol", "--protocol needs a name",
              [&options](const std::string& v) { options.protocols.push_back(v); });
    cli.value("--pin", "--pin needs a file",
              [&options](const std::string& v) { options.pins.push_back(v); });
    cli.value("--ca", "--ca needs a file", [&options](const std::string& v) { options.ca = v; });
    cli.value("--timeout", "--timeout needs seconds", [&options](const std::string& v) {
        const auto t = parseNumber<double>(v);
        if (!t) throw UsageError("--timeout wants a number of seconds");
        options.timeout = *t;
    });
    cli.value("--max-message", "--max-message needs bytes", [&options](const std::string& v) {
        const auto n = parseNumber<std::uint64_t>(v);
        if (!n || *n == 0) throw UsageError("--max-message wants a positive number of bytes");
        options.maxMessage = *n;
    });
    cli.value("--ping-interval", "--ping-interval needs seconds", [&options](const std::string& v) {
        const auto t = parseNumber<double>(v);
        if (!t) throw UsageError("--ping-interval wants a number of seconds");
        options.pingInterval = *t;
    });
    cli.value("--proxy", "--proxy needs a URL",
              [&options](const std::string& v) { options.proxy = v; });
    cli.app().add_option("url", options.url);
}

// The URL to connect to: a ws:// or wss:// one.
URL webSocketUrl(const std::string& text) {
    if (text.empty()) throw UsageError("a URL is needed");
    // CLI11 takes "-5" or "-" for a positional argument; here it is the option it looks like.
    if (text[0] == '-') throw UsageError("unknown option " + text);
    const auto url = URL::URLWithString(text);
    std::string scheme = url ? url->scheme() : "";
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!url || (scheme != "ws" && scheme != "wss")) throw UsageError("not a ws:// or wss:// URL");
    return *url;
}

// The pinned certificates, DER, from their files.
std::vector<Data> pinnedCertificates(const std::vector<std::string>& paths) {
    std::vector<Data> pins;
    for (const auto& path : paths) {
        const auto bytes = readFile(path);
        const auto der = bytes ? SRCertificateDERFromBytes(*bytes) : std::nullopt;
        if (!der) throw UsageError("no certificate in " + path);
        pins.push_back(*der);
    }
    return pins;
}

// The extra trusted CA certificate's PEM text.
std::string extraTrustedPem(const std::string& path) {
    const auto bytes = readFile(path);
    if (!bytes || !SRCertificateDERFromBytes(*bytes))
        throw UsageError("no PEM certificate in " + path);
    return std::string(bytes->begin(), bytes->end());
}

std::shared_ptr<SRURLRequest> makeRequest(const Options& options) {
    auto request = std::make_shared<SRURLRequest>(webSocketUrl(options.url));
    request->setTimeoutInterval(options.timeout);
    for (const auto& [name, field] : options.headers)
        request->setValueForHTTPHeaderField(field, name);
    if (!options.pins.empty())
        request->setSR_SSLPinnedCertificates(pinnedCertificates(options.pins));
    if (options.ca) request->addSR_extraTrustedCertificatePEM(extraTrustedPem(*options.ca));
    return request;
}

std::shared_ptr<SRWebSocket> makeSocket(const Options& options) {
    std::optional<std::vector<std::string>> protocols;
    if (!options.protocols.empty()) protocols = options.protocols;
    auto socket = SRWebSocket::initWithURLRequestProtocolsAllowsUntrustedSSLCertificates(
        makeRequest(options), protocols, options.insecure);
    if (options.maxMessage) socket->setMaximumMessageSize(*options.maxMessage);
    const double pingSeconds = std::min(options.pingInterval, 1e6);
    socket->setPingInterval(std::chrono::milliseconds(std::llround(pingSeconds * 1000)));
    const URL& url = socket->url();
    if (const auto proxy = tools::chooseProxy(options.proxy, url.scheme(), url.host(),
                                              tools::processEnvironment)) {
        const auto proxyUrl = URL::URLWithString(proxy->url);
        if (!proxyUrl) throw UsageError(proxy->source + " is not a URL: " + proxy->url);
        socket->setProxyURL(*proxyUrl);
    }
    return socket;
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
        platform::RunLoop::main()->stop();  // `main` starts reading stdin
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

// Runs the main run loop until the connection has ended. Stdin is read only once the connection
// is open, so that an early end of input does not abandon the handshake.
void runUntilEnded(const std::shared_ptr<SRWebSocket>& socket, ToolDelegate& delegate, bool echo) {
    socket->open();
    auto loop = platform::RunLoop::main();
    bool readerStarted = echo;  // an echo reads no stdin
    // The delegate stops the loop when the connection opens and when it ends; in between the
    // loop wakes only for work.
    while (!delegate.exitStatus) {
        loop->run();
        if (delegate.opened && !readerStarted) {
            readerStarted = true;
            std::thread([socket] {
                std::string line;
                while (std::getline(std::cin, line)) socket->send(line);
                socket->close();
            }).detach();
        }
    }
}

// Messages of megabytes come and go one after another. By default the allocator hands each freed
// one back to the system and the next one is faulted in again page by page, which costs more
// than all the copying; keep up to this much freed memory for reuse instead.
void keepFreedMemoryForTheNextMessage() {
    constexpr int kLargestReusedBlock = 32 << 20;  // the allocator's ceiling for this setting
    mallopt(M_MMAP_THRESHOLD, kLargestReusedBlock);
    mallopt(M_TRIM_THRESHOLD, 4 * kLargestReusedBlock);
}

}  // namespace

int main(int argc, char** argv) {
    keepFreedMemoryForTheNextMessage();
    Options options;
    tools::ToolCommandLine cli("varen-ws", kUsage, unknownArgument);
    declareOptions(cli, options);
    const auto outcome = cli.parse(std::vector<std::string>(argv + 1, argv + argc));
    if (outcome.kind != tools::CommandLineOutcome::Kind::run) return cli.reportEarlyEnd(outcome);
    std::shared_ptr<SRWebSocket> socket;
    try {
        socket = makeSocket(options);
    } catch (const UsageError& error) {
        return cli.reportUsageError(error.what());
    }
    auto delegate = std::make_shared<ToolDelegate>(options.echo);
    socket->setDelegate(delegate);
    // Its delegate runs on the main loop: with the socket there too, a message and its echo
    // never wait for another thread to wake.
    socket->scheduleInRunLoopForMode(platform::RunLoop::main(), SRDefaultRunLoopMode);
    auto mainQueue = platform::DispatchQueue::main();
    runUntilEnded(socket, *delegate, options.echo);
    const int status = *delegate->exitStatus;
    // The stdin thread may still be blocked in a read: it keeps the socket, which drops what
    // it is sent once the library has been shut down.
    varen::shutdown();
    std::cout.flush();
    std::cerr.flush();
    return status;
}
