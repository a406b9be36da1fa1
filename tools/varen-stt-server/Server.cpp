#include "Server.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <iomanip>
#include <locale>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "LogText.h"
#include "Memory.h"
#include "Protocol.h"
#include "Recognizer.h"
#include "Workers.h"

namespace varen::server {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// A connection being closed is dropped after this, whether or not the client takes part.
constexpr auto kCloseDeadline = std::chrono::seconds(5);
// The largest message read: a Speex packet is some 40 bytes and a command a few hundred.
constexpr std::size_t kMaxMessageBytes = 64 * 1024;
// A larger binary message is refused: a narrowband packet is 38 bytes.
constexpr std::size_t kMaxPacketBytes = 1024;
// A session stops reading while more than 10 s of its audio (a packet per 20 ms frame) waits
// for the decoder, and reads again once half of it is decoded: the client's TCP window then
// holds it back instead of the server's memory.
constexpr int kMaxQueuedPackets = 500;
constexpr int kResumeQueuedPackets = kMaxQueuedPackets / 2;
// Results waiting for a client that does not read them; beyond, the connection is dropped.
constexpr std::size_t kMaxOutgoingMessages = 256;

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// What every connection shares.
//
// Thread safety: the fields are set before the first connection and read-only afterwards,
// apart from the atomic counters and `memory`, which only the network thread uses; log() may be
// called from any thread.
struct Shared {
    Shared(WorkerPool& decoders, WorkerPool& spareMaker, MemoryBudget budget)
        : workers(decoders), makers(spareMaker), memory(std::move(budget)) {}

    ServerOptions options;
    std::shared_ptr<ModelRegistry> models;
    Server::LogSink sink;
    WorkerPool& workers;
    WorkerPool& makers;
    MemoryBudget memory;
    std::atomic<int> sessions{0};
    std::atomic<std::uint64_t> nextId{1};
    std::mutex logMutex;

    // One line, whatever the values in it hold.
    void log(const std::string& line) {
        std::lock_guard lock(logMutex);
        sink(escapeControlCharacters(line));
    }
};

std::string peerName(const tcp::socket& socket) {
    boost::system::error_code error;
    auto endpoint = socket.remote_endpoint(error);
    if (error) return "?";
    std::ostringstream out;
    out << endpoint;
    return out.str();
}

std::string quote(const std::string& text) {
    std::ostringstream out;
    out << std::quoted(text);
    return out.str();
}

std::chrono::steady_clock::duration seconds(double value) {
    // A day is as good as for ever, and keeps the conversion from overflowing.
    value = std::min(value, 86400.0);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(value));
}

// Outcomes of decoding work, carried from a session's worker back to the network thread.
struct Ready {};
struct LoadFailed {
    std::string message;
};
struct Final {
    FinalResult result;
    bool onStop;  // answers the stop command, rather than an endpoint
};
struct StopAfterEndpoint {};
struct Drained {};  // the queued audio fell to where reading resumes
using Outcome = std::variant<Ready, LoadFailed, PartialResult, Final, StopAfterEndpoint, Drained>;

// The decoding side of one session (of one start command), on the worker it leases.
//
// Thread safety: `recognizer` is used only on the worker; `abandoned` is set on the network
// thread and read on the worker, so that queued work stops once the session no longer wants
// it; `queuedPackets` is raised by the network thread and lowered by the worker.
struct Decoding {
    explicit Decoding(WorkerPool& workers) : worker(workers.lease()) {}
    WorkerPool::Lease worker;
    std::unique_ptr<Recognizer> recognizer;
    std::atomic<bool> abandoned{false};
    std::atomic<int> queuedPackets{0};

    // After a packet, on the worker: true when the queue has just fallen to the resume mark.
    bool packetDone() { return queuedPackets.fetch_sub(1) - 1 == kResumeQueuedPackets; }
};

struct Refusal {
    std::string reason;  // for the log
    std::string message;
    websocket::close_code code;
};

