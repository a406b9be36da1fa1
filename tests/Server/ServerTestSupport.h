// Helpers of the server tests: speech made with flite, Speex packets, the server process and a
// small WebSocket client written on Beast.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace varen::server::test {

using Packet = std::vector<std::uint8_t>;

// A folder of its own, removed at the end.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// "text" spoken by flite's "voice", as 8 kHz mono PCM, with the given silence before and after.
std::vector<std::int16_t> speech(const std::string& text, const std::string& voice = "kal",
                                 double leadingSilence = 0.3, double trailingSilence = 0.3);

// 20 ms frames encoded one packet each, as the library sends them (or `framesPerPacket` each):
// narrowband, quality 8.
std::vector<Packet> speexPackets(const std::vector<std::int16_t>& pcm, int framesPerPacket = 1);

// Flite's "seven three nine one" as packets, made once.
constexpr const char* kDigits = "seven three nine one";
constexpr const char* kDigitsModel = "en-US_8k_digits";
const std::vector<Packet>& digitPackets();

// The built server, on an ephemeral port of 127.0.0.1, its stderr kept in a file.
class ServerProcess {
  public:
    // `environment`: NAME=value settings added to the server's environment.
    explicit ServerProcess(std::vector<std::string> args = {},
                           std::vector<std::string> environment = {});
    ~ServerProcess();

    std::uint16_t port() const { return port_; }
    // The server's resident set now and at its peak (VmRSS, VmHWM).
    std::uint64_t residentBytes() const;
    std::uint64_t peakResidentBytes() const;
    std::string log() const;
    // Waits until the log holds a line containing "text".
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
    bool running();
    // SIGTERM, then the exit status (-1 when it did not exit normally).
    int stop();
    // SIGTERM, then the exit status if the server ends within the timeout (else SIGKILL).
    std::optional<int> stopWithin(std::chrono::milliseconds timeout);

  private:
    std::uint64_t statusBytes(const std::string& field) const;

    TempFolder folder_;
    std::filesystem::path logFile_;
    pid_t pid_ = -1;
    int lastStatus_ = -1;
    std::uint16_t port_ = 0;
};

// A blocking WebSocket client for the tests.
class TestClient {
  public:
    TestClient() = default;
    // Connects and upgrades; false (with the reason in error()) when either fails.
    bool connect(std::uint16_t port, const std::string& target);
    bool connect(std::uint16_t port, const std::string& key, const std::string& model);
    void sendText(const std::string& text);
    void sendBinary(const Packet& packet);
    // Start command of the library's form with these members replaced or added (a JSON object).
    void sendStart(const std::string& extraMembers = "");
    void sendStop() { sendText(R"({"decoding":"stop"})"); }
    void sendAll(const std::vector<Packet>& packets);
    // Sends `count` packets, taken in turn from `packets`, as fast as the server takes them;
    // stops at the timeout, when the connection is of no further use. Gives the number sent.
    std::size_t sendWithin(const std::vector<Packet>& packets, std::size_t count,
                           std::chrono::milliseconds timeout);

    // The next text message; nothing when the connection closed or the timeout passed.
    std::optional<std::string> receive(
        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Messages until the connection closes (or the timeout passes).
    std::vector<std::string> receiveUntilClosed(
        std::chrono::milliseconds timeout = std::chrono::seconds(20));

    bool closed() const { return closed_; }
    bool timedOut() const { return timedOut_; }
    int closeCode() const;
    const std::string& error() const { return error_; }

  private:
    boost::asio::io_context ioc_;
    boost::beast::websocket::stream<boost::beast::tcp_stream> ws_{ioc_};
    boost::beast::flat_buffer buffer_;
    bool closed_ = false;
    bool timedOut_ = false;
    std::string error_;
};

// A message as JSON; null when there is none.
nlohmann::json parse(const std::optional<std::string>& message);

// Connects to `model`, starts with these members replaced or added, and waits for "ready".
void startSession(TestClient& client, std::uint16_t port, const std::string& extra = "",
                  const std::string& model = kDigitsModel);

// The final results among the messages.
std::vector<nlohmann::json> finalsOf(const std::vector<std::string>& messages);

}  // namespace varen::server::test
