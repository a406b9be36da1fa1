#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Support/TestSupport.h"

namespace varen::test {

// A scripted recognition server (a python3-websockets peer) on 127.0.0.1 with an ephemeral port.
// Each connection plays the script (see peers/recognition_server.py); everything the client
// sends is recorded.
class RecognitionServer {
  public:
    explicit RecognitionServer(const nlohmann::json& script);
    ~RecognitionServer();

    int port() const { return port_; }
    // A decoder URL for the manager: ws://127.0.0.1:<port>/ws/client/speech
    std::string decoderUrl() const;

    // Everything recorded so far, one object per event.
    std::vector<nlohmann::json> events() const;
    std::vector<nlohmann::json> events(const std::string& type) const;
    std::vector<std::string> textMessages() const;
    std::vector<Data> binaryMessages() const;
    // Waits (without running any run loop) until the predicate over the events holds.
    bool waitFor(const std::function<bool(const std::vector<nlohmann::json>&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    // Common replies.
    static nlohmann::json finalResult(const std::vector<std::string>& transcripts,
                                      double confidence);

  private:
    TemporaryDirectory directory_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace varen::test
