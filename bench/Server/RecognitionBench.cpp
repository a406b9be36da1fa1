// Seconds of audio recognised per CPU second, per model: Speex packets in, final result out,
// as one session's strand does it. Making the decoder is left out (the pool makes it ahead).
#include <benchmark/benchmark.h>

#include "Recognizer.h"
#include "ServerTestSupport.h"

namespace varen::server {
namespace {

std::shared_ptr<DecoderPool> pool(const std::string& name) {
    static ModelRegistry registry(defaultModelsFolder());
    return registry.find(name);
}

void recognise(benchmark::State& state, const std::string& model, const std::string& text) {
    auto packets = test::speexPackets(test::speech(text));
    double audioSeconds = static_cast<double>(packets.size()) * 0.02;
    StartOptions options;  // partials every 0.2 s, as the library asks
    std::size_t words = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto recognizer = std::make_unique<Recognizer>(pool(model), options);
        state.ResumeTiming();
        for (const auto& packet : packets) benchmark::DoNotOptimize(recognizer->feedPacket(packet));
        auto result = recognizer->finish();
        words = result && !result->transcripts.empty() ? result->transcripts.front().size() : 0;
        state.PauseTiming();
        recognizer.reset();
        state.ResumeTiming();
    }
    state.counters["audio_s"] = audioSeconds;
    state.counters["audio_s_per_cpu_s"] =
        benchmark::Counter(audioSeconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["transcript_chars"] = static_cast<double>(words);
}

void BM_DigitsModel(benchmark::State& state) {
    recognise(state, "en-US_8k_digits", "seven three nine one two five eight zero");
}
BENCHMARK(BM_DigitsModel)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_EnglishModel(benchmark::State& state) {
    recognise(state, "en-US_8k", "the quick brown fox jumps over the lazy dog");
}
BENCHMARK(BM_EnglishModel)->Unit(benchmark::kMillisecond)->MinTime(5.0);

}  // namespace
}  // namespace varen::server

BENCHMARK_MAIN();
