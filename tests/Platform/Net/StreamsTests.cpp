#include "Platform/Net/Streams.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "Platform/Security/Security.h"
#include "Support/NetTestServer.h"
#include "Support/TestSupport.h"

namespace varen::platform {
namespace {

using namespace std::chrono_literals;
using test::NetTestConnection;
using test::NetTestServer;

enum class Side { In, Out };

struct Event {
    Side side;
    StreamEvent event;
    std::thread::id thread;
    bool operator==(const Event& other) const { return side == other.side && event == other.event; }
};

std::string hexDigest(const Data& data) {
    const auto digest = sha1(data.data(), data.size());
    return base64Encode(digest.data(), digest.size());
}

Data patternBytes(std::size_t size) {
    Data data(size);
    std::uint32_t state = 12345;
    for (auto& byte : data) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return data;
}

// A client of a stream pair that records every event and, unless told otherwise, reads what
// arrives and writes what it is given as space allows.
//
// Thread safety: events arrive on the pair's loop; the recorded state is guarded by a mutex so
// that a test thread may look at it.
class Client : public StreamDelegate, public std::enable_shared_from_this<Client> {
  public:
    static std::shared_ptr<Client> create(std::uint16_t port, std::shared_ptr<RunLoop> loop,
                                          std::optional<TLSSettings> tls = std::nullopt,
                                          const std::string& host = "127.0.0.1") {
        auto client = std::make_shared<Client>();
        client->pair = createStreamPairWithSocketToHost(host, port);
        client->pair.input->setDelegate(client);
        client->pair.output->setDelegate(client);
        client->pair.output->scheduleInRunLoop(loop);
        client->pair.input->scheduleInRunLoop(loop);
        if (tls) client->pair.output->setTLSSettings(*tls);
        return client;
    }

    void open() {
        pair.output->open();
        pair.input->open();
    }

    void streamHandleEvent(Stream& stream, StreamEvent event) override {
        const Side side = &stream == pair.input.get() ? Side::In : Side::Out;
        std::lock_guard lock(mutex);
        events.push_back({side, event, std::this_thread::get_id()});
        if (side == Side::In && event == StreamEvent::HasBytesAvailable && autoRead) readAll();
        if (side == Side::Out && event == StreamEvent::HasSpaceAvailable) pumpWriting();
    }

    // Caller holds the mutex.
    void readAll() {
        std::uint8_t buffer[4096];
        for (;;) {
            const long n = pair.input->read(buffer, std::min(sizeof buffer, readChunk));
            if (n <= 0) break;
            received.insert(received.end(), buffer, buffer + n);
            if (readChunk < sizeof buffer) break;  // a deliberately partial reader
        }
    }

    // Caller holds the mutex.
    void pumpWriting() {
        while (writeOffset < toWrite.size()) {
            const std::size_t want = std::min<std::size_t>(64 * 1024, toWrite.size() - writeOffset);
            const long n = pair.output->write(toWrite.data() + writeOffset, want);
            if (n < 0) return;
            writeOffset += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < want) {
                ++partialWrites;
                return;
            }
        }
    }

    void send(Data bytes) {
        std::lock_guard lock(mutex);
        toWrite.insert(toWrite.end(), bytes.begin(), bytes.end());
        pumpWriting();
    }

    bool saw(Side side, StreamEvent event) const {
        std::lock_guard lock(mutex);
        return std::find(events.begin(), events.end(), Event{side, event, {}}) != events.end();
    }
    std::size_t count(Side side, StreamEvent event) const {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(
            std::count(events.begin(), events.end(), Event{side, event, {}}));
    }
    std::size_t receivedSize() const {
        std::lock_guard lock(mutex);
        return received.size();
    }

    StreamPair pair;
    mutable std::mutex mutex;
    std::vector<Event> events;
    Data received;
    bool autoRead = true;
    std::size_t readChunk = 4096;
    Data toWrite;
    std::size_t writeOffset = 0;
    std::size_t partialWrites = 0;
};

bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 20s) {
    return test::runMainLoopUntil(predicate, timeout);
}