// One recognition session over an upgraded connection.
//
// Thread safety: all members are used on the network thread only, except `decoding_`, whose
// recogniser lives on the session's worker. Work queued to the worker holds the Decoding object
// and only a weak reference to the session, so the session (with its socket and timer) is always
// destroyed on the network thread.
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
  public:
    Session(std::shared_ptr<Shared> shared, std::uint64_t id, std::string peer, Stream&& stream)
        : shared_(std::move(shared)),
          id_(id),
          peer_(std::move(peer)),
          ws_(std::move(stream)),
          timer_(ws_.get_executor()),
          readResume_(ws_.get_executor()) {}

    ~Session() {
        abandonDecoding();
        releaseMemory();
    }

    void run(http::request<http::string_body> request) {
        RequestTarget target = parseRequestTarget(request.target());
        key_ = target.query.count("key") ? target.query["key"] : std::string{};
        model_ = target.query.count("model") ? target.query["model"] : std::string{};

        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout,
                                                       websocket::stream_base::none(), false});
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, "varen-stt-server");
        }));
        ws_.read_message_max(kMaxMessageBytes);
        ws_.text(true);
        ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
            self->onAccept(error);
        });
    }

  private:
    enum class Phase { awaitingStart, decoding, stopping, finished };

    struct Outgoing {
        std::string text;
        bool partial;
    };

    std::string head() const { return "session " + std::to_string(id_); }

    void onAccept(beast::error_code error) {
        if (error) {
            shared_->log(head() + " from " + peer_ + ": handshake failed: " + error.message());
            return;
        }
        std::string line = head() + " from " + peer_ + " model=" + quote(model_) + ": ";
        if (auto refusal = admit()) {
            shared_->log(line + "refused, " + refusal->reason);
            refuse(std::move(refusal->message), refusal->code);
        } else {
            shared_->log(line + "accepted");
            armTimer();
        }
        doRead();
    }

    std::optional<Refusal> admit() {
        const auto& keys = shared_->options.apiKeys;
        if (!keys.empty() && !keys.count(key_)) {
            return Refusal{"invalid API key", errorMessage("Invalid API key"),
                           websocket::close_code::policy_error};
        }
        if (!(pool_ = shared_->models->find(model_))) {
            return Refusal{"unknown model", errorMessage("Unknown model " + model_),
                           websocket::close_code::policy_error};
        }
        if (shared_->sessions.fetch_add(1) >= shared_->options.maxSessions) {
            shared_->sessions.fetch_sub(1);
            return Refusal{"busy", statusMessage("busy"), websocket::close_code::try_again_later};
        }
        // Set aside until the session's decoder is made and shows in the resident set.
        std::uint64_t bytes = pool_->sessionBytes();
        if (!shared_->memory.reserve(bytes)) {
            shared_->sessions.fetch_sub(1);
            return Refusal{"busy, memory limit", statusMessage("busy"),
                           websocket::close_code::try_again_later};
        }
        reservedBytes_ = bytes;
        counted_ = true;
        return std::nullopt;
    }

    void releaseMemory() {
        shared_->memory.release(reservedBytes_);
        reservedBytes_ = 0;
    }

    void refuse(std::string message, websocket::close_code code) {
        phase_ = Phase::finished;
        send(std::move(message));
        closeAfterWrites(code);
    }

    // Reads run until the connection ends, also while closing, so that the peer's close frame
    // and a broken connection are noticed in one place. They pause only while the decoder is
    // behind; whatever ends the connection resumes them.
    void doRead() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](
                                    beast::error_code error, std::size_t) { self->onRead(error); });
    }

    void onRead(beast::error_code error) {
        if (error) {
            end(error);
            return;
        }
        if (ws_.got_text()) {
            std::string text = beast::buffers_to_string(buffer_.data());
            buffer_.consume(buffer_.size());
            onText(text);
        } else {
            auto bytes = buffer_.data();
            auto packet = std::make_shared<std::vector<std::uint8_t>>(
                static_cast<const std::uint8_t*>(bytes.data()),
                static_cast<const std::uint8_t*>(bytes.data()) + bytes.size());
            buffer_.consume(buffer_.size());
            onBinary(std::move(packet));
        }
        // The client's silence counts only while the server is not itself busy: neither while
        // it makes the decoder nor while it makes the final result.
        if (phase_ == Phase::awaitingStart || (phase_ == Phase::decoding && ready_)) armTimer();
        if (decoderIsBehind()) {
            pauseReading();
        } else {
            doRead();
        }
    }

    bool decoderIsBehind() const {
        return decoding_ && !leaving() && decoding_->queuedPackets.load() > kMaxQueuedPackets;
    }

    void pauseReading() {
        readPaused_ = true;
        cancelTimer();  // the server is the one holding things up
        // The pending wait keeps the session alive while no read does.
        readResume_.expires_at(net::steady_timer::time_point::max());
        readResume_.async_wait([self = this->shared_from_this()](beast::error_code) {
            self->readPaused_ = false;
            if (self->phase_ == Phase::decoding && self->ready_) self->armTimer();
            self->doRead();
        });
    }

    void resumeReading() {
        if (readPaused_) readResume_.cancel();
    }

    void onText(const std::string& text) {
        if (phase_ == Phase::finished) return;
        Command command = parseCommand(text);
        if (auto* error = std::get_if<CommandError>(&command)) {
            fail(error->message);
        } else if (auto* start = std::get_if<StartCommand>(&command)) {
            if (phase_ != Phase::awaitingStart) {
                fail(phase_ == Phase::decoding ? "Start command while decoding"
                                               : "Start command before the final result");
                return;
            }
            startDecoding(start->options);
        } else if (phase_ == Phase::awaitingStart) {
            fail("Stop command before the start command");
        } else if (phase_ == Phase::decoding) {
            phase_ = Phase::stopping;
            cancelTimer();  // the server is the one working now
            decode([](Decoding& decoding, std::vector<Outcome>& outcomes) {
                if (!decoding.recognizer) return;
                if (auto result = decoding.recognizer->finish()) {
                    outcomes.emplace_back(Final{std::move(*result), true});
                } else {
                    outcomes.emplace_back(StopAfterEndpoint{});
                }
            });
        }
        // A second stop command while the final result is being made changes nothing.
    }

    void onBinary(std::shared_ptr<std::vector<std::uint8_t>> packet) {
        if (phase_ == Phase::finished) return;
        if (packet->size() > kMaxPacketBytes) {
            fail("Audio packet of " + std::to_string(packet->size()) + " bytes, more than " +
                 std::to_string(kMaxPacketBytes));
            return;
        }
        if (phase_ == Phase::awaitingStart) {
            fail("Audio before the start command");
            return;
        }
        // Audio that overtook the stop command on the client's side is of no use any more.
        if (phase_ != Phase::decoding) return;
        decoding_->queuedPackets.fetch_add(1);
        decode(
            [packet](Decoding& decoding, std::vector<Outcome>& outcomes) {
                if (!decoding.recognizer) return;
                for (auto& event : decoding.recognizer->feedPacket(*packet)) {
                    if (auto* partial = std::get_if<PartialResult>(&event)) {
                        outcomes.emplace_back(std::move(*partial));
                    } else {
                        outcomes.emplace_back(
                            Final{std::get<FinalResult>(std::move(event)), false});
                    }
                }
            },
            true);
    }

    void startDecoding(const StartOptions& options) {
        abandonDecoding();
        options_ = options;
        phase_ = Phase::decoding;
        ready_ = false;
        cancelTimer();
        decoding_ = std::make_shared<Decoding>(shared_->workers);
        decode([pool = pool_, options, makers = shared_->makers.executor(0)](
                   Decoding& decoding, std::vector<Outcome>& outcomes) {
            try {
                decoding.recognizer = std::make_unique<Recognizer>(pool, options);
                outcomes.emplace_back(Ready{});
                // On a thread of its own, so that no session's packets wait for it.
                net::post(makers, [pool] { pool->replenish(); });
            } catch (const std::exception& error) {
                outcomes.emplace_back(LoadFailed{error.what()});
            }
        });
    }

    // Queues work on the session's worker; what it produces comes back to deliver() on the
    // network thread, in order, unless the session is gone by then. A packet's work also counts
    // the packet off the queue, whether or not the decoding still wants it.
    template <class Work>
    void decode(Work work, bool isPacket = false) {
        auto weak = this->weak_from_this();
        auto io = ws_.get_executor();
        net::post(decoding_->worker.executor(), [decoding = decoding_, weak, io, isPacket,
                                                 work = std::move(work)]() mutable {
            std::vector<Outcome> outcomes;
            if (!decoding->abandoned) work(*decoding, outcomes);
            if (isPacket && decoding->packetDone()) outcomes.emplace_back(Drained{});
            if (outcomes.empty()) return;
            net::post(io, [weak, decoding, outcomes = std::move(outcomes)]() mutable {
                auto self = weak.lock();
                if (!self || decoding->abandoned) return;
                for (auto& outcome : outcomes) self->deliver(std::move(outcome));
            });
        });
    }

    void abandonDecoding() {
        if (!decoding_) return;
        decoding_->abandoned = true;
        // The decoder is destroyed on the worker it lives on, as soon as the worker gets to it.
        net::post(decoding_->worker.executor(),
                  [decoding = decoding_] { decoding->recognizer.reset(); });
        decoding_.reset();
    }

    void deliver(Outcome outcome) {
        if (phase_ == Phase::finished || leaving()) return;
        std::visit(
            [this](auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, Ready>) {
                    ready_ = true;
                    releaseMemory();
                    if (phase_ == Phase::decoding && !readPaused_) armTimer();
                    send(readyMessage());
                } else if constexpr (std::is_same_v<T, LoadFailed>) {
                    releaseMemory();
                    shared_->log(head() + ": " + value.message);
                    fail("Model " + model_ + " could not be loaded");
                } else if constexpr (std::is_same_v<T, PartialResult>) {
                    // Partials of audio that came before the stop still go out before the
                    // final result.
                    if (phase_ == Phase::decoding || phase_ == Phase::stopping) {
                        send(partialMessage(value.transcript), true);
                    }
                } else if constexpr (std::is_same_v<T, Final>) {
                    finalResult(value);
                } else if constexpr (std::is_same_v<T, Drained>) {
                    resumeReading();
                }
            },
            outcome);
    }

    void finalResult(const Final& final) {
        const FinalResult& result = final.result;
        std::ostringstream line;
        line.imbue(std::locale::classic());
        line << head() << " final "
             << quote(result.transcripts.empty() ? std::string{} : result.transcripts.front())
             << " alternatives=" << result.transcripts.size() << std::fixed << std::setprecision(3)
             << " confidence=" << result.confidence << std::setprecision(2)
             << " audio=" << result.audioSeconds << "s"
             << (final.onStop ? " (stop)" : " (endpoint)");
        shared_->log(line.str());
        send(finalMessage(result.transcripts, result.confidence));

        if (options_.connectionMode == ConnectionMode::onStopClose) {
            phase_ = Phase::finished;
            closeAfterWrites(websocket::close_code::normal);
        } else if (final.onStop) {
            phase_ = Phase::awaitingStart;
            armTimer();
        }
    }

    void fail(const std::string& message) {
        if (leaving()) return;
        shared_->log(head() + " error: " + message);
        phase_ = Phase::finished;
        abandonDecoding();
        send(errorMessage(message));
        closeAfterWrites(websocket::close_code::policy_error);
    }

    // The server's own idle timeout always applies; a client may only shorten it.
    double idleTimeout() const {
        double server = shared_->options.idleTimeout;
        bool clientChose = phase_ != Phase::awaitingStart || decoding_;
        double client = clientChose ? options_.timeout : 0.0;
        return client > 0.0 && client < server ? client : server;
    }

    void armTimer() {
        if (!counted_) {
            cancelTimer();
            return;
        }
        startTimer(seconds(idleTimeout()), [](Session& self) { self.onTimeout(); });
    }

    template <class Expired>
    void startTimer(std::chrono::steady_clock::duration after, Expired expired) {
        ++timerGeneration_;
        timer_.expires_after(after);
        timer_.async_wait([weak = this->weak_from_this(), generation = timerGeneration_,
                           expired](beast::error_code error) {
            auto self = weak.lock();
            // A wait that completed just before the timer was re-armed is stale too.
            if (!self || error || generation != self->timerGeneration_) return;
            expired(*self);
        });
    }

    void cancelTimer() {
        ++timerGeneration_;
        timer_.cancel();
    }

    void onTimeout() {
        if (phase_ == Phase::finished || leaving()) return;
        shared_->log(head() + " connection timeout");
        phase_ = Phase::finished;
        abandonDecoding();
        send(statusMessage("connection timeout"));
        closeAfterWrites(websocket::close_code::normal);
    }

    bool leaving() const { return closing_ || pendingClose_ || ended_; }

    // A client that does not read gets only the newest partial result, and at most
    // kMaxOutgoingMessages others before it is dropped.
    void send(std::string message, bool partial = false) {
        if (leaving()) return;
        if (partial && outbox_.size() > (writing_ ? 1u : 0u) && outbox_.back().partial) {
            outbox_.back().text = std::move(message);
            return;
        }
        if (outbox_.size() >= kMaxOutgoingMessages) {
            shared_->log(head() + " dropped: the client does not read its results");
            dropConnection();
            return;
        }
        outbox_.push_back({std::move(message), partial});
        if (!writing_) doWrite();
    }

    void doWrite() {
        writing_ = true;
        ws_.async_write(net::buffer(outbox_.front().text),
                        [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                            self->onWrite(error);
                        });
    }

    void onWrite(beast::error_code error) {
        writing_ = false;
        outbox_.pop_front();
        if (error) {
            outbox_.clear();
            dropConnection();
            return;
        }
        if (!outbox_.empty()) {
            doWrite();
        } else if (pendingClose_) {
            doClose();
        }
    }

    // The read under way, or one started here, ends with the connection and ends the session.
    void dropConnection() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        resumeReading();
    }

    void closeAfterWrites(websocket::close_code code) {
        if (leaving()) return;
        pendingClose_ = websocket::close_reason(code);
        startTimer(kCloseDeadline, [](Session& self) { self.dropConnection(); });
        resumeReading();
        if (!writing_) doClose();
    }

    void doClose() {
        closing_ = true;
        ws_.async_close(*pendingClose_, [self = this->shared_from_this()](beast::error_code) {});
    }

    void end(beast::error_code error) {
        if (ended_) return;
        ended_ = true;
        cancelTimer();
        bool expected = error == websocket::error::closed || closing_;
        if (!expected && phase_ != Phase::finished) {
            shared_->log(head() + " ended: " + error.message());
        }
        phase_ = Phase::finished;
        abandonDecoding();
        releaseMemory();
        if (counted_) shared_->sessions.fetch_sub(1);
        counted_ = false;
    }

    std::shared_ptr<Shared> shared_;
    std::uint64_t id_;
    std::string peer_;
    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    net::steady_timer timer_;
    net::steady_timer readResume_;  // waits while reading is paused
    std::string key_;
    std::string model_;
    std::shared_ptr<DecoderPool> pool_;

    Phase phase_ = Phase::awaitingStart;
    StartOptions options_;
    std::shared_ptr<Decoding> decoding_;
    bool ready_ = false;                // the decoder of the current start command is made
    bool counted_ = false;              // holds one of the --max-sessions places
    std::uint64_t reservedBytes_ = 0;   // of the memory budget, until the decoder is made
    bool readPaused_ = false;           // while the decoder is behind

    std::deque<Outgoing> outbox_;
    bool writing_ = false;
    std::optional<websocket::close_reason> pendingClose_;
    bool closing_ = false;
    bool ended_ = false;
    unsigned timerGeneration_ = 0;
};

