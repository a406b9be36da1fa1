#include "Platform/Net/Streams.h"

#include "Platform/Net/SocketConnection.h"

namespace varen::platform {

namespace {

using detail::SocketConnection;
using detail::StreamSide;

// The members every stream of a pair forwards to the shared connection.
template <class Base, StreamSide kSide>
class SocketStream : public Base {
  public:
    explicit SocketStream(std::shared_ptr<SocketConnection> connection)
        : connection_(std::move(connection)) {}
    // Dropping a stream closes it; the connection goes once both are closed.
    ~SocketStream() override { connection_->close(kSide); }

    void open() override { connection_->open(kSide); }
    void close() override { connection_->close(kSide); }
    void setDelegate(std::weak_ptr<StreamDelegate> delegate) override {
        connection_->setDelegate(kSide, std::move(delegate));
    }
    void scheduleInRunLoop(std::shared_ptr<RunLoop> loop) override {
        connection_->schedule(kSide, std::move(loop));
    }
    void removeFromRunLoop(const std::shared_ptr<RunLoop>& loop) override {
        connection_->unschedule(kSide, loop);
    }
    StreamStatus streamStatus() const override { return connection_->status(kSide); }
    std::optional<Error> streamError() const override { return connection_->error(); }
    void setTLSSettings(const TLSSettings& settings) override {
        connection_->setTLSSettings(settings);
    }
    void setProxySettings(const ProxySettings& settings) override {
        connection_->setProxySettings(settings);
    }
    std::vector<Data> peerCertificateChain() const override {
        return connection_->peerCertificateChain();
    }

  protected:
    const std::shared_ptr<SocketConnection> connection_;
};

class SocketInputStream final : public SocketStream<InputStream, StreamSide::Input> {
  public:
    using SocketStream::SocketStream;
    bool hasBytesAvailable() const override { return connection_->hasBytesAvailable(); }
    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        return connection_->read(buffer, maxLength);
    }
};

class SocketOutputStream final : public SocketStream<OutputStream, StreamSide::Output> {
  public:
    using SocketStream::SocketStream;
    bool hasSpaceAvailable() const override { return connection_->hasSpaceAvailable(); }
    long write(const std::uint8_t* bytes, std::size_t length) override {
        return connection_->write(bytes, length);
    }
    bool hasBytesWaitingToBeSent() const override { return connection_->hasBytesWaitingToBeSent(); }
};

}  // namespace

StreamPair createStreamPairWithSocketToHost(const std::string& host, std::uint32_t port) {
    auto connection = std::make_shared<SocketConnection>(host, port);
    auto input = std::make_shared<SocketInputStream>(connection);
    auto output = std::make_shared<SocketOutputStream>(connection);
    connection->attach(StreamSide::Input, input);
    connection->attach(StreamSide::Output, output);
    return StreamPair{std::move(input), std::move(output)};
}

}  // namespace varen::platform
