#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "Support/TestSupport.h"

namespace varen::bench {

inline constexpr double kSpeechSeconds = 60.0;

// A minute of 8 kHz mono speech from the recogniser's test recordings, as a WAV file and as
// samples; the samples are empty when sox could not make it.
struct Speech {
    varen::test::TemporaryDirectory folder;
    std::filesystem::path wav;
    std::vector<std::int16_t> samples;
};
const Speech& speech();

// User plus system CPU seconds of this process so far.
double processCpuSeconds();

// CPU seconds of the bare codec over the samples: speex_encode_int and speex_bits_write per
// 20 ms frame at quality 8, nothing else. What the library's capture is compared with.
double bareCodecCpuSeconds(const std::vector<std::int16_t>& pcm);

}  // namespace varen::bench
