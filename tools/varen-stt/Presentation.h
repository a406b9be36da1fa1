// What varen-stt shows of a run, alone or in a batch: the level meter of its status lines and
// the final alternatives of its JSON events.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "varenstt/VarenSTTHypothesis.h"

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

// The "hypotheses" member of a final event: transcript (null when none) and confidence, best first.
inline nlohmann::json hypothesesJson(const std::vector<VarenSTTHypothesis>& hypotheses) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& h : hypotheses) {
        list.push_back(
            {{"transcript", h.transcript() ? nlohmann::json(*h.transcript()) : nlohmann::json()},
             {"confidence", h.confidence()}});
    }
    return list;
}

}  // namespace varen::tools
