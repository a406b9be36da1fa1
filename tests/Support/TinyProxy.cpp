#include "Support/TinyProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Support/NetTestServer.h"

namespace varen::test {

namespace {

constexpr const char* kTinyProxy = "/usr/bin/tinyproxy";

bool acceptsConnections(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

TinyProxy::TinyProxy(Options options) {
    // The port was free when chosen; another process may take it before the proxy binds it.
    for (int attempt = 0; attempt < 3 && !started(); ++attempt) {
        if (startOn(unusedLocalPort(), options)) break;
    }
}

bool TinyProxy::startOn(std::uint16_t port, const Options& options) {
    std::string config = "Port " + std::to_string(port) +
                         "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\nMaxClients 20\n";
    for (const auto allowed : options.connectPorts)
        config += "ConnectPort " + std::to_string(allowed) + "\n";
    if (options.basicAuth)
        config += "BasicAuth " + options.basicAuth->first + " " + options.basicAuth->second + "\n";
    const auto path = dir_.path() / ("tinyproxy-" + std::to_string(port) + ".conf");
    writeTextFile(path, config);
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kTinyProxy, "-d", "-c", path.string()});
    // It binds before it serves; a connection it accepts says it is ready.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && process_->isRunning()) {
        if (acceptsConnections(port)) {
            port_ = port;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    process_.reset();
    return false;
}

std::string TinyProxy::url(const std::string& userInfo) const {
    return "http://" + (userInfo.empty() ? "" : userInfo + "@") +
           "127.0.0.1:" + std::to_string(port_);
}

std::string TinyProxy::log() const {
    return process_ ? process_->standardOutput() + process_->standardError() : std::string();
}

}  // namespace varen::test
