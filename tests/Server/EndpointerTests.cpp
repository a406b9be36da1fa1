#include "Endpointer.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace varen::server {
namespace {

// Low noise of a quiet room, about -60 dBFS; the same samples every run.
std::vector<std::int16_t> quiet(double seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * 8000));
    std::uint32_t state = 12345;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>(static_cast<int>(state >> 16) % 61 - 30);
    }
    return samples;
}

std::vector<std::int16_t> tone(double seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * 8000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * 300 * i / 8000.0));
    }
    return samples;
}

TEST(Endpointer, EndsOnceTheSilenceAfterSpeechReachesTheMinimum) {
    Endpointer endpointer(1.0);
    EXPECT_FALSE(endpointer.feed(quiet(0.5)));
    EXPECT_FALSE(endpointer.feed(tone(1.0)));
    EXPECT_TRUE(endpointer.heardSpeech());
    EXPECT_FALSE(endpointer.feed(quiet(0.9)));
    EXPECT_TRUE(endpointer.feed(quiet(0.1)));

    endpointer.reset();
    EXPECT_FALSE(endpointer.feed(quiet(2.0)));
}

TEST(Endpointer, PausesShorterThanTheMinimumDoNotEnd) {
    Endpointer endpointer(1.0);
    endpointer.feed(quiet(0.3));
    for (int word = 0; word < 4; ++word) {
        EXPECT_FALSE(endpointer.feed(tone(0.4)));
        EXPECT_FALSE(endpointer.feed(quiet(0.8)));
    }
}

TEST(Endpointer, SilenceOrAClickAloneNeverEnds) {
    Endpointer endpointer(0.5);
    EXPECT_FALSE(endpointer.feed(quiet(3.0)));
    EXPECT_FALSE(endpointer.feed(tone(0.04)));
    EXPECT_FALSE(endpointer.feed(quiet(3.0)));
    EXPECT_FALSE(endpointer.heardSpeech());
    // Digital silence has no noise floor to stand out from, and speech still counts after it.
    Endpointer digital(0.5);
    EXPECT_FALSE(digital.feed(std::vector<std::int16_t>(8000, 0)));
    digital.feed(tone(0.5));
    EXPECT_TRUE(digital.feed(std::vector<std::int16_t>(4000, 0)));
}

}  // namespace
}  // namespace varen::server