Data bytesOf(std::string_view text) {
    return Data(text.begin(), text.end());
}

// ---- Plain TCP -----------------------------------------------------------------------------

TEST(Streams, NothingConnectsBeforeOpen) {
    NetTestServer server(NetTestServer::echo());
    auto client = Client::create(server.port(), RunLoop::main());
    test::runMainLoopFor(100ms);
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_EQ(client->pair.input->streamStatus(), StreamStatus::NotOpen);
    EXPECT_EQ(client->pair.output->write(bytesOf("x").data(), 1), -1);

    client->open();
    EXPECT_EQ(client->pair.output->streamStatus(), StreamStatus::Opening);
    EXPECT_EQ(client->pair.output->write(bytesOf("x").data(), 1), 0);
    ASSERT_TRUE(runUntil([&] { return server.connectionCount() == 1; }));
}

TEST(Streams, OpensOutputThenInputThenOffersSpace) {
    NetTestServer server(NetTestServer::echo());
    auto client = Client::create(server.port(), RunLoop::main());
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::Out, StreamEvent::HasSpaceAvailable); }));
    std::lock_guard lock(client->mutex);
    ASSERT_GE(client->events.size(), 3u);
    EXPECT_EQ(client->events[0], (Event{Side::Out, StreamEvent::OpenCompleted, {}}));
    EXPECT_EQ(client->events[1], (Event{Side::In, StreamEvent::OpenCompleted, {}}));
    EXPECT_EQ(client->events[2], (Event{Side::Out, StreamEvent::HasSpaceAvailable, {}}));
    EXPECT_EQ(client->pair.input->streamStatus(), StreamStatus::Open);
    EXPECT_EQ(client->pair.output->streamStatus(), StreamStatus::Open);
    EXPECT_TRUE(client->pair.output->hasSpaceAvailable());
    EXPECT_FALSE(client->pair.input->hasBytesAvailable());
}

TEST(Streams, EchoesBytesBothWaysOverLocalhostNames) {
    NetTestServer server(NetTestServer::echo());
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        auto client = Client::create(server.port(), RunLoop::main(), std::nullopt, host);
        client->open();
        client->send(bytesOf("hello, streams"));
        ASSERT_TRUE(runUntil([&] { return client->receivedSize() == 14; })) << host;
        std::lock_guard lock(client->mutex);
        EXPECT_EQ(client->received, bytesOf("hello, streams"));
    }
}

TEST(Streams, ConnectsToAnIPv6Literal) {
    NetTestServer::Options options;
    options.address = "::1";
    NetTestServer server(NetTestServer::echo(), options);
    auto client = Client::create(server.port(), RunLoop::main(), std::nullopt, "::1");
    client->open();
    client->send(bytesOf("six"));
    ASSERT_TRUE(runUntil([&] { return client->receivedSize() == 3; }));
    EXPECT_EQ(client->pair.input->streamError(), std::nullopt);
}

TEST(Streams, DeliversEveryEventOnTheScheduledLoopsThread) {
    auto loop = std::make_shared<RunLoop>();
    std::thread network([loop] { loop->run(); });
    NetTestServer server([](NetTestConnection& connection) {
        connection.receive(5);
        connection.send("world");
        connection.close();
    });
    auto client = Client::create(server.port(), loop);
    client->open();
    client->send(bytesOf("hello"));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!client->saw(Side::In, StreamEvent::EndEncountered) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    const auto networkThread = network.get_id();
    loop->stop();
    network.join();
    std::lock_guard lock(client->mutex);
    EXPECT_EQ(client->received, bytesOf("world"));
    ASSERT_FALSE(client->events.empty());
    for (const auto& event : client->events) EXPECT_EQ(event.thread, networkThread);
}

