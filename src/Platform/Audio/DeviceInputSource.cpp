#include <portaudio.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "Platform/Audio/AudioLevelTap.h"
#include "Platform/Audio/InputSource.h"
#include "Platform/Audio/SharedLibrary.h"

namespace varen::platform {

namespace {

// PortAudio is initialised on the first use of the device and stays so for the life of the
// process (unless it found no device): processes that never touch the device never enumerate the
// host's audio systems, and the audio plugins it loads are never unloaded under a live allocation.
// Its calls are serialised.
std::mutex& portAudioMutex() {
    static std::mutex mutex;
    return mutex;
}

bool portAudioInitialised = false;  // guarded by portAudioMutex()
bool portAudioStale = false;        // the last look found no device: look again next time
int liveDeviceSources = 0;          // guarded by portAudioMutex()

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}
void ignoreJackMessage(const char*) {}

// The sound systems PortAudio probes print their enumeration chatter on stderr, which would
// garble a host's terminal; failures reach the host through our own error texts instead. The
// libraries come in with PortAudio, so their hooks are looked up rather than linked.
void quietSoundSystemMessages(const SharedLibrary& portAudio) {
    using AlsaErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using JackHandler = void (*)(const char*);
    int (*setAlsaHandler)(AlsaErrorHandler) = nullptr;
    void (*setJackHandler)(JackHandler) = nullptr;
    portAudio.lookUp(setAlsaHandler, "snd_lib_error_set_handler");
    if (setAlsaHandler) setAlsaHandler(&ignoreAlsaMessage);
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
        portAudio.lookUp(setJackHandler, name);
        if (setJackHandler) setJackHandler(&ignoreJackMessage);
    }
}

// PortAudio's calls, bound once the device is first used.
struct PortAudio {
    decltype(&Pa_Initialize) initialize;
    decltype(&Pa_Terminate) terminate;
    decltype(&Pa_GetErrorText) errorText;
    decltype(&Pa_GetDefaultInputDevice) defaultInputDevice;
    decltype(&Pa_GetDeviceInfo) deviceInfo;
    decltype(&Pa_IsFormatSupported) isFormatSupported;
    decltype(&Pa_OpenStream) openStream;
    decltype(&Pa_StartStream) startStream;
    decltype(&Pa_IsStreamActive) isStreamActive;
    decltype(&Pa_StopStream) stopStream;
    decltype(&Pa_CloseStream) closeStream;
};

const LoadedCalls<PortAudio>& portAudio() {
    static const LoadedCalls<PortAudio> loaded(
        "libportaudio.so.2", [](SharedLibrary& library, PortAudio& pa) {
            library.bind(pa.initialize, "Pa_Initialize");
            library.bind(pa.terminate, "Pa_Terminate");
            library.bind(pa.errorText, "Pa_GetErrorText");
            library.bind(pa.defaultInputDevice, "Pa_GetDefaultInputDevice");
            library.bind(pa.deviceInfo, "Pa_GetDeviceInfo");
            library.bind(pa.isFormatSupported, "Pa_IsFormatSupported");
            library.bind(pa.openStream, "Pa_OpenStream");
            library.bind(pa.startStream, "Pa_StartStream");
            library.bind(pa.isStreamActive, "Pa_IsStreamActive");
            library.bind(pa.stopStream, "Pa_StopStream");
            library.bind(pa.closeStream, "Pa_CloseStream");
        });
    return loaded;
}

// Valid once `acquirePortAudio` has succeeded, which every device source follows.
const PortAudio& pa() {
    return *portAudio().get();
}

