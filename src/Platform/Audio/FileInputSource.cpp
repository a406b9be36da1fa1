#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

#include "Platform/Audio/InputSource.h"
#include "Platform/Audio/PcmFileDecoder.h"
#include "Platform/Audio/Resampling.h"
#include "varenstt/Platform/Log.h"

namespace varen::platform {

namespace {

constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_DEFAULT;

std::string quoted(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

// Decodes a file to mono, resamples it to the queue's rate and hands it out at `speed` times
// real time.
//
// Thread safety: decoding state belongs to the queue thread (`fill`); the pace is shared with
// `start`, which may come from any thread, under `mutex_`.
class FileInputSource final : public InputSource {
  public:
    FileInputSource(std::filesystem::path path, std::unique_ptr<PcmFileDecoder> decoder,
                    std::uint32_t rate, double speed, SpeexResamplerState* resampler)
        : path_(std::move(path)),
          decoder_(std::move(decoder)),
          rate_(rate),
          speed_(speed),
          resampler_(resampler) {}

    ~FileInputSource() override {
        if (resampler_) speex_resampler_destroy(resampler_);
    }

    Result<void, AudioFailure> start() override {
        auto started = InputSource::start();
        std::lock_guard lock(mutex_);
        // Pace from where the previous run left off.
        paceStart_ = Clock::now() - paced(handedOut_);
        return started;
    }

    Fill fill(std::uint8_t* data, std::uint32_t capacity) override {
        const std::size_t wanted = capacity / sizeof(std::int16_t);
        // Decode one step beyond what is wanted, so the last delivery knows it is the last.
        while (pending_.size() - pendingOffset_ <= wanted && !drained_) decodeStep();

        const std::size_t count = std::min(wanted, pending_.size() - pendingOffset_);
        const bool ended = drained_ && pending_.size() - pendingOffset_ == count;
        if (count == 0) return Fill{.ended = ended};

        if (!playUpTo(count)) return {};

        std::memcpy(data, pending_.data() + pendingOffset_, count * sizeof(std::int16_t));
        pendingOffset_ += count;
        if (pendingOffset_ > (1u << 16) && pendingOffset_ * 2 > pending_.size()) {
            pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(pendingOffset_));
            pendingOffset_ = 0;
        }
        {
            std::lock_guard lock(mutex_);
            handedOut_ += count;
        }
        return Fill{.byteCount = std::uint32_t(count * sizeof(std::int16_t)),
                    .packetCount = std::uint32_t(count),
                    .delivered = true,
                    .ended = ended};
    }

    bool metersAsCaptured() const override { return true; }

    Clock::duration playOutDelay(std::uint32_t capacity) const override {
        return paced(capacity / sizeof(std::int16_t));
    }

  private:
    // Waits until the next `count` samples have played at the source's pace. The meter hears
    // them as they play, a slice at a time (meters refresh every 50 ms, buffers come every
    // 0.5 s), without this thread waking for each slice. False when the source was stopped
    // meanwhile.
    bool playUpTo(std::size_t count) {
        const std::int16_t* samples = pending_.data() + pendingOffset_;
        if (!std::isfinite(speed_)) {
            publishLevel(samples, count * sizeof(std::int16_t));
            return true;
        }
        Clock::time_point from;
        {
            std::lock_guard lock(mutex_);
            from = paceStart_ + paced(handedOut_);
        }
        const std::size_t slice =
            std::max<std::size_t>(1, std::size_t(double(rate_) * speed_ * kMeterSlice));
        for (std::size_t played = 0; played < count;) {
            const std::size_t n = std::min(slice, count - played);
            played += n;
            publishLevel(samples + played - n, n * sizeof(std::int16_t), from + paced(played));
        }
        return waitUntil(from + paced(count));
    }

    // Seconds of wall time between the meter's slices: half its refresh period.
    static constexpr double kMeterSlice = 0.025;

    Clock::duration paced(std::uint64_t samples) const {
        if (!std::isfinite(speed_)) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(samples) / rate_ / speed_));
    }

