#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "Support/TestSupport.h"

namespace varen::test {

// 8 kHz mono PCM of a short English utterance, resampled from the speech test data by sox.
inline std::vector<std::int16_t> speechSamples8k() {
    TemporaryDirectory folder;
    const auto output = folder.path() / "speech.raw";
    const std::string command =
        "sox -t raw -r 16000 -e signed -b 16 -c 1 "
        "/usr/share/pocketsphinx/test/data/goforward.raw -t raw -r 8000 -e signed -b 16 -c 1 '" +
        output.string() + "'";
    if (runCommand(command) != 0) return {};
    const Data bytes = readBinaryFile(output);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = static_cast<std::int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
    }
    return samples;
}

inline std::vector<std::int16_t> toneSamples(std::size_t count, double hertz, double amplitude) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t index = 0; index < count; ++index) {
        samples[index] = static_cast<std::int16_t>(
            amplitude * std::sin(2 * std::numbers::pi * hertz * static_cast<double>(index) / 8000));
    }
    return samples;
}

inline Data asBytes(const std::vector<std::int16_t>& samples) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(samples.data());
    return Data(first, first + samples.size() * 2);
}

inline double rms(const std::int16_t* samples, std::size_t count) {
    double sum = 0;
    for (std::size_t index = 0; index < count; ++index)
        sum += double(samples[index]) * samples[index];
    return count == 0 ? 0 : std::sqrt(sum / static_cast<double>(count));
}

}  // namespace varen::test
