#include <sndfile.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

#include "Platform/Audio/InputSource.h"

namespace varen::platform {

namespace {

constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_DEFAULT;
constexpr std::size_t kReadFrames = 2048;

std::string quoted(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

// Decodes a file with libsndfile, mixes it to mono, resamples it to the queue's rate and hands
// it out at `speed` times real time.
//
// Thread safety: decoding state belongs to the queue thread (`fill`); the pace is shared with
// `start`, which may come from any thread, under `mutex_`.
class FileInputSource final : public InputSource {
  public:
    FileInputSource(SNDFILE* file, const SF_INFO& info, std::uint32_t rate, double speed,
                    SpeexResamplerState* resampler)
        : file_(file), info_(info), rate_(rate), speed_(speed), resampler_(resampler) {}

    ~FileInputSource() override {
        if (resampler_) speex_resampler_destroy(resampler_);
        sf_close(file_);
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

        Clock::time_point deadline;
        {
            std::lock_guard lock(mutex_);
            deadline = paceStart_ + paced(handedOut_ + count);
        }
        if (std::isfinite(speed_) && !waitUntil(deadline)) return {};

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

    Clock::duration playOutDelay(std::uint32_t capacity) const override {
        return paced(capacity / sizeof(std::int16_t));
    }

  private:
    Clock::duration paced(std::uint64_t samples) const {
        if (!std::isfinite(speed_)) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(samples) / rate_ / speed_));
    }

    // Reads one block and appends its resampled mono samples; at the end of the file it
    // flushes the resampler and trims the output to the length the input implies.
    void decodeStep() {
        const auto channels = std::size_t(info_.channels);
        interleaved_.resize(kReadFrames * channels);
        const sf_count_t frames = sf_readf_short(file_, interleaved_.data(), kReadFrames);
        if (frames <= 0) {
            finish();
            return;
        }
        framesRead_ += std::uint64_t(frames);
        mono_.resize(std::size_t(frames));
        for (sf_count_t f = 0; f < frames; ++f) {
            std::int32_t sum = 0;
            for (std::size_t c = 0; c < channels; ++c)
                sum += interleaved_[std::size_t(f) * channels + c];
            mono_[std::size_t(f)] = std::int16_t(sum / std::int32_t(channels));
        }
        append(mono_.data(), mono_.size());
    }

    void append(const std::int16_t* input, std::size_t count) {
        if (!resampler_) {
            pending_.insert(pending_.end(), input, input + count);
            produced_ += count;
            return;
        }
        while (count > 0) {
            spx_uint32_t inLength = spx_uint32_t(count);
            std::int16_t out[4096];
            spx_uint32_t outLength = std::size(out);
            speex_resampler_process_int(resampler_, 0, input, &inLength, out, &outLength);
            pending_.insert(pending_.end(), out, out + outLength);
            produced_ += outLength;
            input += inLength;
            count -= inLength;
            if (inLength == 0 && outLength == 0) break;
        }
    }

    void finish() {
        if (resampler_) {
            // Push the filter's latency of silence through to get the file's last samples out.
            std::vector<std::int16_t> zeros(
                std::size_t(speex_resampler_get_input_latency(resampler_)), 0);
            append(zeros.data(), zeros.size());
            const std::uint64_t expected =
                (framesRead_ * rate_ + std::uint64_t(info_.samplerate) / 2) /
                std::uint64_t(info_.samplerate);
            if (produced_ > expected) {
                pending_.resize(pending_.size() - std::size_t(produced_ - expected));
                produced_ = expected;
            }
        }
        drained_ = true;
    }

    SNDFILE* const file_;
    const SF_INFO info_;
    const std::uint32_t rate_;
    const double speed_;
    SpeexResamplerState* const resampler_;

    // Queue thread only.
    std::vector<std::int16_t> interleaved_;
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
    SF_INFO info{};
    SNDFILE* file = sf_open(description.path().c_str(), SFM_READ, &info);
    if (!file) {
        return AudioFailure{
            kAudioFileUnsupportedFileTypeError,
            "cannot read audio file " + quoted(description.path()) + ": " + sf_strerror(nullptr)};
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        return AudioFailure{
            kAudioFileUnsupportedFileTypeError,
            "cannot read audio file " + quoted(description.path()) + ": no audio channels"};
    }
    SpeexResamplerState* resampler = nullptr;
    if (std::uint32_t(info.samplerate) != sampleRate) {
        int error = 0;
        resampler = speex_resampler_init(1, spx_uint32_t(info.samplerate), sampleRate,
                                         kResamplerQuality, &error);
        if (!resampler) {
            sf_close(file);
            return AudioFailure{kAudioFileUnsupportedFileTypeError,
                                "cannot resample audio file " + quoted(description.path()) + ": " +
                                    speex_resampler_strerror(error)};
        }
        // Drop the filter's leading delay so the output lines up with the input.
        speex_resampler_skip_zeros(resampler);
    }
    return std::unique_ptr<InputSource>(
        std::make_unique<FileInputSource>(file, info, sampleRate, speed, resampler));
}

}  // namespace varen::platform
