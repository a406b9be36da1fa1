// Loopback throughput of the stream pair against a plain Asio socket writing to the same sink.

#include <benchmark/benchmark.h>

#include <atomic>
#include <functional>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "Platform/Net/Streams.h"

namespace {

using asio::ip::tcp;
using varen::platform::RunLoop;
using varen::platform::Stream;
using varen::platform::StreamEvent;

// Accepts one connection at a time and counts what arrives, discarding it.
class Sink {
  public:
    // `arrived` is called on the sink's thread after each read.
    explicit Sink(std::function<void()> arrived = {})
        : arrived_(std::move(arrived)),
          acceptor_(context_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        thread_ = std::thread([this] {
            for (;;) {
                tcp::socket socket(context_);
                asio::error_code ec;
                acceptor_.accept(socket, ec);
                if (ec || stopping_) return;
                active_ = socket.native_handle();
                std::vector<char> buffer(256 * 1024);
                while (!ec) {
                    received_ += socket.read_some(asio::buffer(buffer), ec);
                    if (arrived_) arrived_();
                }
                active_ = -1;
            }
        });
    }
    ~Sink() {
        stopping_ = true;
        ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
        // A connection still open (its client closed but never ran its loop again) ends too.
        const int active = active_;
        if (active >= 0) ::shutdown(active, SHUT_RDWR);
        thread_.join();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    std::size_t received() const { return received_; }

  private:
    const std::function<void()> arrived_;
    asio::io_context context_;
    tcp::acceptor acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> received_{0};
    std::atomic<int> active_{-1};
    std::thread thread_;
};

class Writer : public varen::platform::StreamDelegate {
  public:
    Writer(varen::platform::StreamPair pair, const std::vector<std::uint8_t>& payload)
        : pair_(std::move(pair)), payload_(payload) {}
    void streamHandleEvent(Stream&, StreamEvent event) override {
        if (event != StreamEvent::HasSpaceAvailable) return;
        while (offset_ < payload_.size()) {
            const long n =
                pair_.output->write(payload_.data() + offset_, payload_.size() - offset_);
            if (n <= 0) return;
            offset_ += static_cast<std::size_t>(n);
        }
    }
    varen::platform::StreamPair pair_;

  private:
    const std::vector<std::uint8_t>& payload_;
    std::size_t offset_ = 0;
};

void BM_StreamPairSend(benchmark::State& state) {
    const std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5a);
    auto loop = std::make_shared<RunLoop>();
    // Wakes the loop so that the end is seen at once rather than at its next poll.
    Sink sink([loop] { loop->perform([] {}); });
    for (auto _ : state) {
        const std::size_t target = sink.received() + payload.size();
        auto writer = std::make_shared<Writer>(
            varen::platform::createStreamPairWithSocketToHost("127.0.0.1", sink.port()), payload);
        writer->pair_.output->setDelegate(writer);
        writer->pair_.output->scheduleInRunLoop(loop);
        writer->pair_.output->open();
        writer->pair_.input->open();
        loop->runUntil([&] { return sink.received() >= target; }, std::chrono::seconds(60));
        writer->pair_.input->close();
        writer->pair_.output->close();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_PlainAsioSend(benchmark::State& state) {
    const std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5a);
    Sink sink;
    asio::io_context context;
    for (auto _ : state) {
        const std::size_t target = sink.received() + payload.size();
        tcp::socket socket(context);
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), sink.port()));
        socket.set_option(tcp::no_delay(true));
        asio::async_write(socket, asio::buffer(payload),
                          [](const asio::error_code&, std::size_t) {});
        context.restart();
        context.run();
        while (sink.received() < target) std::this_thread::yield();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_StreamPairSend)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();
BENCHMARK(BM_PlainAsioSend)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