TEST(Streams, SlowPeerMakesWritesPartialWithoutLosingOrRepeatingBytes) {
    constexpr std::size_t kSize = 8 << 20;
    NetTestServer::Options options;
    options.receiveBufferSize = 16 * 1024;
    NetTestServer server(
        [](NetTestConnection& connection) { connection.receiveSlowly(kSize, 64 * 1024, 2ms); },
        options);
    auto client = Client::create(server.port(), RunLoop::main());
    client->open();
    const Data payload = patternBytes(kSize);
    client->send(payload);
    ASSERT_TRUE(runUntil(
        [&] {
            const auto connections = server.connections();
            return !connections.empty() && connections[0]->receivedCount() >= kSize;
        },
        60s));
    EXPECT_GT(client->partialWrites, 0u);
    EXPECT_EQ(server.connections()[0]->receivedCount(), kSize);
    EXPECT_EQ(hexDigest(server.connections()[0]->received()), hexDigest(payload));
}

TEST(Streams, SlowReaderGetsEveryByteOfALargeStream) {
    constexpr std::size_t kSize = 8 << 20;
    const Data payload = patternBytes(kSize);
    NetTestServer server([&payload](NetTestConnection& connection) {
        connection.send(payload);
        connection.close();
    });
    auto client = Client::create(server.port(), RunLoop::main());
    client->readChunk = 1000;  // reads less than arrives: relies on being told again
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::In, StreamEvent::EndEncountered); }, 60s));
    std::lock_guard lock(client->mutex);
    EXPECT_EQ(client->received.size(), kSize);
    EXPECT_EQ(hexDigest(client->received), hexDigest(payload));
}

TEST(Streams, BytesAlwaysComeBeforeTheEnd) {
    NetTestServer server(NetTestServer::replyThenClose("last words"));
    auto client = Client::create(server.port(), RunLoop::main());
    client->autoRead = false;
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::In, StreamEvent::HasBytesAvailable); }));
    ASSERT_TRUE(server.waitForFinishedSessions(1));
    test::runMainLoopFor(200ms);
    EXPECT_FALSE(client->saw(Side::In, StreamEvent::EndEncountered));
    EXPECT_TRUE(client->pair.input->hasBytesAvailable());

    std::uint8_t buffer[64];
    ASSERT_EQ(client->pair.input->read(buffer, 4), 4);
    ASSERT_EQ(client->pair.input->read(buffer + 4, sizeof buffer - 4), 6);
    EXPECT_EQ(std::string(buffer, buffer + 10), "last words");
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::In, StreamEvent::EndEncountered); }));
    EXPECT_EQ(client->pair.input->streamStatus(), StreamStatus::AtEnd);
    EXPECT_EQ(client->pair.input->read(buffer, sizeof buffer), 0);
    EXPECT_EQ(client->count(Side::In, StreamEvent::EndEncountered), 1u);
}

TEST(Streams, ConnectionRefusedIsAnErrorOnBothStreams) {
    auto client = Client::create(test::unusedLocalPort(), RunLoop::main());
    client->open();
    ASSERT_TRUE(runUntil([&] {
        return client->saw(Side::In, StreamEvent::ErrorOccurred) &&
               client->saw(Side::Out, StreamEvent::ErrorOccurred);
    }));
    const Error expected =
        Error::withDescription(kStreamErrorDomain, ECONNREFUSED, "Connection refused");
    EXPECT_EQ(client->pair.input->streamError(), expected);
    EXPECT_EQ(client->pair.output->streamError(), expected);
    EXPECT_EQ(client->pair.output->streamStatus(), StreamStatus::Error);
    EXPECT_FALSE(client->saw(Side::Out, StreamEvent::OpenCompleted));
    std::uint8_t byte = 0;
    EXPECT_EQ(client->pair.output->write(&byte, 1), -1);
    EXPECT_EQ(client->pair.input->read(&byte, 1), -1);
}

