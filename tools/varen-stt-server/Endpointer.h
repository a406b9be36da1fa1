// Energy-based end of utterance detection over decoded PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace varen::server {

// Tells when an utterance has ended: after some speech, a run of silence of at least the
// configured length. Works on 20 ms blocks of 8 kHz PCM; a block is speech when its level stands
// clearly above a slowly adapting noise floor (and above an absolute floor, so that digital
// silence with a little codec noise never counts as speech).
//
// Thread safety: none; a session's decoding strand owns it.
class Endpointer {
  public:
    static constexpr std::size_t kBlockSamples = 160;

    explicit Endpointer(double minSilenceSeconds);

    // Feeds samples; true once the utterance has ended (and from then on until reset()).
    bool feed(std::span<const std::int16_t> samples);
    void reset();

    bool heardSpeech() const { return heardSpeech_; }
    double trailingSilenceSeconds() const;

  private:
    // Speech shorter than this (a click, a burst of codec noise) does not start an utterance.
    static constexpr int kMinSpeechBlocks = 5;

    void block(double levelDb);

    static constexpr int kSampleRate = 8000;

    double minSilence_;
    double noiseFloorDb_ = 0.0;
    bool haveFloor_ = false;
    int speechRun_ = 0;  // consecutive speech blocks
    bool heardSpeech_ = false;
    long silentSamples_ = 0;
    bool ended_ = false;
    double sumSquares_ = 0.0;
    std::size_t pending_ = 0;
};

}  // namespace varen::server