    // Decodes one block and appends its resampled samples; at the end of the audio it flushes
    // the resampler and trims the output to the length the input implies.
    void decodeStep() {
        if (!decoder_->decodeNext(mono_)) {
            finish();
            return;
        }
        framesRead_ += mono_.size();
        append(mono_.data(), mono_.size());
    }

    void append(const std::int16_t* input, std::size_t count) {
        produced_ += appendResampled(resampler_, input, count, pending_);
    }

    void finish() {
        if (resampler_) {
            // Push the filter's latency of silence through to get the file's last samples out.
            std::vector<std::int16_t> zeros(
                std::size_t(speex_resampler_get_input_latency(resampler_)), 0);
            append(zeros.data(), zeros.size());
            const std::uint64_t expected =
                (framesRead_ * rate_ + decoder_->sampleRate() / 2) / decoder_->sampleRate();
            if (produced_ > expected) {
                pending_.resize(pending_.size() - std::size_t(produced_ - expected));
                produced_ = expected;
            }
        }
        // The audio already handed out stands; the rest of the file is lost.
        if (!decoder_->fault().empty()) {
            log("audio file " + quoted(path_) + " ends early: " + decoder_->fault());
        }
        drained_ = true;
    }

    const std::filesystem::path path_;
    const std::unique_ptr<PcmFileDecoder> decoder_;
    const std::uint32_t rate_;
    const double speed_;
    SpeexResamplerState* const resampler_;

    // Queue thread only.
    std::vector<std::int16_t> mono_;
    std::vector<std::int16_t> pending_;
    std::size_t pendingOffset_ = 0;
    std::uint64_t framesRead_ = 0;
    std::uint64_t produced_ = 0;
    bool drained_ = false;

    // Guarded by mutex_: `start` sets the pace from any thread.
    Clock::time_point paceStart_{};
    std::uint64_t handedOut_ = 0;
};

}  // namespace

MadeInputSource makeFileInputSource(const AudioInputSource& description, std::uint32_t sampleRate) {
    const double speed = description.speed();
    if (!(speed > 0)) {
        return AudioFailure{kAudioQueueErr_InvalidParameter,
                            "invalid playback speed for audio file " + quoted(description.path())};
    }
    std::error_code ec;
    if (!std::filesystem::exists(description.path(), ec)) {
        return AudioFailure{kAudioFileNotFoundError,
                            "audio file not found: " + quoted(description.path())};
    }
    auto decoder = openPcmFileDecoder(description.path());
    if (!decoder) {
        return AudioFailure{
            kAudioFileUnsupportedFileTypeError,
            "cannot read audio file " + quoted(description.path()) + ": " + decoder.error()};
    }
    const std::uint32_t fileRate = (*decoder)->sampleRate();
    SpeexResamplerState* resampler = nullptr;
    if (fileRate != sampleRate) {
        int error = 0;
        resampler = speex_resampler_init(1, fileRate, sampleRate, kResamplerQuality, &error);
        if (!resampler) {
            return AudioFailure{kAudioFileUnsupportedFileTypeError,
                                "cannot resample audio file " + quoted(description.path()) + ": " +
                                    speex_resampler_strerror(error)};
        }
        // Drop the filter's leading delay so the output lines up with the input.
        speex_resampler_skip_zeros(resampler);
    }
    return std::unique_ptr<InputSource>(std::make_unique<FileInputSource>(
        description.path(), std::move(*decoder), sampleRate, speed, resampler));
}

std::optional<double> audioFileDuration(const std::filesystem::path& path) {
    auto decoder = openPcmFileDecoder(path);
    if (!decoder) return std::nullopt;
    const auto length = (*decoder)->length();
    if (!length) return std::nullopt;
    return double(*length) / (*decoder)->sampleRate();
}

MadePcmFileDecoder openPcmFileDecoder(const std::filesystem::path& path) {
    // By content, not by name: recordings may be renamed, and libsndfile knows no Speex.
    return isOggSpeexFile(path) ? openOggSpeexDecoder(path) : openSndfileDecoder(path);
}

}  // namespace varen::platform
