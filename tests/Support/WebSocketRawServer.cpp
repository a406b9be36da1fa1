#include "Support/WebSocketRawServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "WebSocket/SRHandshakeHelpers.h"

namespace varen::test {

using Clock = std::chrono::steady_clock;

WebSocketRawConnection::~WebSocketRawConnection() {
    closeNow();
}

void WebSocketRawConnection::closeNow() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool WebSocketRawConnection::fill(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    std::uint8_t buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.insert(pending_.end(), buffer, buffer + n);
    return true;
}

std::string WebSocketRawConnection::readRequestHead(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::string text(pending_.begin(), pending_.end());
        const auto end = text.find("\r\n\r\n");
        if (end != std::string::npos) {
            head_ = text.substr(0, end + 4);
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(end + 4));
            return head_;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !fill(left)) return {};
    }
}

std::optional<std::string> WebSocketRawConnection::requestField(const std::string& name) const {
    std::size_t pos = head_.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head_.size()) {
        const std::size_t start = pos + 2;
        const std::size_t end = head_.find("\r\n", start);
        if (end == std::string::npos || end == start) break;
        const std::string line = head_.substr(start, end - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos && SRHeaderNameEquals(line.substr(0, colon), name)) {
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') value.erase(value.begin());
            return value;
        }
        pos = end;
    }
    return std::nullopt;
}

void WebSocketRawConnection::acceptHandshake(const std::string& extraFields) {
    const std::string accept = SRAcceptKeyForKey(requestField("Sec-WebSocket-Key").value_or(""));
    write(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        accept + "\r\n" + extraFields + "\r\n");
}

bool WebSocketRawConnection::write(const Data& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool WebSocketRawConnection::write(const std::string& bytes) {
    return write(Data(bytes.begin(), bytes.end()));
}

void WebSocketRawConnection::writeBytewise(const Data& bytes) {
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (std::uint8_t b : bytes) {
        write(Data{b});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

Data WebSocketRawConnection::readBytes(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pending_.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !fill(left)) break;
    }
    const std::size_t n = std::min(count, pending_.size());
    Data out(pending_.begin(), pending_.begin() + static_cast<long>(n));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
    return out;
}

std::optional<WebSocketRawFrame> WebSocketRawConnection::readFrame(
    std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    auto need = [&](std::size_t n) {
        while (pending_.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !fill(left)) return false;
        }
        return true;
    };
    if (!need(2)) return std::nullopt;
    WebSocketRawFrame frame;
    frame.fin = pending_[0] & 0x80;
    frame.opcode = pending_[0] & 0x0F;
    frame.masked = pending_[1] & 0x80;
    std::uint64_t length = pending_[1] & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
        if (!need(4)) return std::nullopt;
        length = (std::uint64_t{pending_[2]} << 8) | pending_[3];
        header = 4;
    } else if (length == 127) {
        if (!need(10)) return std::nullopt;
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | pending_[2 + i];
        header = 10;
    }
    const std::size_t keyBytes = frame.masked ? 4 : 0;
    if (!need(header + keyBytes + length)) return std::nullopt;
    std::uint8_t key[4] = {0, 0, 0, 0};
    if (frame.masked) std::memcpy(key, pending_.data() + header, 4);
    const std::uint8_t* p = pending_.data() + header + keyBytes;
    frame.payload.resize(length);
    for (std::size_t i = 0; i < length; ++i) frame.payload[i] = p[i] ^ key[i % 4];
    pending_.erase(pending_.begin(),
                   pending_.begin() + static_cast<long>(header + keyBytes + length));
    return frame;
}

bool WebSocketRawConnection::waitForEnd(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (fd_ >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
    return true;
}

void WebSocketRawConnection::answerCloseAndWaitForEnd(std::chrono::milliseconds timeout) {
    while (auto frame = readFrame(timeout)) {
        if (frame->opcode == 8) {
            write(serverFrame(8, closePayload(1000)));
            break;
        }
    }
    waitForEnd(timeout);
}

void WebSocketRawConnection::shrinkReceiveBuffer(int bytes) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void WebSocketRawConnection::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

WebSocketRawServer::WebSocketRawServer(Script script) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listenFd_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20000) > 0) {
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd >= 0) {
                WebSocketRawConnection connection(fd);
                script(connection, *this);
            }
        } else {
            fail("no client connected");
        }
        finished_.store(true);
    });
}

std::unique_ptr<WebSocketRawConnection> WebSocketRawServer::acceptAnother(
    std::chrono::milliseconds timeout) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return nullptr;
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    return fd >= 0 ? std::make_unique<WebSocketRawConnection>(fd) : nullptr;
}

WebSocketRawServer::~WebSocketRawServer() {
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

std::string WebSocketRawServer::url(const std::string& path) const {
    return "ws://127.0.0.1:" + std::to_string(port_) + path;
}

bool WebSocketRawServer::waitFinished(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!finished_.load() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return finished_.load();
}

void WebSocketRawServer::fail(const std::string& message) {
    std::lock_guard lock(mutex_);
    failures_.push_back(message);
}
std::vector<std::string> WebSocketRawServer::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}
void WebSocketRawServer::note(const std::string& text) {
    std::lock_guard lock(mutex_);
    notes_.push_back(text);
}
std::vector<std::string> WebSocketRawServer::notes() const {
    std::lock_guard lock(mutex_);
    return notes_;
}

Data serverFrame(std::uint8_t opcode, const Data& payload, bool fin,
                 std::optional<std::array<std::uint8_t, 4>> maskKey, std::uint8_t rsvBits) {
    Data frame{static_cast<std::uint8_t>((fin ? 0x80 : 0) | (rsvBits & 0x70) | opcode)};
    const std::uint8_t maskBit = maskKey ? 0x80 : 0;
    const std::size_t n = payload.size();
    if (n <= 125) {
        frame.push_back(maskBit | static_cast<std::uint8_t>(n));
    } else if (n < 65536) {
        frame.push_back(maskBit | 126);
        frame.push_back(static_cast<std::uint8_t>(n >> 8));
        frame.push_back(static_cast<std::uint8_t>(n));
    } else {
        frame.push_back(maskBit | 127);
        for (int i = 7; i >= 0; --i)
            frame.push_back(static_cast<std::uint8_t>(std::uint64_t{n} >> (8 * i)));
    }
    if (maskKey) frame.insert(frame.end(), maskKey->begin(), maskKey->end());
    for (std::size_t i = 0; i < n; ++i)
        frame.push_back(maskKey ? payload[i] ^ (*maskKey)[i % 4] : payload[i]);
    return frame;
}

Data serverFrame(std::uint8_t opcode, const std::string& payload, bool fin) {
    return serverFrame(opcode, Data(payload.begin(), payload.end()), fin);
}

Data closePayload(std::uint16_t code, const std::string& reason) {
    Data p{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
    p.insert(p.end(), reason.begin(), reason.end());
    return p;
}

Data bytes(std::initializer_list<int> values) {
    Data out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Data concat(std::initializer_list<Data> parts) {
    Data out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace varen::test
