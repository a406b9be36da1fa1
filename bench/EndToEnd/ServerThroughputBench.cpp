// The reference server's recogniser on its own: seconds of audio recognised per CPU second, for
// each model, over Speex packets as the library sends them.
#include <speex/speex.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <vector>

#include "Models.h"
#include "Recognizer.h"
#include "Support/EndToEndSupport.h"
#include "Support/TestSupport.h"

namespace {

using Packet = std::vector<std::uint8_t>;

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// `text` spoken by flite, at 8 kHz, cut into 20 ms frames encoded as the library encodes them.
std::vector<Packet> spokenPackets(const std::string& text, double& seconds) {
    varen::test::TemporaryDirectory folder;
    const auto wav = varen::test::speak(folder.path(), "speech", text);
    const auto raw = folder.path() / "speech.raw";
    if (varen::test::runCommand("sox '" + wav.string() + "' -t raw -r 8000 -e signed -b 16 -c 1 '" +
                                raw.string() + "'") != 0) {
        throw std::runtime_error("sox failed");
    }
    std::ifstream file(raw, std::ios::binary);
    std::vector<std::int16_t> pcm;
    std::int16_t sample = 0;
    while (file.read(reinterpret_cast<char*>(&sample), sizeof sample)) pcm.push_back(sample);
    seconds = static_cast<double>(pcm.size()) / 8000.0;

    void* encoder = speex_encoder_init(&speex_nb_mode);
    int quality = 8;
    speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
    SpeexBits bits;
    speex_bits_init(&bits);
    std::vector<Packet> packets;
    std::vector<std::int16_t> frame(160);
    for (std::size_t at = 0; at + 160 <= pcm.size(); at += 160) {
        std::copy(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at) + 160,
                  frame.begin());
        speex_bits_reset(&bits);
        speex_encode_int(encoder, frame.data(), &bits);
        Packet packet(static_cast<std::size_t>(speex_bits_nbytes(&bits)));
        speex_bits_write(&bits, reinterpret_cast<char*>(packet.data()),
                         static_cast<int>(packet.size()));
        packets.push_back(std::move(packet));
    }
    speex_bits_destroy(&bits);
    speex_encoder_destroy(encoder);
    return packets;
}

void recognise(benchmark::State& state, const std::string& model, const std::string& text) {
    static const auto registry =
        std::make_shared<varen::server::ModelRegistry>(varen::server::defaultModelsFolder());
    auto pool = registry->find(model);
    if (!pool) {
        state.SkipWithError(("no model " + model).c_str());
        return;
    }
    double seconds = 0.0;
    const auto packets = spokenPackets(text, seconds);
    varen::server::StartOptions options;
    double audio = 0.0;
    double cpu = 0.0;
    for (auto _ : state) {
        // Making a decoder belongs to the session's start, not to recognising its audio.
        state.PauseTiming();
        auto recognizer = std::make_unique<varen::server::Recognizer>(pool, options);
        state.ResumeTiming();
        const double before = threadCpuSeconds();
        for (const auto& packet : packets) benchmark::DoNotOptimize(recognizer->feedPacket(packet));
        auto result = recognizer->finish();
        cpu += threadCpuSeconds() - before;
        audio += seconds;
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        recognizer.reset();
        state.ResumeTiming();
    }
    state.counters["audio_s_per_cpu_s"] = audio / cpu;
    state.counters["utterance_s"] = seconds;
}

void BM_DigitsModel(benchmark::State& state) {
    recognise(state, "en-US_8k_digits", "four two seven one seven three nine oh");
}
BENCHMARK(BM_DigitsModel)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_WidebandModel(benchmark::State& state) {
    recognise(state, "en-US_8k", "the weather is nice today and the sun is shining");
}
BENCHMARK(BM_WidebandModel)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
