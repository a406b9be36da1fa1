#include "varenstt/VarenSTTHypothesis.h"

#include <gtest/gtest.h>

#include <limits>

using nlohmann::json;
using varen::VarenSTTHypothesis;

TEST(Hypothesis, IsBuiltFromAMapAndGivesTheSameMapBack) {
    auto h = VarenSTTHypothesis::modelObjectWithDictionary(
        {{"transcript", "ciao"}, {"confidence", 0.75}});
    EXPECT_EQ(h.transcript(), "ciao");
    EXPECT_FLOAT_EQ(h.confidence(), 0.75f);
    EXPECT_EQ(h.dictionaryRepresentation(), (json{{"confidence", 0.75}, {"transcript", "ciao"}}));
}

TEST(Hypothesis, NullOrMissingValuesLeaveTheDefaults) {
    auto h = VarenSTTHypothesis::initWithDictionary({{"transcript", nullptr}});
    EXPECT_FALSE(h.transcript());
    EXPECT_EQ(h.confidence(), 0.0f);
    EXPECT_FALSE(h.dictionaryRepresentation().contains("transcript"));
    for (const json& notAMap : {json::array({1, 2}), json("text"), json()}) {
        auto empty = VarenSTTHypothesis::initWithDictionary(notAMap);
        EXPECT_EQ(empty.confidence(), 0.0f);
        EXPECT_FALSE(empty.transcript());
    }
}

TEST(Hypothesis, ReadsTheLeadingNumberOfATextConfidence) {
    EXPECT_FLOAT_EQ(
        VarenSTTHypothesis::initWithDictionary({{"confidence", " 0.5abc"}}).confidence(), 0.5f);
    EXPECT_EQ(VarenSTTHypothesis::initWithDictionary({{"confidence", "abc"}}).confidence(), 0.0f);
    EXPECT_EQ(VarenSTTHypothesis::initWithDictionary({{"transcript", 12}}).transcript(),
              std::nullopt);
    // Beyond the float range a confidence is clamped, never converted out of range.
    constexpr float kLargest = std::numeric_limits<float>::max();
    EXPECT_EQ(VarenSTTHypothesis::initWithDictionary({{"confidence", 1e308}}).confidence(),
              kLargest);
    EXPECT_EQ(VarenSTTHypothesis::initWithDictionary({{"confidence", "-1e300"}}).confidence(),
              -kLargest);
}

TEST(Hypothesis, ArchivingKeepsBothFields) {
    VarenSTTHypothesis h;
    h.setConfidence(0.8f);
    h.setTranscript("uno due");
    auto back = VarenSTTHypothesis::unarchiveObjectWithData(h.archivedData());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->confidence(), 0.8f);
    EXPECT_EQ(back->transcript(), "uno due");
    EXPECT_FALSE(VarenSTTHypothesis::unarchiveObjectWithData({0x01, 0x02}));
}

TEST(Hypothesis, ACopyIsIndependent) {
    VarenSTTHypothesis h;
    h.setTranscript("a");
    auto copy = h.copy();
    copy.setTranscript("b");
    copy.setConfidence(1.0f);
    EXPECT_EQ(h.transcript(), "a");
    EXPECT_EQ(h.confidence(), 0.0f);
}

TEST(Hypothesis, DescribesItselfAsItsMap) {
    auto h = VarenSTTHypothesis::initWithDictionary({{"transcript", "hello"}, {"confidence", 0.5}});
    EXPECT_EQ(h.description(), "{\n    confidence = 0.5;\n    transcript = hello;\n}");
    // A server's bytes need not be UTF-8; the description shows them replaced, never throws.
    auto raw = VarenSTTHypothesis::initWithDictionary({{"transcript", std::string("a\xff")}});
    EXPECT_EQ(raw.description(),
              "{\n    confidence = 0.0;\n    transcript = \"a\xEF\xBF\xBD\";\n}");
}
