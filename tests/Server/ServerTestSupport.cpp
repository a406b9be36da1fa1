#include "ServerTestSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <speex/speex.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

namespace varen::server::test {

namespace fs = std::filesystem;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

TempFolder::TempFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() /
            ("varen-server-test-" + std::to_string(getpid()) + "-" + std::to_string(random()));
    fs::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

namespace {

void runOrThrow(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::vector<std::int16_t> speech(const std::string& text, const std::string& voice,
                                 double leadingSilence, double trailingSilence) {
    TempFolder folder;
    fs::path wav = folder.path() / "speech.wav";
    fs::path raw = folder.path() / "speech.raw";
    runOrThrow("flite -voice " + shellQuote(voice) + " -t " + shellQuote(text) + " -o " +
               shellQuote(wav.string()));
    // -D: no dither, so that the same text always gives the same samples.
    runOrThrow("sox -D " + shellQuote(wav.string()) +
               " -r 8000 -c 1 -b 16 -e signed-integer -t raw " + shellQuote(raw.string()));
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(leadingSilence * 8000), 0);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        pcm.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                                (static_cast<std::uint8_t>(bytes[i + 1]) << 8)));
    }
    pcm.resize(pcm.size() + static_cast<std::size_t>(trailingSilence * 8000), 0);
    return pcm;
}

std::vector<Packet> speexPackets(const std::vector<std::int16_t>& pcm, int framesPerPacket) {
    void* encoder = speex_encoder_init(&speex_nb_mode);
    int quality = 8;
    speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
    SpeexBits bits;
    speex_bits_init(&bits);
    std::vector<Packet> packets;
    const std::size_t packetSamples = 160 * static_cast<std::size_t>(framesPerPacket);
    for (std::size_t at = 0; at + packetSamples <= pcm.size(); at += packetSamples) {
        speex_bits_reset(&bits);
        for (std::size_t frame = at; frame < at + packetSamples; frame += 160) {
            spx_int16_t samples[160];
            std::copy_n(pcm.begin() + static_cast<long>(frame), 160, samples);
            speex_encode_int(encoder, samples, &bits);
        }
        Packet packet(static_cast<std::size_t>(speex_bits_nbytes(&bits)));
        speex_bits_write(&bits, reinterpret_cast<char*>(packet.data()),
                         static_cast<int>(packet.size()));
        packets.push_back(std::move(packet));
    }
    speex_bits_destroy(&bits);
    speex_encoder_destroy(encoder);
    return packets;
}

const std::vector<Packet>& digitPackets() {
    static const std::vector<Packet> packets = speexPackets(speech(kDigits));
    return packets;
}

ServerProcess::ServerProcess(std::vector<std::string> args, std::vector<std::string> environment)
    : logFile_(folder_.path() / "log") {
    args.insert(args.begin(), {VARENSTT_SERVER_BINARY, "--listen", "127.0.0.1:0"});
    pid_ = fork();
    if (pid_ == 0) {
        FILE* log = std::fopen(logFile_.c_str(), "w");
        if (log) dup2(fileno(log), STDERR_FILENO);
        for (auto& setting : environment) putenv(setting.data());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // The whole line, newline included: the server may be halfway through writing it.
    static const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::smatch match;
    std::string text = log();
    while (!std::regex_search(text, match, listening)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("the server did not start: " + text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        text = log();
    }
    port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
}

ServerProcess::~ServerProcess() {
    stop();
}

std::string ServerProcess::log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServerProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool ServerProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        pid_ = -1;
        lastStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

std::uint64_t ServerProcess::statusBytes(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size())) * 1024;
    }
    return 0;
}

std::uint64_t ServerProcess::residentBytes() const {
    return statusBytes("VmRSS:");
}

std::uint64_t ServerProcess::peakResidentBytes() const {
    return statusBytes("VmHWM:");
}

std::optional<int> ServerProcess::stopWithin(std::chrono::milliseconds timeout) {
    if (!running()) return lastStatus_;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) return lastStatus_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    stop();
    return std::nullopt;
}

int ServerProcess::stop() {
    if (!running()) return lastStatus_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    lastStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return lastStatus_;
}

