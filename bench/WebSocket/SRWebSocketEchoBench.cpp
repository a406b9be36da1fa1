// Loopback echo: SRWebSocket against a Boost.Beast echo server, and a Boost.Beast client
// against the same server as the comparison, in one run.

#include <benchmark/benchmark.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "varenstt/Platform/DispatchQueue.h"
#include "varenstt/SRWebSocket.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

// Echoes every message on every connection, one thread per connection.
class BeastEchoServer {
  public:
    BeastEchoServer()
        : acceptor_(io_, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
        port_ = acceptor_.local_endpoint().port();
        thread_ = std::thread([this] {
            for (;;) {
                tcp::socket socket(io_);
                boost::system::error_code ec;
                acceptor_.accept(socket, ec);
                if (ec) return;
                std::thread([s = std::move(socket)]() mutable {
                    try {
                        websocket::stream<tcp::socket> ws(std::move(s));
                        ws.read_message_max(64 << 20);
                        ws.accept();
                        beast::flat_buffer buffer;
                        for (;;) {
                            ws.read(buffer);
                            ws.binary(ws.got_binary());
                            ws.write(buffer.data());
                            buffer.consume(buffer.size());
                        }
                    } catch (...) {
                    }
                }).detach();
            }
        });
    }
    unsigned short port() const { return port_; }

  private:
    boost::asio::io_context io_;
    tcp::acceptor acceptor_;
    unsigned short port_;
    std::thread thread_;
};

BeastEchoServer& server() {
    static auto* s = new BeastEchoServer();  // lives for the whole run
    return *s;
}

class EchoDelegate : public varen::SRWebSocketDelegate {
  public:
    void webSocketDidOpen(varen::SRWebSocket&) override {
        std::lock_guard l(m);
        open = true;
        cv.notify_all();
    }
    void webSocketDidReceiveMessage(varen::SRWebSocket&, const varen::SRMessage&) override {
        std::lock_guard l(m);
        ++received;
        cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    long received = 0;
};

void BM_SRWebSocketEcho(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    auto delegate = std::make_shared<EchoDelegate>();
    auto socket = varen::SRWebSocket::initWithURL(
        *varen::URL::URLWithString("ws://127.0.0.1:" + std::to_string(server().port()) + "/"));
    socket->setDelegate(delegate);
    socket->setDelegateDispatchQueue(varen::platform::DispatchQueue::create("bench"));
    socket->open();
    {
        std::unique_lock l(delegate->m);
        delegate->cv.wait(l, [&] { return delegate->open; });
    }
    const varen::Data payload(size, 0x5A);
    long expected = 0;
    for (auto _ : state) {
        socket->send(payload);
        ++expected;
        std::unique_lock l(delegate->m);
        delegate->cv.wait(l, [&] { return delegate->received == expected; });
    }
    socket->close();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_SRWebSocketEcho)->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

void BM_BeastClientEcho(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    boost::asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().connect(
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), server().port()));
    ws.read_message_max(64 << 20);
    ws.handshake("127.0.0.1", "/");
    ws.binary(true);
    const std::vector<std::uint8_t> payload(size, 0x5A);
    beast::flat_buffer buffer;
    for (auto _ : state) {
        ws.write(boost::asio::buffer(payload));
        ws.read(buffer);
        buffer.consume(buffer.size());
    }
    ws.close(websocket::close_code::normal);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_BeastClientEcho)->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
