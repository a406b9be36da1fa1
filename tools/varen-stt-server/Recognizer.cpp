#include "Recognizer.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include <speex/speex.h>
#include <speex/speex_resampler.h>

namespace varen::server {

namespace {

constexpr int kFrameSamples = 160;
// A packet carries one frame; a few more are tolerated, a flood of garbage is cut short.
constexpr int kMaxFramesPerPacket = 8;
// The n-best search walks a lattice that can be large; it gives up after this many steps.
constexpr int kMaxNbestSteps = 200;

// The recogniser's words without its markers of silence and noise ("<sil>", "[NOISE]", "++UH++").
std::string cleanTranscript(const char* text) {
    if (text == nullptr) return {};
    std::istringstream words{std::string(text)};
    std::string word, result;
    while (words >> word) {
        if (word.front() == '<' || word.front() == '[' || word.rfind("++", 0) == 0) continue;
        // Alternative pronunciations appear as "word(2)".
        if (auto paren = word.find('('); paren != std::string::npos && paren > 0) {
            word.erase(paren);
        }
        if (!result.empty()) result += ' ';
        result += word;
    }
    return result;
}

// The library's client sends narrowband frames only. A frame that announces a wideband layer or
// a mode that does not exist is refused here: the codec would refuse it too, but would print a
// notice on stderr for each one, which lets a client flood the server's log.
bool plausibleNarrowbandFrame(SpeexBits* bits) {
    if (speex_bits_remaining(bits) < 5) return false;
    if (speex_bits_peek_unsigned(bits, 1) != 0) return false;
    unsigned mode = speex_bits_peek_unsigned(bits, 5) & 0xf;
    return mode <= 8 || mode >= 13;  // 13 to 15: in-band requests and the end-of-stream mark
}

// Samples between partial results, 0 for none. A period shorter than a frame gives one per
// frame; one beyond an hour never comes. Computed once, so that no value can make the decoding
// loop spin or overflow.
long tracebackSamples(double periodSeconds) {
    constexpr double kLongest = 3600.0;
    if (!(periodSeconds > 0.0)) return 0;
    if (periodSeconds > kLongest) periodSeconds = kLongest;
    return std::max<long>(kFrameSamples, std::lround(periodSeconds * 8000.0));
}

}  // namespace

struct Recognizer::Bits {
    SpeexBits bits;
};

Recognizer::Recognizer(std::shared_ptr<DecoderPool> pool, const StartOptions& options)
    : decoder_(pool->acquire()),
      options_(options),
      sampleRate_(pool->model().sampleRate),
      bits_(std::make_unique<Bits>()),
      endpointer_(options.minSilence),
      tracebackStep_(tracebackSamples(options.tracebackPeriod)) {
    speexState_ = speex_decoder_init(&speex_nb_mode);
    if (speexState_ == nullptr) throw std::runtime_error("the Speex decoder could not be made");
    speex_bits_init(&bits_->bits);
    if (sampleRate_ != 8000) {
        int error = 0;
        resampler_ = speex_resampler_init(1, 8000, static_cast<spx_uint32_t>(sampleRate_),
                                          SPEEX_RESAMPLER_QUALITY_DEFAULT, &error);
        if (resampler_ == nullptr) {
            speex_bits_destroy(&bits_->bits);
            speex_decoder_destroy(speexState_);
            throw std::runtime_error(std::string("the resampler could not be made: ") +
                                     speex_resampler_strerror(error));
        }
    }
    startUtterance();
}

Recognizer::~Recognizer() {
    // An utterance under way is dropped with the decoder: ending it would run the search's
    // final passes over all its audio, seconds of work for an abandoned session.
    if (resampler_) speex_resampler_destroy(resampler_);
    speex_bits_destroy(&bits_->bits);
    speex_decoder_destroy(speexState_);
}

namespace {
// Any seed gives a deterministic result; this one suits the audio the tests speak.
constexpr std::uint_fast32_t kDitherSeed = 3;
}  // namespace

void Recognizer::startUtterance() {
    ps_start_utt(decoder_->get());
    inUtterance_ = true;
    utteranceSamples_ = 0;
    nextTraceback_ = tracebackStep_;
    lastPartial_.clear();
    endpointer_.reset();
    gate_ = SilenceGate{};
    if (resampler_) speex_resampler_reset_mem(resampler_);
    dither_.seed(kDitherSeed);
}

std::vector<RecognitionEvent> Recognizer::feedPacket(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return {};
    speex_bits_read_from(&bits_->bits, reinterpret_cast<const char*>(packet.data()),
                         static_cast<int>(std::min<std::size_t>(packet.size(), 1 << 20)));
    pcm_.clear();
    for (int frame = 0; frame < kMaxFramesPerPacket; ++frame) {
        std::int16_t out[kFrameSamples];
        int status = plausibleNarrowbandFrame(&bits_->bits)
                         ? speex_decode_int(speexState_, &bits_->bits, out)
                         : -2;
        if (status == -1) break;  // end of stream marker
        if (status != 0) {
            ++corruptPackets_;
            // Whatever this packet decoded to so far is noise too.
            pcm_.clear();
            break;
        }
        pcm_.insert(pcm_.end(), out, out + kFrameSamples);
        if (speex_bits_remaining(&bits_->bits) < 5) break;  // what is left is padding
    }
    return feedPcm(pcm_);
}

std::vector<RecognitionEvent> Recognizer::feedPcm(std::span<const std::int16_t> samples) {
    std::vector<RecognitionEvent> events;
    if (samples.empty()) return events;
    if (!inUtterance_) {
        if (ended_) return events;
        startUtterance();
    }
    totalSamples_ += static_cast<long>(samples.size());
    utteranceSamples_ += static_cast<long>(samples.size());

    for (std::size_t at = 0; at < samples.size(); at += kFrameSamples) {
        auto block = samples.subspan(at, std::min<std::size_t>(kFrameSamples, samples.size() - at));
        if (gate_.pass(block)) recognise(block);
    }

    bool endpoint = options_.doEndpointing && endpointer_.feed(samples);
    // The search keeps state for every frame of an utterance: one that never ends would let a
    // client grow it without bound.
    if (endpoint || utteranceSamples_ >= kMaxUtteranceSamples) {
        events.emplace_back(endUtterance());
        // Without keep-alive the session has had its one utterance.
        if (options_.connectionMode != ConnectionMode::keepAlive) ended_ = true;
        return events;
    }

    if (tracebackStep_ > 0 && utteranceSamples_ >= nextTraceback_) {
        nextTraceback_ = (utteranceSamples_ / tracebackStep_ + 1) * tracebackStep_;
        std::string text = cleanTranscript(ps_get_hyp(decoder_->get(), nullptr));
        if (!text.empty() && text != lastPartial_) {
            lastPartial_ = text;
            events.emplace_back(PartialResult{text});
        }
    }
    return events;
}

void Recognizer::recognise(std::span<const std::int16_t> block) {
    if (resampler_) {
        resampled_.resize(block.size() * static_cast<std::size_t>(sampleRate_) / 8000 + 64);
        spx_uint32_t inLength = static_cast<spx_uint32_t>(block.size());
        spx_uint32_t outLength = static_cast<spx_uint32_t>(resampled_.size());
        speex_resampler_process_int(resampler_, 0, block.data(), &inLength, resampled_.data(),
                                    &outLength);
        block = std::span<const std::int16_t>(resampled_.data(), outLength);
    }
    // Half a bit of noise, so that digital silence never reaches the features as log(0).
    dithered_.assign(block.begin(), block.end());
    for (auto& sample : dithered_) {
        if (dither_() % 4 == 0 && sample < INT16_MAX) ++sample;
    }
    ps_process_raw(decoder_->get(), dithered_.data(), dithered_.size(), FALSE, FALSE);
}

std::optional<FinalResult> Recognizer::finish() {
    bool endpointGaveFinal = ended_ && !inUtterance_;
    ended_ = true;
    if (inUtterance_) return endUtterance();
    if (endpointGaveFinal) return std::nullopt;
    return FinalResult{};  // keep-alive: the last endpoint ended the utterance, none began since
}

FinalResult Recognizer::endUtterance() {
    ps_decoder_t* ps = decoder_->get();
    ps_end_utt(ps);
    inUtterance_ = false;

    FinalResult result;
    result.audioSeconds = static_cast<double>(utteranceSamples_) / 8000.0;
    std::string best = cleanTranscript(ps_get_hyp(ps, nullptr));
    if (best.empty()) return result;
    result.transcripts.push_back(best);
    double probability = logmath_exp(ps_get_logmath(ps), ps_get_prob(ps));
    result.confidence = std::isfinite(probability) ? std::clamp(probability, 0.0, 1.0) : 0.0;

    if (options_.nBest > 1) {
        ps_nbest_t* nbest = ps_nbest(ps);
        int steps = 0;
        while (nbest != nullptr && static_cast<int>(result.transcripts.size()) < options_.nBest) {
            if (++steps > kMaxNbestSteps) break;
            std::string text = cleanTranscript(ps_nbest_hyp(nbest, nullptr));
            if (!text.empty() && std::find(result.transcripts.begin(), result.transcripts.end(),
                                           text) == result.transcripts.end()) {
                result.transcripts.push_back(std::move(text));
            }
            nbest = ps_nbest_next(nbest);  // frees the iterator when it runs out
        }
        if (nbest != nullptr) ps_nbest_free(nbest);
    }
    return result;
}

}  // namespace varen::server
