#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Support/TestSupport.h"

namespace varen::test {

// A real HTTP CONNECT proxy (Debian's tinyproxy) on 127.0.0.1 with a port of its own, run in
// the foreground with a configuration written to a temporary folder. Killed when the object
// goes. The constructor returns once the proxy accepts connections (or it gave up: `started`).
class TinyProxy {
  public:
    struct Options {
        std::vector<std::uint16_t> connectPorts;  // the ports CONNECT may reach; empty: any
        std::optional<std::pair<std::string, std::string>> basicAuth;  // user, password
    };

    explicit TinyProxy(Options options);
    TinyProxy() : TinyProxy(Options{}) {}

    bool started() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // "http://[userInfo@]127.0.0.1:PORT"; `userInfo` is written as given (percent-encoded).
    std::string url(const std::string& userInfo = "") const;
    // What it logged; each tunnel shows as "CONNECT host:port HTTP/1.1".
    std::string log() const;

  private:
    bool startOn(std::uint16_t port, const Options& options);

    TemporaryDirectory dir_;
    std::unique_ptr<ChildProcess> process_;
    std::uint16_t port_ = 0;
};

}  // namespace varen::test
