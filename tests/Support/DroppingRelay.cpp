#include "Support/DroppingRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace varen::test {

namespace {

constexpr int kPollMs = 50;  // how soon a relay notices the test is over

sockaddr_in localAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A reset rather than an orderly end: what a dropped network looks like to both peers.
void reset(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

bool writeAll(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = send(fd, bytes, length, MSG_NOSIGNAL);
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

DroppingRelay::DroppingRelay(std::uint16_t targetPort, std::size_t cutAfterClientBytes, int cuts)
    : targetPort_(targetPort), cutAfterClientBytes_(cutAfterClientBytes), cuts_(cuts) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = localAddress(0);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("relay: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

DroppingRelay::~DroppingRelay() {
    stopping_ = true;
    acceptor_.join();
    close(listenFd_);
    std::lock_guard lock(mutex_);
    for (auto& relay : relays_) relay.join();
}

void DroppingRelay::acceptLoop() {
    while (!stopping_) {
        pollfd waiting{listenFd_, POLLIN, 0};
        if (poll(&waiting, 1, kPollMs) <= 0) continue;
        const int client = accept(listenFd_, nullptr, nullptr);
        if (client < 0) continue;
        const bool cutThisOne = connections_++ < cuts_;
        std::lock_guard lock(mutex_);
        relays_.emplace_back([this, client, cutThisOne] { relay(client, cutThisOne); });
    }
}

void DroppingRelay::relay(int client, bool cutThisOne) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in target = localAddress(targetPort_);
    if (connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        close(server);
        return reset(client);
    }
    std::size_t fromClient = 0;
    bool ended[2] = {false, false};  // per direction: client to server, server to client
    char buffer[16384];
    while (!stopping_ && !(ended[0] && ended[1])) {
        pollfd ends[2] = {{ended[0] ? -1 : client, POLLIN, 0}, {ended[1] ? -1 : server, POLLIN, 0}};
        if (poll(ends, 2, kPollMs) <= 0) continue;
        for (int side = 0; side < 2; ++side) {
            if (ended[side] || !(ends[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t count = recv(ends[side].fd, buffer, sizeof buffer, 0);
            const int other = side == 0 ? server : client;
            if (count <= 0 || !writeAll(other, buffer, static_cast<std::size_t>(count))) {
                ended[side] = true;
                shutdown(other, SHUT_WR);  // an orderly end is passed on as one
                continue;
            }
            if (side == 0) fromClient += static_cast<std::size_t>(count);
        }
        if (cutThisOne && fromClient >= cutAfterClientBytes_) {
            ++cutsMade_;
            break;
        }
    }
    reset(client);
    reset(server);
}

}  // namespace varen::test