// The HTTP request of a new connection (after the TLS handshake for wss): an upgrade on the
// speech path becomes a Session, anything else gets an HTTP error.
//
// Thread safety: network thread only.
template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
  public:
    Connection(std::shared_ptr<Shared> shared, Stream&& stream)
        : shared_(std::move(shared)),
          id_(shared_->nextId.fetch_add(1)),
          peer_(peerName(beast::get_lowest_layer(stream).socket())),
          stream_(std::move(stream)) {}

    void run() {
        beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](
                                                                  beast::error_code error) {
                if (error) {
                    self->shared_->log("connection " + std::to_string(self->id_) + " from " +
                                       self->peer_ + ": TLS handshake failed: " + error.message());
                    return;
                }
                self->readRequest();
            });
        } else {
            readRequest();
        }
    }

  private:
    void readRequest() {
        parser_.emplace();
        parser_->header_limit(16 * 1024);
        parser_->body_limit(16 * 1024);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             self->onRequest(error);
                         });
    }

    void onRequest(beast::error_code error) {
        if (error) return;  // a connection that never sent a request is not worth a line
        auto request = parser_->release();
        RequestTarget target = parseRequestTarget(request.target());
        if (target.path == kSpeechPath && websocket::is_upgrade(request)) {
            std::make_shared<Session<Stream>>(shared_, id_, peer_, std::move(stream_))
                ->run(std::move(request));
            return;
        }
        auto status =
            target.path == kSpeechPath ? http::status::upgrade_required : http::status::not_found;
        shared_->log("connection " + std::to_string(id_) + " from " + peer_ + " " +
                     std::string(request.method_string()) + " " + quote(target.path) + ": " +
                     std::to_string(static_cast<int>(status)));
        response_.emplace(status, request.version());
        response_->set(http::field::server, "varen-stt-server");
        response_->set(http::field::content_type, "text/plain");
        response_->keep_alive(false);
        response_->body() = std::string(http::obsolete_reason(status)) + "\n";
        response_->prepare_payload();
        http::async_write(stream_, *response_,
                          [self = this->shared_from_this()](beast::error_code, std::size_t) {
                              self->shutdown();
                          });
    }

    void shutdown() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        } else {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    std::shared_ptr<Shared> shared_;
    std::uint64_t id_;
    std::string peer_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
};

