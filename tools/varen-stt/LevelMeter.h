// The level meter of varen-stt's status lines.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>

namespace varen::tools {

// What the library reports for silence, or before any audio.
inline constexpr float kSilentLevel = -160.0f;

// "-23.5 dB |#############       |": 20 bars from -60 dB to 0 dB.
inline std::string levelMeter(float decibels) {
    const int bars = static_cast<int>(std::clamp((decibels + 60.0f) / 3.0f, 0.0f, 20.0f));
    char number[32];
    std::snprintf(number, sizeof number, "%6.1f dB ", static_cast<double>(decibels));
    return number + std::string("|") + std::string(static_cast<std::size_t>(bars), '#') +
           std::string(static_cast<std::size_t>(20 - bars), ' ') + "|";
}

}  // namespace varen::tools
