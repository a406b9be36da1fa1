#include "Controllers/AudioBall.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace varen;

namespace {
float ballFor(float decibels) {
    return audioBallSizeForLevel(audioBallLevelForDecibels(decibels));
}
}  // namespace

TEST(AudioBall, SmallestAtMinus80GrowingOnBothSidesUpTo100) {
    EXPECT_EQ(ballFor(-80.0f), 60.0f);
    EXPECT_EQ(ballFor(-40.0f), 80.0f);
    EXPECT_EQ(ballFor(-120.0f), 80.0f);
    EXPECT_EQ(ballFor(-1.0f), 99.5f);
    EXPECT_EQ(ballFor(-160.0f), 100.0f);
    EXPECT_EQ(ballFor(-200.0f), 100.0f);  // below the recorder's floor: still capped
    EXPECT_EQ(ballFor(-std::numeric_limits<float>::infinity()), 100.0f);
}

TEST(AudioBall, ReadingsAtOrAbove0AndNaNCountAsMinus1) {
    EXPECT_EQ(audioBallLevelForDecibels(0.0f), -1.0f);
    EXPECT_EQ(audioBallLevelForDecibels(6.0f), -1.0f);
    EXPECT_EQ(audioBallLevelForDecibels(std::nanf("")), -1.0f);
    EXPECT_EQ(audioBallLevelForDecibels(-0.5f), -0.5f);
    EXPECT_EQ(audioBallLevelForDecibels(-200.0f), -200.0f);
    EXPECT_EQ(ballFor(0.0f), 99.5f);
    EXPECT_EQ(ballFor(std::nanf("")), 99.5f);
}
