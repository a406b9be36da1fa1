#include "Support/NetTestServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include "Support/TestSupport.h"

namespace varen::test {

namespace {

using asio::ip::tcp;

std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

}  // namespace

NetTestIdentity makeSelfSignedIdentity(const std::filesystem::path& folder, const std::string& name,
                                       const std::string& commonName,
                                       const std::string& subjectAltNames) {
    NetTestIdentity identity;
    identity.certificatePath = folder / (name + ".pem");
    identity.privateKeyPath = folder / (name + ".key");
    const auto derPath = folder / (name + ".der");
    std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + commonName +
        "' -keyout " + quoted(identity.privateKeyPath) + " -out " +
        quoted(identity.certificatePath);
    if (!subjectAltNames.empty()) command += " -addext 'subjectAltName=" + subjectAltNames + "'";
    if (runCommand(command + " 2>/dev/null") != 0 ||
        runCommand("openssl x509 -in " + quoted(identity.certificatePath) + " -outform DER -out " +
                   quoted(derPath)) != 0) {
        throw std::runtime_error("openssl could not make a certificate");
    }
    identity.certificatePEM = readTextFile(identity.certificatePath);
    identity.certificateDER = readBinaryFile(derPath);
    return identity;
}

// ---- Connection ----------------------------------------------------------------------------

struct NetTestConnection::Impl {
    std::unique_ptr<tcp::socket> socket;  // plain connections
    std::unique_ptr<asio::ssl::stream<tcp::socket>> tls;
    mutable std::mutex mutex;
    Data received;
    bool ended = false;
    std::size_t scanned = 0;  // where the next receiveUntil starts looking
    // The descriptor, for the server to unblock a session; guarded so that it is never used
    // once the session closed it (the number may then belong to another socket).
    std::mutex descriptorMutex;
    int descriptor = -1;

    void closeDescriptor(bool withReset) {
        std::lock_guard lock(descriptorMutex);
        asio::error_code ignored;
        if (withReset) {
            lowest().set_option(asio::socket_base::linger(true, 0), ignored);
        } else {
            lowest().shutdown(tcp::socket::shutdown_both, ignored);
        }
        lowest().close(ignored);
        descriptor = -1;
    }

    void unblock() {
        std::lock_guard lock(descriptorMutex);
        if (descriptor >= 0) ::shutdown(descriptor, SHUT_RDWR);
    }

    tcp::socket& lowest() { return tls ? tls->next_layer() : *socket; }

    // One blocking read; false at the end or on an error.
    bool readSome(std::size_t maxLength) {
        std::array<std::uint8_t, 64 * 1024> buffer{};
        asio::error_code ec;
        const std::size_t limit = std::min(maxLength, buffer.size());
        const std::size_t n = tls ? tls->read_some(asio::buffer(buffer.data(), limit), ec)
                                  : socket->read_some(asio::buffer(buffer.data(), limit), ec);
        std::lock_guard lock(mutex);
        received.insert(received.end(), buffer.begin(), buffer.begin() + static_cast<long>(n));
        if (ec) ended = true;
        return !ec;
    }

    bool writeAll(const std::uint8_t* bytes, std::size_t length) {
        asio::error_code ec;
        if (tls) {
            asio::write(*tls, asio::buffer(bytes, length), ec);
        } else {
            asio::write(*socket, asio::buffer(bytes, length), ec);
        }
        return !ec;
    }

