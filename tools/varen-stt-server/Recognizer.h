// The decoding pipeline of one session: Speex packets in, partial and final results out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "Endpointer.h"
#include "Models.h"
#include "Protocol.h"

struct SpeexResamplerState_;

namespace varen::server {

// Lets through at most a short stretch of each run of digital silence (samples at most a few
// steps from zero). The recogniser was trained on recordings that always carry some noise: given
// a second of exact silence before speech it tends to hear a word in it.
//
// Thread safety: none.
class SilenceGate {
  public:
    static constexpr int kQuietPeak = 32;       // of 32767
    static constexpr long kKeptSamples = 2400;  // 0.3 s at 8 kHz

    // True when the block goes to the recogniser.
    bool pass(std::span<const std::int16_t> block) {
        bool quiet = true;
        for (std::int16_t sample : block) {
            if (sample > kQuietPeak || sample < -kQuietPeak) {
                quiet = false;
                break;
            }
        }
        if (!quiet) {
            quietSamples_ = 0;
            return true;
        }
        quietSamples_ += static_cast<long>(block.size());
        return quietSamples_ <= kKeptSamples;
    }

  private:
    long quietSamples_ = 0;
};

struct PartialResult {
    std::string transcript;
};

struct FinalResult {
    std::vector<std::string> transcripts;  // best first; empty when nothing was recognised
    double confidence = 0.0;               // posterior probability of the best, 0 to 1
    double audioSeconds = 0.0;             // of the utterance
};

using RecognitionEvent = std::variant<PartialResult, FinalResult>;

// Decodes Speex narrowband packets, resamples them to the model's rate and recognises them;
// reports a partial result at most every traceback period of audio when the text changed, and,
// with endpointing, the final result after enough silence following speech. An utterance that
// reaches kMaxUtteranceSamples ends there as at an endpoint, with or without endpointing.
//
// Thread safety: none; it belongs to one session's worker, the thread that made it, and must be
// destroyed there too (its decoder shares that thread's language model).
class Recognizer {
  public:
    static constexpr long kMaxUtteranceSamples = 300L * 8000;  // five minutes

    // Takes a fresh decoder of the pool (making one may take a while) and starts an utterance.
    // Throws std::runtime_error when the recogniser cannot be made.
    Recognizer(std::shared_ptr<DecoderPool> pool, const StartOptions& options);
    ~Recognizer();
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    // One packet. A packet that does not decode is skipped (and counted). After an endpoint
    // the utterance is over: in keep-alive mode a new one starts with the next packet, otherwise
    // further packets are ignored.
    std::vector<RecognitionEvent> feedPacket(std::span<const std::uint8_t> packet);

    // Ends the utterance and gives its result. Nothing when an endpoint already gave the
    // session's final result; an empty result in keep-alive mode when no audio came since the
    // last endpoint. Later packets are ignored.
    std::optional<FinalResult> finish();

    // Feeds 8 kHz PCM directly, bypassing the codec (used by the packet path).
    std::vector<RecognitionEvent> feedPcm(std::span<const std::int16_t> samples);

    long corruptPackets() const { return corruptPackets_; }
    double totalAudioSeconds() const { return static_cast<double>(totalSamples_) / 8000.0; }

  private:
    void startUtterance();
    void recognise(std::span<const std::int16_t> block);
    FinalResult endUtterance();

    std::unique_ptr<Decoder> decoder_;
    StartOptions options_;
    int sampleRate_;
    void* speexState_ = nullptr;
    struct Bits;
    std::unique_ptr<Bits> bits_;
    SpeexResamplerState_* resampler_ = nullptr;
    Endpointer endpointer_;
    SilenceGate gate_;
    long tracebackStep_;  // samples between partial results; 0: none

    bool inUtterance_ = false;
    bool ended_ = false;         // an endpoint ended the session's only utterance
    long utteranceSamples_ = 0;  // 8 kHz samples of the current utterance
    long nextTraceback_ = 0;
    std::string lastPartial_;
    long corruptPackets_ = 0;
    long totalSamples_ = 0;
    std::vector<std::int16_t> pcm_;
    std::vector<std::int16_t> resampled_;
    // The recogniser's own dither draws from one generator shared by the whole process, so
    // results would depend on other sessions; each utterance gets its own, seeded alike.
    std::minstd_rand dither_;
    std::vector<std::int16_t> dithered_;
};

}  // namespace varen::server