TEST(Streams, UnresolvableHostIsAnError) {
    auto client = Client::create(80, RunLoop::main(), std::nullopt, "no-such-host.invalid");
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::Out, StreamEvent::ErrorOccurred); }));
    const auto error = client->pair.output->streamError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kStreamErrorDomain);
    // Without a name server the lookup fails temporarily instead.
    EXPECT_TRUE(error->code == EAI_NONAME || error->code == EAI_AGAIN) << error->code;
    EXPECT_EQ(error->localizedDescription(), gai_strerror(static_cast<int>(error->code)));
}

TEST(Streams, PeerResetIsAnError) {
    NetTestServer server([](NetTestConnection& connection) {
        connection.receive(4);
        connection.reset();
    });
    auto client = Client::create(server.port(), RunLoop::main());
    client->open();
    client->send(bytesOf("ping"));
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::In, StreamEvent::ErrorOccurred); }));
    EXPECT_EQ(client->pair.input->streamError(),
              Error::withDescription(kStreamErrorDomain, ECONNRESET, "Connection reset by peer"));
    EXPECT_FALSE(client->saw(Side::In, StreamEvent::EndEncountered));
}

TEST(Streams, ClosingSendsWhatWriteAccepted) {
    const Data payload = patternBytes(768 * 1024);
    NetTestServer server(NetTestServer::recordUntilEnd());
    auto client = Client::create(server.port(), RunLoop::main());
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::Out, StreamEvent::OpenCompleted); }));
    ASSERT_EQ(client->pair.output->write(payload.data(), payload.size()),
              static_cast<long>(payload.size()));
    client->pair.output->close();
    client->pair.input->close();
    EXPECT_EQ(client->pair.output->write(payload.data(), 1), -1);
    EXPECT_EQ(client->pair.output->streamStatus(), StreamStatus::Closed);
    ASSERT_TRUE(runUntil([&] { return server.finishedSessionCount() == 1; }));
    EXPECT_EQ(hexDigest(server.connections()[0]->received()), hexDigest(payload));
}

TEST(Streams, ClosingWithUnreadInputStillDeliversWhatWasWritten) {
    // Closing a socket with unread input makes the system reset the connection, which can
    // discard what the peer has not read yet; the pair ends its side and waits instead.
    const Data payload = patternBytes(768 * 1024);
    const std::string flood(4 << 20, 'z');
    NetTestServer server([&flood](NetTestConnection& connection) {
        std::thread sender([&] { connection.send(flood); });
        connection.receiveUntilEnd();
        sender.join();
    });
    auto client = Client::create(server.port(), RunLoop::main());
    client->autoRead = false;
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::In, StreamEvent::HasBytesAvailable); }));
    ASSERT_EQ(client->pair.output->write(payload.data(), payload.size()),
              static_cast<long>(payload.size()));
    client->pair.input->close();
    client->pair.output->close();
    ASSERT_TRUE(runUntil([&] { return server.finishedSessionCount() == 1; }));
    const Data received = server.connections()[0]->received();
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_EQ(hexDigest(received), hexDigest(payload));
}

TEST(Streams, CloseStopsEventsAndIsRepeatable) {
    NetTestServer server([](NetTestConnection& connection) {
        for (int i = 0; i < 200 && connection.send(std::string(1000, 'x')); ++i) {
            std::this_thread::sleep_for(1ms);
        }
    });
    auto client = Client::create(server.port(), RunLoop::main());
    client->open();
    ASSERT_TRUE(runUntil([&] { return client->receivedSize() > 0; }));
    client->pair.input->close();
    client->pair.input->close();
    const std::size_t before = client->count(Side::In, StreamEvent::HasBytesAvailable);
    test::runMainLoopFor(100ms);
    EXPECT_EQ(client->count(Side::In, StreamEvent::HasBytesAvailable), before);
    EXPECT_EQ(client->pair.input->streamStatus(), StreamStatus::Closed);
    // The output stream lives on until it is closed too.
    client->send(bytesOf("still here"));
    EXPECT_EQ(client->pair.output->streamStatus(), StreamStatus::Open);
    client->pair.output->close();
}

