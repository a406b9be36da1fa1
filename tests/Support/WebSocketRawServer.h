#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "varenstt/Platform/Data.h"

namespace varen::test {

// One frame as the scripted server read it from the client (unmasked).
struct WebSocketRawFrame {
    bool fin = false;
    std::uint8_t opcode = 0;
    bool masked = false;
    Data payload;
    std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// The server's side of one accepted TCP connection, driven by a test script.
class WebSocketRawConnection {
  public:
    explicit WebSocketRawConnection(int fd) : fd_(fd) {}
    ~WebSocketRawConnection();

    // The client's request head through the blank line; empty when the client went away.
    std::string readRequestHead(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // A request field's value (after readRequestHead).
    std::optional<std::string> requestField(const std::string& name) const;
    // Answers 101 with the right Sec-WebSocket-Accept, plus any extra header lines.
    void acceptHandshake(const std::string& extraFields = "");

    // False once the client no longer takes bytes.
    bool write(const Data& bytes);
    bool write(const std::string& bytes);
    // One byte per TCP write, with a short pause so each arrives in its own read.
    void writeBytewise(const Data& bytes);

    std::optional<WebSocketRawFrame> readFrame(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads (and drops) bytes until the client closes its side; true if it did in time.
    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads frames until the client's close, answers it with 1000, then waits for the end.
    void answerCloseAndWaitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads up to `count` raw bytes (fewer at the end or on timeout).
    Data readBytes(std::size_t count, std::chrono::milliseconds timeout);
    void shrinkReceiveBuffer(int bytes);
    void shutdownWrite();
    void closeNow();

    const std::string& requestHead() const { return head_; }

  private:
    bool fill(std::chrono::milliseconds timeout);
    int fd_;
    Data pending_;
    std::string head_;
};

// A TCP server on 127.0.0.1 (ephemeral port) that accepts one connection and runs the script on
// its own thread. Failures of the script are recorded with `fail` and read by the test.
class WebSocketRawServer {
  public:
    using Script = std::function<void(WebSocketRawConnection&, WebSocketRawServer&)>;
    explicit WebSocketRawServer(Script script);
    ~WebSocketRawServer();

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/") const;
    bool finished() const { return finished_.load(); }
    bool waitFinished(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // For a script that expects the client to come back: its next connection, or none.
    std::unique_ptr<WebSocketRawConnection> acceptAnother(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));

    void fail(const std::string& message);
    std::vector<std::string> failures() const;
    // Records a value for the test to look at.
    void note(const std::string& text);
    std::vector<std::string> notes() const;

  private:
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> failures_;
    std::vector<std::string> notes_;
};

// A frame as a server sends it: unmasked unless a key is given.
Data serverFrame(std::uint8_t opcode, const Data& payload, bool fin = true,
                 std::optional<std::array<std::uint8_t, 4>> maskKey = std::nullopt,
                 std::uint8_t rsvBits = 0);
Data serverFrame(std::uint8_t opcode, const std::string& payload, bool fin = true);
Data closePayload(std::uint16_t code, const std::string& reason = "");
Data bytes(std::initializer_list<int> values);
Data concat(std::initializer_list<Data> parts);

}  // namespace varen::test