Result<void, AudioFailure> acquirePortAudio() {
    std::lock_guard lock(portAudioMutex());
    if (portAudioInitialised && portAudioStale && liveDeviceSources == 0) {
        // Devices are enumerated at initialisation; one may have appeared since.
        pa().terminate();
        portAudioInitialised = false;
    }
    portAudioStale = false;
    if (!portAudioInitialised) {
        // Probing for a sound server must not spawn one.
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        if (!portAudio().get()) {
            return AudioFailure{kAudioQueueErr_InvalidDevice,
                                "audio system unavailable: " + portAudio().library().failure()};
        }
        quietSoundSystemMessages(portAudio().library());
        const PaError error = pa().initialize();
        if (error != paNoError) {
            return AudioFailure{kAudioQueueErr_InvalidDevice,
                                std::string("audio system unavailable: ") + pa().errorText(error)};
        }
        portAudioInitialised = true;
    }
    return {};
}

// The default input device through PortAudio. The device's callback thread appends to a
// ring; `fill` takes whole buffers from it.
//
// Thread safety: `start` and `stop` may come from any thread and are serialised by
// `controlMutex_`; the ring is shared between the device thread and the queue thread under
// `mutex_`; the resampler belongs to the device thread while the stream runs.
class DeviceInputSource final : public InputSource {
  public:
    DeviceInputSource(PaDeviceIndex device, std::uint32_t rate) : device_(device), rate_(rate) {
        std::lock_guard lock(portAudioMutex());
        ++liveDeviceSources;
    }

    ~DeviceInputSource() override {
        closeStream();
        std::lock_guard lock(portAudioMutex());
        --liveDeviceSources;
    }

    Result<void, AudioFailure> start() override {
        std::lock_guard control(controlMutex_);
        if (!stream_) {
            if (auto opened = openStream(); !opened) return opened;
        }
        {
            std::lock_guard lock(mutex_);
            ring_.clear();
        }
        (void)InputSource::start();
        std::lock_guard lock(portAudioMutex());
        if (pa().isStreamActive(stream_) == 1) return {};
        if (const PaError error = pa().startStream(stream_); error != paNoError) {
            InputSource::stop();
            return AudioFailure{
                kAudioQueueErr_CannotStart,
                std::string("cannot start the default input device: ") + pa().errorText(error)};
        }
        return {};
    }

    void stop() override {
        InputSource::stop();
        closeStream();
    }

