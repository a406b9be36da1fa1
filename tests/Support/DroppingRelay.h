#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Support/TestSupport.h"

namespace varen::test {

// The relay of peers/dropping_relay.py to a local port: a network that resets the first
// connection through it once its client has sent `cutAfterClientBytes`.
class DroppingRelay {
  public:
    DroppingRelay(std::uint16_t targetPort, std::size_t cutAfterClientBytes);

    int port() const { return port_; }
    // Waits until the relay has told `line` ("CONNECT 2", "CUT 1").
    bool told(const std::string& line) const;
    // How many connections it has been told of so far.
    int connections() const;

  private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace varen::test
