#include "SpeechSamples.h"

#include <benchmark/benchmark.h>
#include <speex/speex.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace varen::bench {

namespace {
constexpr std::size_t kFrameSamples = 160;
}

const Speech& speech() {
    static const Speech* prepared = [] {
        auto* s = new Speech;  // lives for the whole run
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

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

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

}  // namespace varen::bench
