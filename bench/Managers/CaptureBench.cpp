// A whole recognition run (file source as fast as possible, capture, framing, encoding, Ogg
// paging, streaming over a loopback WebSocket) against the bare codec over the same 60 s of
// speech. Both report the process's CPU seconds per second of audio.
#include <benchmark/benchmark.h>

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
#include "Support/SpeechSamples.h"
#include "Support/TestSupport.h"
#include "varenstt/Platform/AudioInputSource.h"
#include "varenstt/Platform/NotificationCenter.h"
#include "varenstt/VarenSTTManager.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using varen::bench::bareCodecCpuSeconds;
using varen::bench::processCpuSeconds;
using varen::bench::speech;
using varen::bench::Speech;
constexpr double kSeconds = varen::bench::kSpeechSeconds;

void reportCpu(benchmark::State& state, double cpuSeconds) {
    state.counters["cpu_s_per_audio_s"] =
        benchmark::Counter(cpuSeconds / (kSeconds * static_cast<double>(state.iterations())));
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
