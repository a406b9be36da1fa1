#include "Recognizer.h"

#include <cmath>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "ServerTestSupport.h"

namespace varen::server {
namespace {

using test::speech;
using test::speexPackets;

std::shared_ptr<DecoderPool> pool(const std::string& name) {
    static ModelRegistry registry(defaultModelsFolder());
    auto found = registry.find(name);
    if (!found) throw std::runtime_error("no model " + name);
    return found;
}

struct Decoded {
    std::vector<std::string> partials;
    std::vector<std::pair<std::size_t, FinalResult>> finals;  // packet index, result
    std::optional<FinalResult> onFinish;
};

Decoded recognise(Recognizer& recognizer, const std::vector<test::Packet>& packets) {
    Decoded decoded;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        for (auto& event : recognizer.feedPacket(packets[i])) {
            if (auto* partial = std::get_if<PartialResult>(&event)) {
                decoded.partials.push_back(partial->transcript);
            } else {
                decoded.finals.emplace_back(i, std::get<FinalResult>(event));
            }
        }
    }
    decoded.onFinish = recognizer.finish();
    return decoded;
}

std::string best(const std::optional<FinalResult>& result) {
    return result && !result->transcripts.empty() ? result->transcripts.front() : "(none)";
}

TEST(Recognizer, RecognisesSpokenDigitsWithAConfidence) {
    for (std::string digits : {"seven three nine one", "two five eight zero"}) {
        Recognizer recognizer(pool("en-US_8k_digits"), StartOptions{});
        Decoded decoded = recognise(recognizer, speexPackets(speech(digits)));
        EXPECT_EQ(best(decoded.onFinish), digits);
        EXPECT_GT(decoded.onFinish->confidence, 0.0);
        EXPECT_LE(decoded.onFinish->confidence, 1.0);
        EXPECT_TRUE(decoded.finals.empty());
    }
}

TEST(Recognizer, LongDigitalSilenceBeforeSpeechIsNotHeardAsAWord) {
    Recognizer recognizer(pool("en-US_8k_digits"), StartOptions{});
    auto packets = speexPackets(speech("seven three nine one", "kal", 3.0, 0.3));
    EXPECT_EQ(best(recognise(recognizer, packets).onFinish), "seven three nine one");
}

TEST(Recognizer, NbestListsDistinctAlternativesBestFirst) {
    auto packets = speexPackets(speech("five six seven eight"));
    StartOptions options;
    options.nBest = 5;
    Recognizer recognizer(pool("en-US_8k_digits"), options);
    Decoded decoded = recognise(recognizer, packets);
    ASSERT_TRUE(decoded.onFinish);
    const auto& transcripts = decoded.onFinish->transcripts;
    EXPECT_GE(transcripts.size(), 2u);
    EXPECT_LE(transcripts.size(), 5u);
    EXPECT_EQ(std::set<std::string>(transcripts.begin(), transcripts.end()).size(),
              transcripts.size());
    EXPECT_EQ(transcripts.front(), "five six seven eight");
}

TEST(Recognizer, PartialsComeAtMostEveryTracebackPeriodWhenTheTextChanged) {
    auto packets = speexPackets(speech("seven three nine one"));
    StartOptions options;
    options.tracebackPeriod = 0.2;
    Recognizer recognizer(pool("en-US_8k_digits"), options);
    Decoded decoded = recognise(recognizer, packets);
    double seconds = packets.size() * 0.02;
    ASSERT_FALSE(decoded.partials.empty());
    EXPECT_LE(decoded.partials.size(), static_cast<std::size_t>(seconds / 0.2));
    for (std::size_t i = 1; i < decoded.partials.size(); ++i) {
        EXPECT_NE(decoded.partials[i], decoded.partials[i - 1]);
    }

    options.tracebackPeriod = 0;
    Recognizer silent(pool("en-US_8k_digits"), options);
    EXPECT_TRUE(recognise(silent, packets).partials.empty());
}

TEST(Recognizer, AnyTracebackPeriodDecodesInBoundedTime) {
    auto packets = speexPackets(speech("seven three nine one"));
    for (double period : {1e300, 1e-300, std::nan(""), -1.0}) {
        StartOptions options;
        options.tracebackPeriod = period;
        Recognizer recognizer(pool("en-US_8k_digits"), options);
        Decoded decoded = recognise(recognizer, packets);
        EXPECT_EQ(best(decoded.onFinish), "seven three nine one") << period;
        EXPECT_LE(decoded.partials.size(), packets.size()) << period;
    }
}

TEST(Recognizer, AnUtteranceEndsAtFiveMinutesOfAudio) {
    Recognizer recognizer(pool("en-US_8k_digits"), StartOptions{});
    std::vector<std::int16_t> second(8000, 0);
    std::size_t finals = 0;
    for (long samples = 0; samples < Recognizer::kMaxUtteranceSamples; samples += 8000) {
        EXPECT_EQ(finals, 0u) << samples;
        for (auto& event : recognizer.feedPcm(second)) finals += event.index() == 1;
    }
    EXPECT_EQ(finals, 1u);
    EXPECT_FALSE(recognizer.finish());
}

TEST(Recognizer, EndpointingGivesTheFinalAfterTheMinimumSilence) {
    auto packets = speexPackets(speech("two five eight zero", "kal", 0.3, 2.0));
    StartOptions options;
    options.doEndpointing = true;
    options.minSilence = 1.0;
    Recognizer recognizer(pool("en-US_8k_digits"), options);
    Decoded decoded = recognise(recognizer, packets);
    ASSERT_EQ(decoded.finals.size(), 1u);
    EXPECT_EQ(best(decoded.finals[0].second), "two five eight zero");
    // About one second into the two seconds of silence (flite ends its speech with a little
    // quiet of its own); nothing more when the stop comes.
    std::size_t silenceStart = packets.size() - 100;
    EXPECT_GE(decoded.finals[0].first, silenceStart + 35);
    EXPECT_LT(decoded.finals[0].first, silenceStart + 55);
    EXPECT_FALSE(decoded.onFinish);

    options.doEndpointing = false;
    Recognizer waiting(pool("en-US_8k_digits"), options);
    Decoded stopped = recognise(waiting, packets);
    EXPECT_TRUE(stopped.finals.empty());
    EXPECT_EQ(best(stopped.onFinish), "two five eight zero");
}

TEST(Recognizer, KeepAliveRecognisesOneUtteranceAfterAnother) {
    auto first = speech("seven three nine one", "kal", 0.3, 1.5);
    auto second = speech("two five eight zero", "kal", 0.3, 1.5);
    first.insert(first.end(), second.begin(), second.end());
    StartOptions options;
    options.doEndpointing = true;
    options.minSilence = 1.0;
    options.connectionMode = ConnectionMode::keepAlive;
    Recognizer recognizer(pool("en-US_8k_digits"), options);
    Decoded decoded = recognise(recognizer, speexPackets(first));
    ASSERT_EQ(decoded.finals.size(), 2u);
    EXPECT_EQ(best(decoded.finals[0].second), "seven three nine one");
    EXPECT_EQ(best(decoded.finals[1].second), "two five eight zero");
    ASSERT_TRUE(decoded.onFinish);
    EXPECT_TRUE(decoded.onFinish->transcripts.empty());
}

TEST(Recognizer, SurvivesPacketsThatAreNoSpeex) {
    Recognizer recognizer(pool("en-US_8k_digits"), StartOptions{});
    std::mt19937 random(7);
    std::vector<test::Packet> garbage = {test::Packet(38, 0xff), test::Packet(1, 0x80),
                                         test::Packet(4000, 0x00), test::Packet{}};
    for (int i = 0; i < 200; ++i) {
        test::Packet packet(1 + random() % 200);
        for (auto& byte : packet) byte = static_cast<std::uint8_t>(random());
        garbage.push_back(std::move(packet));
    }
    Decoded decoded = recognise(recognizer, garbage);
    EXPECT_TRUE(decoded.onFinish);
    EXPECT_GT(recognizer.corruptPackets(), 0);
}

TEST(Recognizer, TheWidebandModelGetsTheAudioResampled) {
    Recognizer recognizer(pool("en-US_8k"), StartOptions{});
    Decoded decoded = recognise(recognizer, speexPackets(speech("hello world, this is a test")));
    ASSERT_TRUE(decoded.onFinish);
    EXPECT_FALSE(decoded.onFinish->transcripts.empty());
}

}  // namespace
}  // namespace varen::server