TEST(Streams, ClosingFromAnotherThreadWhileEventsFlowIsSafe) {
    auto loop = std::make_shared<RunLoop>();
    std::thread network([loop] { loop->run(); });
    NetTestServer server([](NetTestConnection& connection) {
        while (connection.send(std::string(4096, 'y'))) {
        }
    });
    for (int round = 0; round < 5; ++round) {
        auto client = Client::create(server.port(), loop);
        client->open();
        while (client->receivedSize() < 100000) std::this_thread::sleep_for(1ms);
        std::thread closer([&] { client->pair.output->close(); });
        client->pair.input->close();
        closer.join();
        const std::size_t before = client->count(Side::In, StreamEvent::HasBytesAvailable);
        // The loop runs in order: once two markers have run, nothing queued before the close
        // (nor what that queued in turn) is left to deliver.
        for (int marker = 0; marker < 2; ++marker) {
            std::promise<void> reached;
            loop->perform([&reached] { reached.set_value(); });
            ASSERT_EQ(reached.get_future().wait_for(20s), std::future_status::ready);
        }
        // At most the one delivery already under way when close was called.
        EXPECT_LE(client->count(Side::In, StreamEvent::HasBytesAvailable), before + 1);
    }
    loop->stop();
    network.join();
}

TEST(Streams, DroppingThePairWithOperationsPendingClosesTheConnection) {
    NetTestServer server(NetTestServer::recordUntilEnd());
    {
        auto client = Client::create(server.port(), RunLoop::main());
        client->open();
        ASSERT_TRUE(runUntil([&] { return client->saw(Side::Out, StreamEvent::OpenCompleted); }));
        client->send(bytesOf("bye"));
    }
    // The read in flight still holds the connection; it goes once the loop runs the aborts.
    ASSERT_TRUE(runUntil([&] { return server.finishedSessionCount() == 1; }));
    EXPECT_EQ(server.connections()[0]->received(), bytesOf("bye"));

    // Dropped before the connection even completed, and the loop never runs again.
    auto late = Client::create(server.port(), RunLoop::main());
    late->open();
    late.reset();
}

// ---- TLS -----------------------------------------------------------------------------------

class TLSStreams : public ::testing::Test {
  protected:
    void SetUp() override {
        localhost = test::makeSelfSignedIdentity(folder.path(), "localhost", "localhost",
                                                 "DNS:localhost,IP:127.0.0.1");
    }

    std::shared_ptr<Client> connect(const test::NetTestIdentity& identity, TLSSettings settings,
                                    const std::string& host) {
        NetTestServer::Options options;
        options.tls = identity;
        server = std::make_unique<NetTestServer>(NetTestServer::echo(), options);
        auto client = Client::create(server->port(), RunLoop::main(), settings, host);
        client->open();
        return client;
    }

    bool runUntilOpenOrError(const std::shared_ptr<Client>& client) {
        return runUntil([&] {
            return client->saw(Side::Out, StreamEvent::HasSpaceAvailable) ||
                   client->saw(Side::Out, StreamEvent::ErrorOccurred);
        });
    }

    void expectEcho(const std::shared_ptr<Client>& client) {
        client->send(bytesOf("over tls"));
        ASSERT_TRUE(runUntil([&] { return client->receivedSize() == 8; }));
        std::lock_guard lock(client->mutex);
        EXPECT_EQ(client->received, bytesOf("over tls"));
    }

    test::TemporaryDirectory folder;
    test::NetTestIdentity localhost;
    std::unique_ptr<NetTestServer> server;
};

