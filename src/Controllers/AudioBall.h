#pragma once

#include <algorithm>
#include <cmath>

namespace varen {

// The level the screen works with: readings of 0 dB and above, and NaN, count as -1 dB.
inline float audioBallLevelForDecibels(float decibels) {
    return decibels < 0.0f ? decibels : -1.0f;
}

// The ball's diameter in points for a level: 60 at -80 dB, growing on both sides of it up to 100.
// The mixed float and double steps are kept as they are so every reading gives the same size
// as before, to the last bit.
inline float audioBallSizeForLevel(float level) {
    const float distance = std::fabs(level + 80.0f);
    const float scaled = static_cast<float>(static_cast<double>(distance) * 60.0 / 80.0);
    return std::min(scaled / 1.5f + 60.0f, 100.0f);
}

}  // namespace varen
