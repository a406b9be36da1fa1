#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "varenstt/SRWebSocket.h"

namespace varen::test {

// Records every delegate call of a socket. Thread safety: callbacks may arrive on any thread
// (operation queues); the accessors take the same lock.
class WebSocketTestDelegate : public SRWebSocketDelegate {
  public:
    struct Closed {
        std::int64_t code;
        std::optional<std::string> reason;
        bool wasClean;
    };

    void webSocketDidReceiveMessage(SRWebSocket&, const SRMessage& message) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        threads_.push_back(std::this_thread::get_id());
    }
    void webSocketDidOpen(SRWebSocket& socket) override {
        std::lock_guard lock(mutex_);
        ++opened_;
        stateAtOpen_ = socket.readyState();
        protocolAtOpen_ = socket.protocol();
        threads_.push_back(std::this_thread::get_id());
    }
    void webSocketDidFailWithError(SRWebSocket&, const Error& error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(error);
        threads_.push_back(std::this_thread::get_id());
    }
    void webSocketDidCloseWithCodeReasonWasClean(SRWebSocket&, std::int64_t code,
                                                 const std::optional<std::string>& reason,
                                                 bool wasClean) override {
        std::lock_guard lock(mutex_);
        closes_.push_back({code, reason, wasClean});
        threads_.push_back(std::this_thread::get_id());
    }
    void webSocketDidReceivePong(SRWebSocket&, const Data& payload) override {
        std::lock_guard lock(mutex_);
        pongs_.push_back(payload);
    }
    bool webSocketShouldConvertTextFrameToString(SRWebSocket&) override {
        return convertText.load();
    }

    std::atomic<bool> convertText{true};

    int opened() const {
        std::lock_guard l(mutex_);
        return opened_;
    }
    std::vector<SRMessage> messages() const {
        std::lock_guard l(mutex_);
        return messages_;
    }
    std::vector<Error> errors() const {
        std::lock_guard l(mutex_);
        return errors_;
    }
    std::vector<Closed> closes() const {
        std::lock_guard l(mutex_);
        return closes_;
    }
    std::vector<Data> pongs() const {
        std::lock_guard l(mutex_);
        return pongs_;
    }
    std::vector<std::thread::id> threads() const {
        std::lock_guard l(mutex_);
        return threads_;
    }
    std::optional<SRReadyState> stateAtOpen() const {
        std::lock_guard l(mutex_);
        return stateAtOpen_;
    }
    std::optional<std::string> protocolAtOpen() const {
        std::lock_guard l(mutex_);
        return protocolAtOpen_;
    }
    // True once the connection ended one way or another.
    bool ended() const {
        std::lock_guard l(mutex_);
        return !errors_.empty() || !closes_.empty();
    }

  private:
    mutable std::mutex mutex_;
    int opened_ = 0;
    std::optional<SRReadyState> stateAtOpen_;
    std::optional<std::string> protocolAtOpen_;
    std::vector<SRMessage> messages_;
    std::vector<Error> errors_;
    std::vector<Closed> closes_;
    std::vector<Data> pongs_;
    std::vector<std::thread::id> threads_;
};

}  // namespace varen::test