TEST_F(TLSStreams, UntrustedCertificateIsRefusedWithValidationOn) {
    auto client = connect(localhost, TLSSettings{true, "localhost", {}}, "localhost");
    ASSERT_TRUE(runUntilOpenOrError(client));
    EXPECT_FALSE(client->saw(Side::Out, StreamEvent::OpenCompleted));
    EXPECT_TRUE(client->saw(Side::Out, StreamEvent::ErrorOccurred));
    ASSERT_TRUE(runUntil([&] { return client->saw(Side::In, StreamEvent::ErrorOccurred); }));
    EXPECT_EQ(client->pair.output->streamError(),
              Error::withDescription(kStreamTLSErrorDomain, 18,
                                     "certificate verify failed: self-signed certificate"));
    EXPECT_TRUE(client->pair.output->peerCertificateChain().empty());
}

TEST_F(TLSStreams, CertificateAddedAsTrustedIsAccepted) {
    auto client =
        connect(localhost, TLSSettings{true, "localhost", {localhost.certificatePEM}}, "localhost");
    ASSERT_TRUE(runUntilOpenOrError(client));
    ASSERT_EQ(client->pair.output->streamError(), std::nullopt);
    expectEcho(client);
    const auto chain = client->pair.output->peerCertificateChain();
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0], localhost.certificateDER);
    EXPECT_EQ(client->pair.input->peerCertificateChain(), chain);
    EXPECT_EQ(server->lastServerName(), "localhost");
}

TEST_F(TLSStreams, IPLiteralIsCheckedAgainstTheCertificatesAddresses) {
    auto client =
        connect(localhost, TLSSettings{true, "127.0.0.1", {localhost.certificatePEM}}, "127.0.0.1");
    ASSERT_TRUE(runUntilOpenOrError(client));
    ASSERT_EQ(client->pair.output->streamError(), std::nullopt);
    expectEcho(client);
    EXPECT_EQ(server->lastServerName(), "");  // no server name is sent for an address

    const auto namesOnly =
        test::makeSelfSignedIdentity(folder.path(), "names", "localhost", "DNS:localhost");
    auto refused =
        connect(namesOnly, TLSSettings{true, "127.0.0.1", {namesOnly.certificatePEM}}, "127.0.0.1");
    ASSERT_TRUE(runUntilOpenOrError(refused));
    EXPECT_EQ(refused->pair.output->streamError(),
              Error::withDescription(kStreamTLSErrorDomain, 64,
                                     "certificate verify failed: IP address mismatch"));
}

TEST_F(TLSStreams, CertificateForAnotherNameIsRefused) {
    const auto other =
        test::makeSelfSignedIdentity(folder.path(), "other", "other.example", "DNS:other.example");
    auto client =
        connect(other, TLSSettings{true, "localhost", {other.certificatePEM}}, "localhost");
    ASSERT_TRUE(runUntilOpenOrError(client));
    EXPECT_EQ(client->pair.output->streamError(),
              Error::withDescription(kStreamTLSErrorDomain, 62,
                                     "certificate verify failed: hostname mismatch"));
}

TEST_F(TLSStreams, AnythingIsAcceptedWithValidationOff) {
    const auto other =
        test::makeSelfSignedIdentity(folder.path(), "other", "other.example", "DNS:other.example");
    auto client = connect(other, TLSSettings{false, "localhost", {}}, "localhost");
    ASSERT_TRUE(runUntilOpenOrError(client));
    ASSERT_EQ(client->pair.output->streamError(), std::nullopt);
    expectEcho(client);
    const auto chain = client->pair.output->peerCertificateChain();
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(chain[0], other.certificateDER);
}

TEST_F(TLSStreams, InvalidExtraTrustedCertificateIsAnError) {
    auto client =
        connect(localhost, TLSSettings{true, "localhost", {"not a certificate"}}, "localhost");
    ASSERT_TRUE(runUntilOpenOrError(client));
    const auto error = client->pair.output->streamError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kStreamTLSErrorDomain);
    EXPECT_EQ(error->localizedDescription(),
              "invalid trusted certificate: no start line (PEM routines)");
    EXPECT_EQ(server->connectionCount(), 0u);
}

}  // namespace
}  // namespace varen::platform
