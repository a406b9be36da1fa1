#include <speex/speex_resampler.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "Platform/Audio/InputSource.h"
#include "Platform/Audio/Resampling.h"
#include "varenstt/Platform/Log.h"

namespace varen::platform {

struct PushedAudio::State {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::int16_t> waiting;
    bool ended = false;
    bool interrupted = false;
    bool loggedOverflow = false;
};

PushedAudio::PushedAudio(std::uint32_t sampleRate)
    : sampleRate_(sampleRate), state_(std::make_unique<State>()) {}

PushedAudio::~PushedAudio() = default;

void PushedAudio::push(const std::int16_t* samples, std::size_t count) {
    if (count == 0) return;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->ended) return;
        auto& waiting = state_->waiting;
        waiting.insert(waiting.end(), samples, samples + count);
        // A host pushing into a run that does not take its audio must not grow without end.
        const std::size_t limit = std::size_t(sampleRate_) * 60;
        if (waiting.size() > limit) {
            waiting.erase(waiting.begin(),
                          waiting.begin() + std::ptrdiff_t(waiting.size() - limit));
            if (!state_->loggedOverflow) {
                state_->loggedOverflow = true;
                log(LogLevel::warning, "Dropping pushed audio: over a minute waits to be taken");
            }
        }
    }
    state_->arrived.notify_all();
}

void PushedAudio::end() {
    {
        std::lock_guard lock(state_->mutex);
        state_->ended = true;
    }
    state_->arrived.notify_all();
}

void PushedAudio::interrupt() {
    {
        std::lock_guard lock(state_->mutex);
        state_->interrupted = true;
    }
    state_->arrived.notify_all();
}

PushedAudio::Taken PushedAudio::takeUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    state_->arrived.wait_until(lock, deadline, [&] {
        return !state_->waiting.empty() || state_->ended || state_->interrupted;
    });
    state_->interrupted = false;
    Taken taken;
    taken.samples.assign(state_->waiting.begin(), state_->waiting.end());
    state_->waiting.clear();
    taken.ended = state_->ended;
    return taken;
}

namespace {

// The host's pushed audio, resampled to the queue's rate, delivered in whole buffers as soon as
// one is full (the rest once the host ends). The meter hears it as it is taken.
//
// Thread safety: `fill` runs on the queue's thread; `stop` may come from any thread and wakes
// a waiting `fill` through the feed.
class PushedInputSource final : public InputSource {
  public:
    PushedInputSource(std::shared_ptr<PushedAudio> feed, SpeexResamplerState* resampler)
        : feed_(std::move(feed)), resampler_(resampler) {}

    ~PushedInputSource() override {
        if (resampler_) speex_resampler_destroy(resampler_);
    }

    void stop() override {
        InputSource::stop();
        feed_->interrupt();
    }

    bool metersAsCaptured() const override { return true; }

    Fill fill(std::uint8_t* data, std::uint32_t capacity) override {
        const std::size_t wanted = capacity / sizeof(std::int16_t);
        while (pending_.size() < wanted && !ended_) {
            if (stopped()) return {};
            // `stop` wakes the wait through the feed (even one not yet begun); the deadline only
            // bounds it.
            auto taken = feed_->takeUntil(Clock::now() + std::chrono::seconds(1));
            append(taken.samples);
            if (taken.ended) finish();
        }
        const std::size_t count = std::min(wanted, pending_.size());
        if (count == 0) return Fill{.ended = true};
        std::memcpy(data, pending_.data(), count * sizeof(std::int16_t));
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(count));
        return Fill{.byteCount = std::uint32_t(count * sizeof(std::int16_t)),
                    .packetCount = std::uint32_t(count),
                    .delivered = true,
                    .ended = ended_ && pending_.empty()};
    }

    Clock::duration playOutDelay(std::uint32_t) const override { return Clock::duration::zero(); }

  private:
    bool stopped() {
        std::lock_guard lock(mutex_);
        return stoppedLocked();
    }

    void append(const std::vector<std::int16_t>& samples) {
        const std::size_t before = pending_.size();
        const std::size_t added =
            appendResampled(resampler_, samples.data(), samples.size(), pending_);
        if (added > 0) publishLevel(pending_.data() + before, added * sizeof(std::int16_t));
    }

    // The resampler's latency of silence brings the last samples out.
    void finish() {
        ended_ = true;
        if (!resampler_) return;
        append(std::vector<std::int16_t>(std::size_t(speex_resampler_get_input_latency(resampler_)),
                                         0));
    }

    const std::shared_ptr<PushedAudio> feed_;
    SpeexResamplerState* const resampler_;
    std::vector<std::int16_t> pending_;
    bool ended_ = false;
};

}  // namespace

MadeInputSource makePushedInputSource(const AudioInputSource& description,
                                      std::uint32_t sampleRate) {
    const auto& feed = description.feed();
    if (!feed || feed->sampleRate() == 0 || feed->sampleRate() > 384000) {
        return AudioFailure{kAudioQueueErr_InvalidParameter, "invalid pushed audio sample rate"};
    }
    SpeexResamplerState* resampler = nullptr;
    if (feed->sampleRate() != sampleRate) {
        int error = 0;
        resampler = speex_resampler_init(1, feed->sampleRate(), sampleRate,
                                         SPEEX_RESAMPLER_QUALITY_DEFAULT, &error);
        if (!resampler) {
            return AudioFailure{
                kAudioQueueErr_InvalidParameter,
                std::string("cannot resample pushed audio: ") + speex_resampler_strerror(error)};
        }
    }
    return std::unique_ptr<InputSource>(std::make_unique<PushedInputSource>(feed, resampler));
}

}  // namespace varen::platform