    Fill fill(std::uint8_t* data, std::uint32_t capacity) override {
        const std::size_t wanted = capacity / sizeof(std::int16_t);
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stoppedLocked() || ring_.size() >= wanted; });
        if (stoppedLocked()) return {};
        for (std::size_t i = 0; i < wanted; ++i) {
            const std::int16_t sample = ring_[i];
            std::memcpy(data + i * sizeof(std::int16_t), &sample, sizeof(sample));
        }
        ring_.erase(ring_.begin(), ring_.begin() + std::ptrdiff_t(wanted));
        return Fill{.byteCount = std::uint32_t(wanted * sizeof(std::int16_t)),
                    .packetCount = std::uint32_t(wanted),
                    .delivered = true};
    }

    Clock::duration playOutDelay(std::uint32_t) const override { return {}; }

  private:
    Result<void, AudioFailure> openStream() {
        std::lock_guard lock(portAudioMutex());
        const PaDeviceInfo* info = pa().deviceInfo(device_);
        PaStreamParameters input{};
        input.device = device_;
        input.channelCount = 1;
        input.sampleFormat = paInt16;
        input.suggestedLatency = info ? info->defaultLowInputLatency : 0.05;
        double deviceRate = rate_;
        if (pa().isFormatSupported(&input, nullptr, deviceRate) != paFormatIsSupported) {
            // Capture at the device's own rate and resample.
            deviceRate = info ? std::round(info->defaultSampleRate) : 0;
            if (deviceRate < 1 ||
                pa().isFormatSupported(&input, nullptr, deviceRate) != paFormatIsSupported) {
                return AudioFailure{kAudioQueueErr_CannotStart,
                                    "the default input device cannot capture 16-bit mono audio"};
            }
        }
        deviceRate_ = deviceRate;
        if (std::uint32_t(deviceRate) != rate_) {
            int error = 0;
            resampler_ = speex_resampler_init(1, spx_uint32_t(deviceRate), rate_,
                                              SPEEX_RESAMPLER_QUALITY_VOIP, &error);
            if (!resampler_) {
                return AudioFailure{kAudioQueueErr_CannotStart,
                                    std::string("cannot resample the default input device: ") +
                                        speex_resampler_strerror(error)};
            }
        }
        const PaError error =
            pa().openStream(&stream_, &input, nullptr, deviceRate, paFramesPerBufferUnspecified,
                            paNoFlag, &DeviceInputSource::streamCallback, this);
        if (error != paNoError) {
            stream_ = nullptr;
            return AudioFailure{
                kAudioQueueErr_CannotStart,
                std::string("cannot open the default input device: ") + pa().errorText(error)};
        }
        return {};
    }

    void closeStream() {
        std::lock_guard control(controlMutex_);
        std::lock_guard lock(portAudioMutex());
        if (stream_) {
            // Waits for the device thread to end (an abort would cancel it mid-call), so `this` is
            // no longer in use there.
            pa().stopStream(stream_);
            pa().closeStream(stream_);
            stream_ = nullptr;
        }
        if (resampler_) {
            speex_resampler_destroy(resampler_);
            resampler_ = nullptr;
        }
    }

    bool metersAsCaptured() const override { return true; }

    static int streamCallback(const void* input, void*, unsigned long frames,
                              const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                              void* userData) {
        auto* self = static_cast<DeviceInputSource*>(userData);
        if (input) self->append(static_cast<const std::int16_t*>(input), frames);
        return paContinue;
    }

    // On the device's callback thread.
    void append(const std::int16_t* samples, std::size_t count) {
        if (resampler_) {
            resampled_.resize(std::size_t(double(count) * rate_ / deviceRate_) + 64);
            spx_uint32_t inLength = spx_uint32_t(count);
            spx_uint32_t outLength = spx_uint32_t(resampled_.size());
            speex_resampler_process_int(resampler_, 0, samples, &inLength, resampled_.data(),
                                        &outLength);
            samples = resampled_.data();
            count = outLength;
        }
        publishLevel(samples, count * sizeof(std::int16_t));
        {
            std::lock_guard lock(mutex_);
            ring_.insert(ring_.end(), samples, samples + count);
            // Nobody is taking buffers: keep the latest few seconds only.
            const std::size_t limit = std::size_t(rate_) * kMaxBufferedSeconds;
            if (ring_.size() > limit) {
                ring_.erase(ring_.begin(), ring_.begin() + std::ptrdiff_t(ring_.size() - limit));
            }
        }
        wake_.notify_all();
    }

    static constexpr std::size_t kMaxBufferedSeconds = 10;

    const PaDeviceIndex device_;
    const std::uint32_t rate_;
    // Serialises opening and closing the stream between start, stop and destruction.
    std::mutex controlMutex_;
    PaStream* stream_ = nullptr;
    // Set before the stream starts, used only by the device callback, freed after it stopped.
    SpeexResamplerState* resampler_ = nullptr;
    double deviceRate_ = 0;
    std::vector<std::int16_t> resampled_;
    std::deque<std::int16_t> ring_;  // guarded by mutex_
};

}  // namespace

MadeInputSource makeDeviceInputSource(std::uint32_t sampleRate) {
    if (auto acquired = acquirePortAudio(); !acquired) return acquired.error();
    PaDeviceIndex device;
    const PaDeviceInfo* info = nullptr;
    {
        std::lock_guard lock(portAudioMutex());
        device = pa().defaultInputDevice();
        if (device != paNoDevice) info = pa().deviceInfo(device);
        if (!info || info->maxInputChannels < 1) portAudioStale = true;
    }
    if (device == paNoDevice || !info || info->maxInputChannels < 1) {
        return AudioFailure{kAudioQueueErr_InvalidDevice, "no default input device"};
    }
    return std::unique_ptr<InputSource>(std::make_unique<DeviceInputSource>(device, sampleRate));
}

}  // namespace varen::platform