std::size_t workerCount(const ServerOptions& options) {
    if (options.workers > 0) return static_cast<std::size_t>(options.workers);
    return std::max(1u, std::thread::hardware_concurrency());
}

std::uint64_t memoryLimit(const ServerOptions& options) {
    return options.maxMemory > 0 ? options.maxMemory : physicalMemoryBytes() / 2;
}

// How long a stopping server waits for decoding under way (queued decoding is dropped).
constexpr auto kStopTimeout = std::chrono::milliseconds(500);

}  // namespace

struct Server::Impl {
    // Declared before the io_context so that they outlive every session's work queued to them,
    // and the decoders' after the maker of spares, to which their work posts.
    WorkerPool makers{1};
    WorkerPool workers;
    net::io_context ioc{1};
    std::shared_ptr<Shared> shared;
    std::optional<ssl::context> tls;
    tcp::acceptor acceptor{ioc};
    net::steady_timer acceptPause{ioc};

    Impl(ServerOptions options, std::shared_ptr<ModelRegistry> models, LogSink log)
        : workers(workerCount(options)),
          shared(std::make_shared<Shared>(workers, makers, MemoryBudget(memoryLimit(options)))) {
        shared->options = std::move(options);
        shared->models = std::move(models);
        shared->sink = std::move(log);
        const ServerOptions& opts = shared->options;

        if (opts.tlsCert) {
            tls.emplace(ssl::context::tls_server);
            try {
                tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                                 ssl::context::no_sslv3);
                tls->use_certificate_chain_file(opts.tlsCert->string());
                tls->use_private_key_file(opts.tlsKey->string(), ssl::context::pem);
            } catch (const boost::system::system_error& error) {
                throw std::runtime_error("TLS certificate or key: " + error.code().message());
            }
        }