    std::size_t count() const {
        std::lock_guard lock(mutex);
        return received.size();
    }
};

NetTestConnection::NetTestConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NetTestConnection::~NetTestConnection() = default;

bool NetTestConnection::send(std::string_view bytes) {
    return impl_->writeAll(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool NetTestConnection::send(const Data& bytes) {
    return impl_->writeAll(bytes.data(), bytes.size());
}

bool NetTestConnection::sendInPieces(std::string_view bytes, std::size_t chunk) {
    for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
        if (!send(bytes.substr(offset, chunk))) return false;
    }
    return true;
}

Data NetTestConnection::receiveSome() {
    const std::size_t start = impl_->count();
    impl_->readSome(64 * 1024);
    std::lock_guard lock(impl_->mutex);
    return Data(impl_->received.begin() + static_cast<long>(start), impl_->received.end());
}

Data NetTestConnection::receive(std::size_t count) {
    const std::size_t start = impl_->count();
    while (impl_->count() < start + count) {
        if (!impl_->readSome(start + count - impl_->count())) break;
    }
    std::lock_guard lock(impl_->mutex);
    const std::size_t end = std::min(impl_->received.size(), start + count);
    return Data(impl_->received.begin() + static_cast<long>(start),
                impl_->received.begin() + static_cast<long>(end));
}

std::optional<Data> NetTestConnection::receiveUntil(std::string_view pattern) {
    for (;;) {
        {
            std::lock_guard lock(impl_->mutex);
            const auto& bytes = impl_->received;
            const auto found = std::search(bytes.begin() + static_cast<long>(impl_->scanned),
                                           bytes.end(), pattern.begin(), pattern.end());
            if (found != bytes.end()) {
                const auto end = found + static_cast<long>(pattern.size());
                Data result(bytes.begin() + static_cast<long>(impl_->scanned), end);
                impl_->scanned = static_cast<std::size_t>(end - bytes.begin());
                return result;
            }
        }
        if (!impl_->readSome(64 * 1024)) return std::nullopt;
    }
}

Data NetTestConnection::receiveUntilEnd() {
    const std::size_t start = impl_->count();
    while (impl_->readSome(64 * 1024)) {
    }
    std::lock_guard lock(impl_->mutex);
    return Data(impl_->received.begin() + static_cast<long>(start), impl_->received.end());
}

Data NetTestConnection::receiveSlowly(std::size_t total, std::size_t chunk,
                                      std::chrono::milliseconds pause) {
    const std::size_t start = impl_->count();
    while (impl_->count() < start + total) {
        const std::size_t pieceEnd = std::min(impl_->count() + chunk, start + total);
        while (impl_->count() < pieceEnd) {
            if (!impl_->readSome(pieceEnd - impl_->count())) goto done;
        }
        std::this_thread::sleep_for(pause);
    }
done:
    std::lock_guard lock(impl_->mutex);
    return Data(impl_->received.begin() + static_cast<long>(start), impl_->received.end());
}

void NetTestConnection::shutdownWrite() {
    asio::error_code ignored;
    impl_->lowest().shutdown(tcp::socket::shutdown_send, ignored);
}

void NetTestConnection::close() {
    impl_->closeDescriptor(false);
}

void NetTestConnection::reset() {
    impl_->closeDescriptor(true);
}

Data NetTestConnection::received() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

std::size_t NetTestConnection::receivedCount() const {
    return impl_->count();
}

bool NetTestConnection::peerEnded() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ended;
}

// ---- Server --------------------------------------------------------------------------------

struct NetTestServer::State {
    Session session;
    Options options;
    asio::io_context context;  // never run: the server's sockets are used synchronously
    std::unique_ptr<asio::ssl::context> sslContext;
    tcp::acceptor acceptor{context};
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<NetTestConnection>> connections;
    std::vector<std::thread> sessions;
    std::size_t finished = 0;
    std::optional<std::string> handshakeError;
    std::string serverName;
};

NetTestServer::NetTestServer(Session session, Options options) : state_(std::make_shared<State>()) {
    state_->session = std::move(session);
    state_->options = std::move(options);
    if (state_->options.tls) {
        state_->sslContext = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        state_->sslContext->use_certificate_chain_file(
            state_->options.tls->certificatePath.string());
        state_->sslContext->use_private_key_file(state_->options.tls->privateKeyPath.string(),
                                                 asio::ssl::context::pem);
    }
    const tcp::endpoint endpoint(asio::ip::make_address(state_->options.address), 0);
    state_->acceptor.open(endpoint.protocol());
    state_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    state_->acceptor.bind(endpoint);
    state_->acceptor.listen();
    port_ = state_->acceptor.local_endpoint().port();
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

NetTestServer::~NetTestServer() {
    state_->stopping = true;
    // Wakes the blocked accept; asio offers no thread-safe way to cancel a synchronous one.
    ::shutdown(state_->acceptor.native_handle(), SHUT_RDWR);
    acceptThread_.join();
    std::vector<std::thread> sessions;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& connection : state_->connections) connection->impl_->unblock();
        sessions.swap(state_->sessions);
    }
    for (auto& thread : sessions) thread.join();
}

void NetTestServer::acceptLoop() {
    for (;;) {
        auto impl = std::make_unique<NetTestConnection::Impl>();
        if (state_->sslContext) {
            impl->tls = std::make_unique<asio::ssl::stream<tcp::socket>>(state_->context,
                                                                         *state_->sslContext);
        } else {
            impl->socket = std::make_unique<tcp::socket>(state_->context);
        }
        asio::error_code ec;
        state_->acceptor.accept(impl->lowest(), ec);
        if (ec || state_->stopping) return;
        impl->descriptor = impl->lowest().native_handle();
        if (state_->options.receiveBufferSize) {
            impl->lowest().set_option(
                asio::socket_base::receive_buffer_size(*state_->options.receiveBufferSize), ec);
        }
        auto connection = std::make_shared<NetTestConnection>(std::move(impl));
        std::lock_guard lock(state_->mutex);
        state_->connections.push_back(connection);
        state_->sessions.emplace_back([state = state_, connection] {
            bool ready = true;
            if (connection->impl_->tls) {
                asio::error_code handshake;
                connection->impl_->tls->handshake(asio::ssl::stream_base::server, handshake);
                const char* name = SSL_get_servername(connection->impl_->tls->native_handle(),
                                                      TLSEXT_NAMETYPE_host_name);
                std::lock_guard lock(state->mutex);
                state->serverName = name != nullptr ? name : "";
                if (handshake) {
                    state->handshakeError = handshake.message();
                    ready = false;
                }
            }
            if (ready) state->session(*connection);
            std::lock_guard lock(state->mutex);
            ++state->finished;
            state->changed.notify_all();
        });
        state_->changed.notify_all();
    }
}

std::size_t NetTestServer::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.size();
}

std::size_t NetTestServer::finishedSessionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

bool NetTestServer::waitForFinishedSessions(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->finished >= count; });
}

std::vector<std::shared_ptr<NetTestConnection>> NetTestServer::connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

std::optional<std::string> NetTestServer::lastHandshakeError() const {
    std::lock_guard lock(state_->mutex);
    return state_->handshakeError;
}

std::string NetTestServer::lastServerName() const {
    std::lock_guard lock(state_->mutex);
    return state_->serverName;
}

NetTestServer::Session NetTestServer::echo() {
    return [](NetTestConnection& connection) {
        for (;;) {
            Data some = connection.receiveSome();
            if (some.empty()) return;
            if (!connection.send(some)) return;
        }
    };
}

NetTestServer::Session NetTestServer::replyThenClose(std::string bytes) {
    return [bytes](NetTestConnection& connection) {
        connection.send(bytes);
        connection.close();
    };
}

NetTestServer::Session NetTestServer::recordUntilEnd() {
    return [](NetTestConnection& connection) { connection.receiveUntilEnd(); };
}

std::uint16_t unusedLocalPort() {
    asio::io_context context;
    tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

}  // namespace varen::test
