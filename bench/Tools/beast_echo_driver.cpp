// The server side of the whole-process echo comparison: accepts one WebSocket connection, sends
// COUNT messages of SIZE bytes, either one at a time (each waits for its echo) or pipelined
// (all written while the echoes are read), checks that every echo came back whole, then closes
// with 1000 and waits for the client's close reply.
//
// usage: beast_echo_driver COUNT SIZE lockstep|pipelined text|binary
// Prints "PORT <n>" once listening; exits 0 when the exchange and the closing handshake passed.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

using Stream = websocket::stream<tcp::socket>;

void lockstep(Stream& ws, const std::vector<char>& payload, long count) {
    beast::flat_buffer buffer;
    for (long i = 0; i < count; ++i) {
        ws.write(boost::asio::buffer(payload));
        ws.read(buffer);
        if (buffer.size() != payload.size()) throw std::runtime_error("short echo");
        buffer.consume(buffer.size());
    }
}

// One thread, asynchronous reads and writes side by side, so that neither side's socket buffer
// fills while the other waits.
void pipelined(Stream& ws, boost::asio::io_context& io, const std::vector<char>& payload,
               long count) {
    long written = 0;
    long echoed = 0;
    beast::flat_buffer buffer;
    std::function<void()> writeNext = [&] {
        ws.async_write(boost::asio::buffer(payload), [&](beast::error_code ec, std::size_t) {
            if (ec) throw beast::system_error(ec);
            if (++written < count) writeNext();
        });
    };
    std::function<void()> readNext = [&] {
        ws.async_read(buffer, [&](beast::error_code ec, std::size_t size) {
            if (ec) throw beast::system_error(ec);
            if (size != payload.size()) throw std::runtime_error("short echo");
            buffer.consume(buffer.size());
            if (++echoed < count) readNext();
        });
    };
    writeNext();
    readNext();
    io.run();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: beast_echo_driver COUNT SIZE lockstep|pipelined text|binary\n");
        return 2;
    }
    const long count = std::atol(argv[1]);
    const auto size = static_cast<std::size_t>(std::atol(argv[2]));
    const bool inLockstep = std::string(argv[3]) == "lockstep";
    const bool text = std::string(argv[4]) == "text";
    try {
        boost::asio::io_context io;
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        std::printf("PORT %u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
        std::fflush(stdout);
        Stream ws(acceptor.accept());
        ws.read_message_max(size + 1);
        ws.accept();
        ws.text(text);
        const std::vector<char> payload(size, 'a');
        if (inLockstep) {
            lockstep(ws, payload, count);
        } else {
            pipelined(ws, io, payload, count);
        }
        // Reads until the client's close reply arrives.
        ws.close(websocket::close_code::normal);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "beast_echo_driver: %s\n", e.what());
        return 1;
    }
}