bool TestClient::connect(std::uint16_t port, const std::string& target) {
    try {
        net::ip::tcp::resolver resolver(ioc_);
        beast::get_lowest_layer(ws_).connect(resolver.resolve("127.0.0.1", std::to_string(port)));
        ws_.handshake("127.0.0.1:" + std::to_string(port), target);
        return true;
    } catch (const boost::system::system_error& failure) {
        error_ = failure.code().message();
        return false;
    }
}

bool TestClient::connect(std::uint16_t port, const std::string& key, const std::string& model) {
    return connect(port, "/ws/client/speech?key=" + key + "&model=" + model);
}

void TestClient::sendText(const std::string& text) {
    beast::error_code ignored;
    ws_.text(true);
    ws_.write(net::buffer(text), ignored);
}

void TestClient::sendBinary(const Packet& packet) {
    beast::error_code ignored;
    ws_.binary(true);
    ws_.write(net::buffer(packet), ignored);
}

void TestClient::sendStart(const std::string& extraMembers) {
    auto command = nlohmann::ordered_json::parse(
        R"({"decoding":"start", "audio-type":"speex;nb;8", "traceback-period":0.2, "timeout":10,)"
        R"( "n-best":1, "do-word-alignment":true, "do-endpointing":false, "min-silence":0.000000,)"
        R"( "connection-mode":"on-stop-close"})");
    if (!extraMembers.empty()) command.update(nlohmann::ordered_json::parse(extraMembers));
    sendText(command.dump());
}

void TestClient::sendAll(const std::vector<Packet>& packets) {
    for (const auto& packet : packets) sendBinary(packet);
}

std::size_t TestClient::sendWithin(const std::vector<Packet>& packets, std::size_t count,
                                   std::chrono::milliseconds timeout) {
    std::size_t sent = 0;
    ws_.binary(true);
    std::function<void()> next = [&] {
        if (sent == count) return;
        ws_.async_write(net::buffer(packets[sent % packets.size()]),
                        [&](beast::error_code error, std::size_t) {
                            if (error) return;
                            ++sent;
                            next();
                        });
    };
    next();
    ioc_.restart();
    ioc_.run_for(timeout);
    if (sent < count) {
        // Cut off in the middle of a frame, the stream is of no further use.
        closed_ = true;
        beast::get_lowest_layer(ws_).close();
        ioc_.restart();
        ioc_.run();
    }
    return sent;
}

std::optional<std::string> TestClient::receive(std::chrono::milliseconds timeout) {
    if (closed_) return std::nullopt;
    bool done = false;
    beast::error_code result;
    ws_.async_read(buffer_, [&](beast::error_code error, std::size_t) {
        done = true;
        result = error;
    });
    ioc_.restart();
    ioc_.run_for(timeout);
    if (!done) {
        timedOut_ = true;
        closed_ = true;
        beast::get_lowest_layer(ws_).close();
        ioc_.restart();
        ioc_.run();
        return std::nullopt;
    }
    if (result) {
        closed_ = true;
        if (error_.empty()) error_ = result.message();
        return std::nullopt;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return text;
}

std::vector<std::string> TestClient::receiveUntilClosed(std::chrono::milliseconds timeout) {
    std::vector<std::string> messages;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto message = receive(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
        messages.push_back(std::move(*message));
    }
    return messages;
}

int TestClient::closeCode() const {
    return ws_.reason().code;
}

nlohmann::json parse(const std::optional<std::string>& message) {
    return message ? nlohmann::json::parse(*message) : nlohmann::json();
}

void startSession(TestClient& client, std::uint16_t port, const std::string& extra,
                  const std::string& model) {
    ASSERT_TRUE(client.connect(port, "k", model)) << client.error();
    client.sendStart(extra);
    ASSERT_EQ(parse(client.receive()), nlohmann::json({{"status", "ready"}}));
}

std::vector<nlohmann::json> finalsOf(const std::vector<std::string>& messages) {
    std::vector<nlohmann::json> finals;
    for (const auto& message : messages) {
        nlohmann::json value = nlohmann::json::parse(message);
        if (value.value("final", false)) finals.push_back(value);
    }
    return finals;
}

}  // namespace varen::server::test
