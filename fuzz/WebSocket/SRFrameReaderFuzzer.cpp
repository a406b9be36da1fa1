// Bytes a server sends after a successful handshake, fed through the read consumers and the
// frame loop of a real socket (its streams are never opened). Nothing the peer sends may crash,
// hang, leak or make the client allocate what a frame merely announces.

#include <cstddef>
#include <cstdint>

#include "WebSocket/SRWebSocketImpl.h"
#include "WebSocket/SRWebSocketTestAccess.h"
#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/SRWebSocket.h"

namespace varen {

namespace {

class CountingDelegate : public SRWebSocketDelegate {
  public:
    void webSocketDidReceiveMessage(SRWebSocket&, const SRMessage&) override {}
};

void drain(SRWebSocketTestAccess::Impl& impl, platform::DispatchQueue& delegateQueue) {
    // Each message hops through the queue once; stop when a round made no progress.
    std::size_t lastOffset = static_cast<std::size_t>(-1);
    std::size_t lastSize = 0;
    for (int rounds = 0; rounds < 100000; ++rounds) {
        std::size_t offset = 0, size = 0;
        impl.workQueue->sync([&] {
            offset = impl._readBufferOffset;
            size = impl._readBuffer.size();
        });
        delegateQueue.sync([] {});
        if (offset == lastOffset && size == lastSize && rounds > 4) break;
        lastOffset = offset;
        lastSize = size;
    }
}

}  // namespace
}  // namespace varen

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace varen;
    static auto delegate = std::make_shared<CountingDelegate>();
    static auto delegateQueue = platform::DispatchQueue::create("fuzz-delegate");
    auto socket = SRWebSocket::initWithURL(*URL::URLWithString("ws://127.0.0.1:9/"));
    socket->setDelegate(delegate);
    socket->setDelegateDispatchQueue(delegateQueue);
    socket->setMaximumMessageSize(1 << 20);
    auto& impl = SRWebSocketTestAccess::impl(*socket);
    // The first byte picks how the rest arrives: whole, or in pieces of that size.
    const std::size_t piece = size == 0 ? 1 : (data[0] % 64) + 1;
    impl.workQueue->sync([&] {
        impl.setReadyState(SR_OPEN);
        impl._readFrameNew();
    });
    for (std::size_t at = size == 0 ? 0 : 1; at < size; at += piece) {
        const std::size_t n = std::min(piece, size - at);
        impl.workQueue->sync([&] {
            impl._readBuffer.insert(impl._readBuffer.end(), data + at, data + at + n);
            impl._pumpScanner();
        });
    }
    drain(impl, *delegateQueue);
    return 0;
}
