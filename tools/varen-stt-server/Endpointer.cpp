#include "Endpointer.h"

#include <algorithm>
#include <cmath>

namespace varen::server {

namespace {
constexpr double kAbsoluteFloorDb = -55.0;  // dBFS; below this a block is silence whatever else
constexpr double kSpeechMarginDb = 15.0;    // above the noise floor
}  // namespace

Endpointer::Endpointer(double minSilenceSeconds) : minSilence_(minSilenceSeconds) {}

void Endpointer::reset() {
    speechRun_ = 0;
    heardSpeech_ = false;
    silentSamples_ = 0;
    ended_ = false;
    sumSquares_ = 0.0;
    pending_ = 0;
}

double Endpointer::trailingSilenceSeconds() const {
    return static_cast<double>(silentSamples_) / kSampleRate;
}

bool Endpointer::feed(std::span<const std::int16_t> samples) {
    for (std::int16_t sample : samples) {
        double s = sample / 32768.0;
        sumSquares_ += s * s;
        if (++pending_ == kBlockSamples) {
            double meanSquare = sumSquares_ / kBlockSamples;
            block(10.0 * std::log10(std::max(meanSquare, 1e-16)));
            sumSquares_ = 0.0;
            pending_ = 0;
        }
    }
    return ended_;
}

void Endpointer::block(double levelDb) {
    if (!haveFloor_) {
        noiseFloorDb_ = levelDb;
        haveFloor_ = true;
    }
    bool speech = levelDb > kAbsoluteFloorDb && levelDb > noiseFloorDb_ + kSpeechMarginDb;

    // The floor follows quiet blocks quickly downwards and creeps up slowly, so that a long
    // utterance does not raise it to the level of speech.
    if (levelDb < noiseFloorDb_) {
        noiseFloorDb_ = 0.7 * noiseFloorDb_ + 0.3 * levelDb;
    } else if (!speech) {
        noiseFloorDb_ += std::min(0.05, levelDb - noiseFloorDb_);
    }

    if (ended_) return;
    if (speech) {
        if (++speechRun_ >= kMinSpeechBlocks) heardSpeech_ = true;
        silentSamples_ = 0;
        return;
    }
    speechRun_ = 0;
    if (heardSpeech_) {
        silentSamples_ += static_cast<long>(kBlockSamples);
        if (trailingSilenceSeconds() >= minSilence_) ended_ = true;
    }
}

}  // namespace varen::server