        boost::system::error_code error;
        tcp::resolver resolver(ioc);
        auto endpoints =
            resolver.resolve(opts.host, std::to_string(opts.port),
                             tcp::resolver::passive | tcp::resolver::numeric_service, error);
        if (error || endpoints.empty()) {
            throw std::runtime_error("cannot resolve " + opts.host + ": " + error.message());
        }
        tcp::endpoint endpoint = *endpoints.begin();
        acceptor.open(endpoint.protocol(), error);
        if (!error) acceptor.set_option(net::socket_base::reuse_address(true), error);
        if (!error) acceptor.bind(endpoint, error);
        if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
        if (error) {
            std::ostringstream out;
            out << "cannot listen on " << endpoint << ": " << error.message();
            throw std::runtime_error(out.str());
        }
    }

    ~Impl() {
        ioc.stop();
        // Work under way posts to the io_context and the maker: both must outlive it.
        workers.join();
        makers.join();
    }

    void accept() {
        acceptor.async_accept(ioc, [this](beast::error_code error, tcp::socket socket) {
            if (error == net::error::operation_aborted || !acceptor.is_open()) return;
            if (error) {
                // Out of descriptors, most likely: give connections time to end.
                acceptPause.expires_after(std::chrono::milliseconds(100));
                acceptPause.async_wait([this](beast::error_code waitError) {
                    if (!waitError) accept();
                });
                return;
            }
            {
                if (tls) {
                    std::make_shared<Connection<TlsStream>>(
                        shared, TlsStream(beast::tcp_stream(std::move(socket)), *tls))
                        ->run();
                } else {
                    std::make_shared<Connection<PlainStream>>(shared,
                                                              PlainStream(std::move(socket)))
                        ->run();
                }
            }
            accept();
        });
    }
};

Server::Server(ServerOptions options, std::shared_ptr<ModelRegistry> models, LogSink log)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(models), std::move(log))) {}

Server::~Server() = default;

tcp::endpoint Server::localEndpoint() const {
    boost::system::error_code error;
    return impl_->acceptor.local_endpoint(error);
}

bool Server::run() {
    impl_->accept();
    impl_->ioc.run();
    // Queued decoding is dropped: its results could not be sent any more.
    impl_->workers.stop();
    impl_->makers.stop();
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    return impl_->workers.waitFor(kStopTimeout) &&
           impl_->makers.waitFor(deadline - std::chrono::steady_clock::now());
}

void Server::stop() {
    impl_->ioc.stop();
}

}  // namespace varen::server
