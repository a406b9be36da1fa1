// The comparison client of the whole-process echo benchmark: a synchronous Boost.Beast client
// with one reused buffer that sends every message back with its type until the server closes.
//
// usage: beast_echo_client PORT
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstdlib>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: beast_echo_client PORT\n");
        return 2;
    }
    try {
        boost::asio::io_context io;
        websocket::stream<tcp::socket> ws(io);
        ws.next_layer().connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                              static_cast<unsigned short>(std::atoi(argv[1]))));
        ws.read_message_max(64 << 20);
        ws.handshake("127.0.0.1", "/");
        beast::flat_buffer buffer;
        for (;;) {
            beast::error_code ec;
            ws.read(buffer, ec);
            // The read answers the server's close itself.
            if (ec == websocket::error::closed) return 0;
            if (ec) throw beast::system_error(ec);
            ws.text(ws.got_text());
            ws.write(buffer.data());
            buffer.consume(buffer.size());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "beast_echo_client: %s\n", e.what());
        return 1;
    }
}
