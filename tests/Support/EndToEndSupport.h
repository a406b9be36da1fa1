// Helpers of the end-to-end tests and benchmarks: the reference server as a child process,
// speech made with flite, and varen-stt runs with their JSON events.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Support/TestSupport.h"

namespace varen::test {

// The built varen-stt-server on an ephemeral port of 127.0.0.1.
class EndToEndServer {
  public:
    // Starts the binary with the extra arguments and waits until it listens; throws
    // std::runtime_error (with the server's stderr) when it does not come up.
    EndToEndServer(const std::filesystem::path& binary, std::vector<std::string> arguments = {});
    ~EndToEndServer();
    EndToEndServer(const EndToEndServer&) = delete;
    EndToEndServer& operator=(const EndToEndServer&) = delete;

    std::uint16_t port() const { return port_; }
    // The decoder URL the library is given: ws://127.0.0.1:PORT/ws/client/speech.
    std::string decoderUrl() const;
    std::string log() const { return process_->standardError(); }
    // Waits until a log line contains `text`; gives that line.
    std::optional<std::string> waitForLog(const std::string& text,
                                          std::chrono::milliseconds timeout) const;
    // User plus system CPU time the server has used so far.
    double cpuSeconds() const;
    void kill() { process_->kill(), process_->wait(std::chrono::seconds(5)); }

  private:
    std::unique_ptr<ChildProcess> process_;
    std::uint16_t port_ = 0;
};

// "4271" → "four two seven one", the words the recogniser writes.
std::string digitWords(const std::string& digits);

// `text` spoken by flite's `voice` into a WAV file in `folder` (16 kHz as flite writes it),
// preceded by `leadingSilence` and followed by `trailingSilence` seconds of digital silence (sox,
// without dither so that the file is the same every time). Throws std::runtime_error when a tool
// fails.
std::filesystem::path speak(const std::filesystem::path& folder, const std::string& name,
                            const std::string& text, const std::string& voice = "kal",
                            double trailingSilence = 0.0, double leadingSilence = 0.0);

// Seconds of audio in a sound file, by soxi; 0 when it cannot be read.
double audioSeconds(const std::filesystem::path& file);

// One varen-stt run, under its own HOME so that the recording lands in a known folder.
class ToolRun {
  public:
    ToolRun(const std::filesystem::path& tool, const std::filesystem::path& home,
            std::vector<std::string> arguments);

    // Waits for the end; the exit status, or none on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    // The JSON events of stdout so far, in order (lines that are not JSON are skipped).
    std::vector<nlohmann::json> events() const;
    std::vector<nlohmann::json> events(const std::string& kind) const;
    std::string standardError() const { return process_->standardError(); }
    // Both outputs, for failure messages.
    std::string output() const {
        return "stdout:\n" + process_->standardOutput() + "stderr:\n" + process_->standardError();
    }
    // Waits until an event of this kind has been printed.
    bool waitForEvent(const std::string& kind, std::chrono::milliseconds timeout) const;

  private:
    std::unique_ptr<ChildProcess> process_;
};

// The transcripts of a run's final events, best first, of its first final.
std::vector<std::string> finalTranscripts(const std::vector<nlohmann::json>& events);

}  // namespace varen::test
