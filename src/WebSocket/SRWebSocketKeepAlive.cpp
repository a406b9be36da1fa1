// Keep-alive: pings while the peer is silent, and a failure when it stays silent after one.
// Middleboxes cut idle connections, and a dead peer is otherwise noticed only by TCP, minutes
// later.

#include "WebSocket/SRWebSocketImpl.h"

namespace varen {

using Clock = std::chrono::steady_clock;

void SRWebSocket::Impl::startKeepAlive() {
    assertOnWorkQueue();
    const std::chrono::milliseconds interval(pingIntervalMs.load());
    if (interval.count() <= 0) return;
    lastReceivedAt = Clock::now();
    armKeepAliveCheck(interval);
}

void SRWebSocket::Impl::armKeepAliveCheck(Clock::duration delay) {
    // Held weakly: an ended socket lets go of itself, and its pending check then does nothing.
    workQueue->after(delay, [weak = owner.weak_from_this()] {
        if (const auto socket = weak.lock()) socket->impl_->checkKeepAlive();
    });
}

// Any bytes received count as an answer: a peer busy sending needs no ping, and a pong stuck
// behind a long message is still proof of life.
void SRWebSocket::Impl::checkKeepAlive() {
    assertOnWorkQueue();
    if (readyState.load() != SR_OPEN || failed || sentClose) return;
    const std::chrono::milliseconds interval(pingIntervalMs.load());
    const auto now = Clock::now();
    if (pingSentAt && lastReceivedAt >= *pingSentAt) pingSentAt.reset();
    if (pingSentAt) {
        if (now - *pingSentAt >= interval) {
            _failWithError(Error::withDescription(SRWebSocketErrorDomain, SRWebSocketErrorNoPong,
                                                  "No pong from the server"));
            return;
        }
        armKeepAliveCheck(*pingSentAt + interval - now);
        return;
    }
    const auto quietUntil = lastReceivedAt + interval;
    if (now < quietUntil) {
        armKeepAliveCheck(quietUntil - now);
        return;
    }
    pingSentAt = now;
    sendPing(Data{});
    armKeepAliveCheck(interval);
}

}  // namespace varen
