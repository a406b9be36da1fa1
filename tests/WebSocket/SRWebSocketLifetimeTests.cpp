#include "varenstt/SRWebSocket.h"

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "Support/WebSocketClientHarness.h"
#include "Support/WebSocketPythonPeer.h"
#include "Support/WebSocketRawServer.h"
#include "WebSocket/SRRunLoopThread.h"
#include "WebSocket/SRWebSocketTestAccess.h"
#include "varenstt/Platform/OperationQueue.h"

namespace varen {
namespace {

using test::WebSocketPythonPeer;

TEST(SRWebSocketLifetime, DroppedSocketDeliversEverythingThenGoesAway) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    auto delegate = std::make_shared<test::WebSocketTestDelegate>();
    std::weak_ptr<SRWebSocket> weak;
    {
        auto request = std::make_shared<SRURLRequest>(URL::URLWithString(peer.url("/close")));
        request->setTimeoutInterval(0);
        auto socket = SRWebSocket::initWithURLRequest(request);
        socket->setDelegate(delegate);
        socket->open();
        weak = socket;
    }
    ASSERT_TRUE(test::runMainLoopUntil([&] { return delegate->ended(); }));
    EXPECT_EQ(delegate->opened(), 1);
    EXPECT_EQ(delegate->messages().size(), 1u);
    ASSERT_EQ(delegate->closes().size(), 1u);
    EXPECT_EQ(delegate->closes()[0].code, 4001);
    EXPECT_TRUE(test::runMainLoopUntil([&] { return weak.expired(); }));
}

TEST(SRWebSocketDelivery, CallbacksRunOnTheOperationQueueWhenSet) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    test::WebSocketClient client(peer.url("/close"));
    auto operations = platform::OperationQueue::create();
    operations->setMaxConcurrentOperationCount(1);
    client.socket->setDelegateOperationQueue(operations);
    EXPECT_EQ(client.socket->delegateOperationQueue(), operations);
    ASSERT_TRUE(client.socket->delegateDispatchQueue());  // set too, yet not used
    client.socket->open();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return client.delegate->ended(); }));
    const auto threads = client.delegate->threads();
    ASSERT_GE(threads.size(), 3u);
    for (const auto& id : threads) EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_EQ(client.delegate->closes().size(), 1u);
    operations->waitUntilAllOperationsAreFinished();
}

TEST(SRWebSocketDelivery, DispatchQueueCanBeReplaced) {
    WebSocketPythonPeer peer(WEBSOCKET_PEER_SCRIPT);
    ASSERT_TRUE(peer.started());
    test::WebSocketClient client(peer.url("/close"));
    auto queue = platform::DispatchQueue::create("delegate");
    client.socket->setDelegateDispatchQueue(queue);
    client.socket->open();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return client.delegate->ended(); }));
    for (const auto& id : client.delegate->threads()) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(SRRunLoopThread, SocketsShareOneNamedNetworkThread) {
    auto first = SR_networkRunLoop();
    EXPECT_EQ(first, SR_networkRunLoop());
    EXPECT_EQ(SR_networkThread().name(), "com.varen.stt.NetworkThread");
    std::atomic<bool> ran{false};
    std::thread::id where;
    first->perform([&] {
        where = std::this_thread::get_id();
        ran = true;
    });
    ASSERT_TRUE(test::runMainLoopUntil([&] { return ran.load(); }));
    EXPECT_EQ(where, SR_networkThread().threadId());
}

// Frames are built where the socket does its I/O: the work queue runs on the network thread,
// or on the loop a host scheduled the socket in before opening it.
std::thread::id threadOfWorkQueue(SRWebSocket& socket) {
    std::atomic<bool> ran{false};
    std::thread::id where;
    SRWebSocketTestAccess::impl(socket).workQueue->async([&] {
        where = std::this_thread::get_id();
        ran = true;
    });
    EXPECT_TRUE(test::runMainLoopUntil([&] { return ran.load(); }));
    return where;
}

TEST(SRRunLoopThread, ASocketsWorkRunsWhereItsStreamsAreScheduled) {
    auto byDefault = SRWebSocket::initWithURL(*URL::URLWithString("ws://127.0.0.1:9/"));
    EXPECT_EQ(threadOfWorkQueue(*byDefault), SR_networkThread().threadId());
    auto onMain = SRWebSocket::initWithURL(*URL::URLWithString("ws://127.0.0.1:9/"));
    onMain->scheduleInRunLoopForMode(platform::RunLoop::main(), SRDefaultRunLoopMode);
    EXPECT_EQ(threadOfWorkQueue(*onMain), std::this_thread::get_id());
}

TEST(SRWebSocketLifetime, CallerRunLoopReceivesStreamEvents) {
    test::WebSocketRawServer server([](test::WebSocketRawConnection& c, test::WebSocketRawServer&) {
        c.readRequestHead();
        c.acceptHandshake();
        c.write(test::serverFrame(1, "on main"));
        c.write(test::serverFrame(8, test::closePayload(1000)));
        c.readFrame();
        c.waitForEnd();
    });
    test::WebSocketClient client(server.url());
    client.socket->scheduleInRunLoopForMode(platform::RunLoop::main(), SRDefaultRunLoopMode);
    ASSERT_TRUE(client.openAndWait());
    ASSERT_TRUE(client.waitEnded());
    EXPECT_EQ(client.delegate->messages().size(), 1u);
    EXPECT_EQ(client.delegate->closes().size(), 1u);
    // The streams' own shutdown also runs on this loop.
    EXPECT_TRUE(test::runMainLoopUntil([&] { return server.finished(); }));
}

}  // namespace
}  // namespace varen
