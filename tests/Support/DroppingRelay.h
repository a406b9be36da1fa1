#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace varen::test {

// A TCP relay on 127.0.0.1 (ephemeral port) to a local target port, standing for a network that
// drops: it forwards every connection both ways and resets the first `cuts` of them, on both
// sides at once, once their client has sent `cutAfterClientBytes`.
class DroppingRelay {
  public:
    DroppingRelay(std::uint16_t targetPort, std::size_t cutAfterClientBytes, int cuts = 1);
    ~DroppingRelay();
    DroppingRelay(const DroppingRelay&) = delete;
    DroppingRelay& operator=(const DroppingRelay&) = delete;

    std::uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    int cutsMade() const { return cutsMade_.load(); }

  private:
    void acceptLoop();
    void relay(int client, bool cutThisOne);

    const std::uint16_t targetPort_;
    const std::size_t cutAfterClientBytes_;
    const int cuts_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> cutsMade_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> relays_;
};

}  // namespace varen::test
