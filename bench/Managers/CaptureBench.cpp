// A whole recognition run (file source as fast as possible, capture, framing, encoding, Ogg
// paging, streaming over a loopback WebSocket) against the bare codec over the same 60 s of
// speech. Both report the process's CPU seconds per second of audio.
#include <benchmark/benchmark.h>
#include <speex/speex.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Managers/SpeechToTextModule.h"
#include "Support/RecognitionServer.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/NotificationCenter.h"
#include "varenstt/VarenSTTManager.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double kSeconds = 60.0;
constexpr std::size_t kFrameSamples = 160;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Speech {
    varen::test::TemporaryDirectory folder;
    fs::path wav;
    std::vector<std::int16_t> samples;
};

// 60 s of 8 kHz speech from the recogniser's test recordings, as a WAV file and as samples.
const Speech& speech() {
    static const Speech* prepared = [] {
        auto* s = new Speech;
        s->wav = s->folder.path() / "speech.wav";
        const std::string dir = "/usr/share/pocketsphinx/test/data/librivox/";
        std::string command = "sox";
        for (const char* name : {"0870", "0880", "0890", "0920", "0930"}) {
            command += " " + dir + "sense_and_sensibility_01_austen_64kb-" + name + ".wav";
        }
        command += " -r 8000 -c 1 -b 16 '" + s->wav.string() + "' repeat 20 trim 0 60";
        const auto raw = s->folder.path() / "speech.raw";
        if (varen::test::runCommand(command + " 2>/dev/null") == 0 &&
            varen::test::runCommand("sox '" + s->wav.string() + "' -t raw '" + raw.string() +
                                    "'") == 0) {
            const auto bytes = varen::test::readBinaryFile(raw);
            s->samples.resize(bytes.size() / 2);
            std::memcpy(s->samples.data(), bytes.data(), s->samples.size() * 2);
        }
        return s;
    }();
    return *prepared;
}

void reportCpu(benchmark::State& state, double cpuSeconds) {
    state.counters["cpu_s_per_audio_s"] =
        benchmark::Counter(cpuSeconds / (kSeconds * static_cast<double>(state.iterations())));
}

// CPU seconds of the bare codec loop over the samples: speex_encode_int and speex_bits_write.
double bareCodecCpuSeconds(const std::vector<std::int16_t>& pcm) {
    const double start = processCpuSeconds();
    SpeexBits bits;
    speex_bits_init(&bits);
    void* encoder = speex_encoder_init(&speex_nb_mode);
    int quality = 8;
    speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
    char packet[200];
    std::vector<spx_int16_t> frame(kFrameSamples);
    for (std::size_t offset = 0; offset + kFrameSamples <= pcm.size(); offset += kFrameSamples) {
        std::copy_n(pcm.begin() + static_cast<long>(offset), kFrameSamples, frame.begin());
        speex_bits_reset(&bits);
        speex_encode_int(encoder, frame.data(), &bits);
        benchmark::DoNotOptimize(speex_bits_write(&bits, packet, sizeof packet));
    }
    speex_encoder_destroy(encoder);
    speex_bits_destroy(&bits);
    return processCpuSeconds() - start;
}

class Ends : public varen::SpeechToTextModuleDelegate {
  public:
    void speechRecognizerDidRecognizeAudioWithText(
        varen::SpeechToTextModule&, const std::vector<varen::VarenSTTHypothesis>&) override {
        done = true;
    }
    void speechRecognizerDidFailWithError(varen::SpeechToTextModule&,
                                          const varen::Error&) override {
        failed = done = true;
    }
    bool done = false;
    bool failed = false;
};

// Whole recognition runs of the speech file against a local scripted server.
class ClientRuns {
  public:
    explicit ClientRuns(const Speech& input)
        : server_(nlohmann::json::array(
              {{{"wait", "stop"},
                {"send", varen::test::RecognitionServer::finalResult({"done"}, 1.0)}}})) {
        varen::VarenSTTManager::shared()->setDecoderUrl(server_.decoderUrl());
        varen::platform::setDefaultAudioInputSource(varen::platform::AudioInputSource::file(
            input.wav, varen::platform::AudioInputSource::kUnpaced));
    }

    // CPU seconds from module creation to the final result; nothing when the run failed.
    std::optional<double> runOnce() {
        std::atomic<bool> playedOut{false};
        auto& center = varen::platform::NotificationCenter::defaultCenter();
        auto token =
            center.addObserver(varen::platform::AudioInputDidPlayOutNotification, nullptr,
                               [&](const varen::platform::Notification&) { playedOut = true; });
        auto ends = std::make_shared<Ends>();
        const double start = processCpuSeconds();
        auto module = varen::SpeechToTextModule::initWithDelegate(ends);
        // Every frame is encoded and sent before the stop, so the whole minute is measured.
        varen::test::runMainLoopUntil(
            [&] {
                return playedOut && module->encapsulator() &&
                       module->encapsulator()->pendingFrameCount() == 0;
            },
            120s);
        module->stopRecording();
        varen::test::runMainLoopUntil([&] { return ends->done; }, 60s);
        const double cpu = processCpuSeconds() - start;
        center.removeObserver(token);
        if (ends->failed || !ends->done) return std::nullopt;
        return cpu;
    }

  private:
    varen::test::TemporaryHome home_;
    varen::test::RecognitionServer server_;
};

void BM_BareCodecLoop(benchmark::State& state) {
    const auto& pcm = speech().samples;
    if (pcm.size() < static_cast<std::size_t>(kSeconds * 8000))
        return state.SkipWithError("no speech (sox)");
    double cpu = 0;
    for (auto _ : state) cpu += bareCodecCpuSeconds(pcm);
    reportCpu(state, cpu);
}

void BM_WholeClientRun(benchmark::State& state) {
    const auto& input = speech();
    if (input.samples.empty()) return state.SkipWithError("no speech (sox)");
    ClientRuns runs(input);
    double cpu = 0;
    for (auto _ : state) {
        const auto seconds = runs.runOnce();
        if (!seconds) return state.SkipWithError("the run did not end in a result");
        cpu += *seconds;
    }
    reportCpu(state, cpu);
}

// Both in turn within each iteration, so a slow spell of a shared machine weighs on both
// sides of the comparison alike.
void BM_ClientAgainstBareCodec(benchmark::State& state) {
    const auto& input = speech();
    if (input.samples.size() < static_cast<std::size_t>(kSeconds * 8000))
        return state.SkipWithError("no speech (sox)");
    ClientRuns runs(input);
    double bare = 0;
    double client = 0;
    for (auto _ : state) {
        bare += bareCodecCpuSeconds(input.samples);
        const auto seconds = runs.runOnce();
        if (!seconds) return state.SkipWithError("the run did not end in a result");
        client += *seconds;
    }
    const double audio = kSeconds * static_cast<double>(state.iterations());
    state.counters["bare_cpu_s_per_audio_s"] = benchmark::Counter(bare / audio);
    state.counters["client_cpu_s_per_audio_s"] = benchmark::Counter(client / audio);
    state.counters["client_over_bare"] = benchmark::Counter(client / bare);
}

}  // namespace

// Medians of several repetitions: one run on a shared two-core machine can be off by a third.
BENCHMARK(BM_BareCodecLoop)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_WholeClientRun)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ClientAgainstBareCodec)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
