// The WebSocket side of the server: accepting connections, admitting sessions and running the
// recognition protocol of each.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "Models.h"
#include "Options.h"

namespace varen::server {

// Serves the recognition protocol on ws[s]://HOST:PORT/ws/client/speech until stopped.
//
// Thread safety: one network thread (the one calling run()) runs every connection's socket and
// protocol state; decoding runs on worker threads, each session's on one worker, so that its
// packets are decoded in order on the thread its decoder belongs to. stop() may be called from
// any thread.
class Server {
  public:
    using LogSink = std::function<void(const std::string&)>;

    // Binds the listening socket; throws std::runtime_error (address in use, bad TLS files).
    Server(ServerOptions options, std::shared_ptr<ModelRegistry> models, LogSink log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    boost::asio::ip::tcp::endpoint localEndpoint() const;

    // Serves on the calling thread until stop(); then drops queued decoding work and waits half
    // a second for the work under way. False when some is still under way: the caller had best
    // end the process without destroying the server.
    bool run();
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varen::server
