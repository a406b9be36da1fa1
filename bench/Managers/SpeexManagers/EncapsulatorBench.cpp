// The whole encoding loop (framing, encoding, Ogg paging, file appends, handing packets to the
// stream client with no connection open) against the bare codec over the same 60 s of speech.
#include <benchmark/benchmark.h>
#include <speex/speex.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Managers/SpeexManagers/Encapsulator.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSeconds = 60;
constexpr std::size_t kFrameSamples = 160;
constexpr std::size_t kFrames = kSeconds * 8000 / kFrameSamples;

// 60 s of 8 kHz speech: the speech test recordings resampled by sox, repeated as needed.
const std::vector<std::int16_t>& speech() {
    static const std::vector<std::int16_t> samples = [] {
        const std::string dir = "/usr/share/pocketsphinx/test/data/librivox/";
        const std::string raw = (fs::temp_directory_path() / "varenstt-bench-speech.raw").string();
        std::string command = "sox";
        for (const char* name : {"0870", "0880", "0890", "0920", "0930"}) {
            command += " " + dir + "sense_and_sensibility_01_austen_64kb-" + name + ".wav";
        }
        command += " -t raw -r 8000 -e signed -b 16 -c 1 '" + raw + "'";
        std::vector<std::int16_t> once;
        if (std::system(command.c_str()) == 0) {
            if (std::FILE* file = std::fopen(raw.c_str(), "rb")) {
                std::int16_t sample;
                while (std::fread(&sample, sizeof sample, 1, file) == 1) once.push_back(sample);
                std::fclose(file);
            }
        }
        std::remove(raw.c_str());
        std::vector<std::int16_t> all;
        all.reserve(kFrames * kFrameSamples);
        while (!once.empty() && all.size() < kFrames * kFrameSamples) {
            const auto take = std::min(once.size(), kFrames * kFrameSamples - all.size());
            all.insert(all.end(), once.begin(), once.begin() + static_cast<long>(take));
        }
        return all;
    }();
    return samples;
}

void BM_BareSpeexEncoding(benchmark::State& state) {
    const auto& pcm = speech();
    if (pcm.size() != kFrames * kFrameSamples) {
        state.SkipWithError("no speech samples (sox)");
        return;
    }
    std::vector<spx_int16_t> frame(kFrameSamples);
    char packet[200];
    for (auto _ : state) {
        void* encoder = speex_encoder_init(&speex_nb_mode);
        int quality = 8;
        speex_encoder_ctl(encoder, SPEEX_SET_QUALITY, &quality);
        SpeexBits bits;
        speex_bits_init(&bits);
        std::size_t bytes = 0;
        for (std::size_t index = 0; index < kFrames; ++index) {
            std::copy_n(pcm.data() + index * kFrameSamples, kFrameSamples, frame.data());
            speex_bits_reset(&bits);
            speex_encode_int(encoder, frame.data(), &bits);
            bytes += static_cast<std::size_t>(speex_bits_write(&bits, packet, sizeof packet));
            benchmark::DoNotOptimize(packet);
        }
        speex_bits_destroy(&bits);
        speex_encoder_destroy(encoder);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(kFrames * state.iterations()), benchmark::Counter::kIsRate);
}

void BM_EncapsulatorLoop(benchmark::State& state) {
    const auto& pcm = speech();
    if (pcm.size() != kFrames * kFrameSamples) {
        state.SkipWithError("no speech samples (sox)");
        return;
    }
    char folderTemplate[] = "/tmp/varenstt-bench-XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(folderTemplate) + "/recording.spx";
    auto encapsulator = varen::Encapsulator::initWithFileName(path);
    std::uintmax_t fileSize = 0;
    for (auto _ : state) {
        encapsulator->resetWithFileName(path);
        // All 60 s are queued before the loop starts, so it never waits for audio.
        encapsulator->setMoreDataInputing(true);
        encapsulator->inputPCMDataFromBuffer(pcm.data(),
                                             static_cast<std::uint32_t>(pcm.size() * 2));
        encapsulator->prepareForEncapsulating();
        encapsulator->stopEncapsulating(false);
        encapsulator->encapsulationOperation()->waitUntilFinished();
        fileSize = fs::file_size(path);
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(kFrames * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["file_bytes"] = static_cast<double>(fileSize);
    encapsulator.reset();
    fs::remove_all(folderTemplate);
}

}  // namespace

// The loop encodes on a thread of its own, so both are measured in CPU time of the whole process:
// the machine is shared, and wall time mostly measures the other processes.
BENCHMARK(BM_BareSpeexEncoding)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->MinTime(2);
BENCHMARK(BM_EncapsulatorLoop)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->MinTime(2);

BENCHMARK_MAIN();
