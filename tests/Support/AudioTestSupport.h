#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Support/TestSupport.h"

namespace varen::test {

// Signals as signed 16-bit samples.
std::vector<std::int16_t> squareWave(std::size_t samples, std::int16_t amplitude,
                                     std::size_t period = 16);
std::vector<std::int16_t> sineWave(std::size_t samples, double amplitude, double frequency,
                                   double sampleRate);

// Writes a 16-bit PCM WAV file; `samples` interleaved when there are several channels.
void writeWavFile(const std::filesystem::path& path, const std::vector<std::int16_t>& samples,
                  std::uint32_t sampleRate, std::uint16_t channels = 1);

// Speaks the text into a WAV file with flite (a 16 kHz mono voice). False when flite failed.
bool synthesizeSpeech(const std::string& text, const std::filesystem::path& path);

// A PulseAudio server of the test's own with one null sink; this process's audio clients
// (PortAudio through ALSA's pulse plugin) talk to it. Stopped by the destructor, and killed
// with the test process if that ends first.
class AudioPulseServer {
  public:
    // None, with `whyNot` set, when the server cannot run here.
    static std::unique_ptr<AudioPulseServer> start(const std::string& sinkName,
                                                   std::string* whyNot);
    ~AudioPulseServer();

    // Starts `paplay` playing the file into the sink.
    std::unique_ptr<ChildProcess> play(const std::filesystem::path& file) const;
    const std::filesystem::path& runtimeDirectory() const { return directory_.path(); }

  private:
    AudioPulseServer() = default;
    std::string environmentPrefix() const;

    TemporaryDirectory directory_;
    std::string sinkName_;
    std::optional<std::string> previousServer_;
    pid_t pid_ = -1;
};

}  // namespace varen::test
