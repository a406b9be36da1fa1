#include "Managers/SpeexManagers/SpeexCodec.h"

#include <gtest/gtest.h>
#include <speex/speex.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "SpeexTestAudio.h"

using varen::Data;
using varen::SpeexCodec;

namespace {

// The library's own narrowband decoder, independent of the class under test.
class ReferenceDecoder {
  public:
    ReferenceDecoder() {
        speex_bits_init(&bits_);
        state_ = speex_decoder_init(&speex_nb_mode);
    }
    ~ReferenceDecoder() {
        speex_bits_destroy(&bits_);
        speex_decoder_destroy(state_);
    }
    // The library's result code; the samples go to `output`.
    int decode(const Data& packet, std::int16_t* output) {
        speex_bits_read_from(&bits_, reinterpret_cast<const char*>(packet.data()),
                             static_cast<int>(packet.size()));
        return speex_decode_int(state_, &bits_, output);
    }

  private:
    SpeexBits bits_{};
    void* state_ = nullptr;
};

// Encodes every whole frame one call at a time and decodes the packets back.
struct RoundTrip {
    std::vector<Data> packets;
    std::vector<std::int16_t> decoded;
};

RoundTrip roundTrip(const std::vector<std::int16_t>& samples) {
    SpeexCodec codec;
    codec.open(8);
    ReferenceDecoder decoder;
    RoundTrip result;
    for (std::size_t at = 0; at + 160 <= samples.size(); at += 160) {
        auto packet = codec.encode(samples.data() + at, 160);
        if (!packet) break;
        std::array<std::int16_t, 160> out{};
        EXPECT_EQ(decoder.decode(*packet, out.data()), 0);
        result.decoded.insert(result.decoded.end(), out.begin(), out.end());
        result.packets.push_back(std::move(*packet));
    }
    codec.close();
    return result;
}

}  // namespace

TEST(SpeexCodec, OpensOnlyForQualitiesOneToTen) {
    const std::vector<std::int16_t> frame(160, 0);
    for (int refused : {0, 11, -1, 1000}) {
        SpeexCodec codec;
        codec.open(refused);
        EXPECT_EQ(codec.codecOpenedTimes(), 0) << refused;
        EXPECT_FALSE(codec.encode(frame.data(), 160)) << refused;
    }
    for (int accepted : {1, 10}) {
        SpeexCodec codec;
        codec.open(accepted);
        EXPECT_EQ(codec.codecOpenedTimes(), 1);
        EXPECT_EQ(codec.encodeFrameSize(), 160);
        EXPECT_EQ(codec.decodeFrameSize(), 160);
        EXPECT_TRUE(codec.encode(frame.data(), 160));
        codec.close();
    }
}

TEST(SpeexCodec, EachFrameIsOne38BytePacketThatTheLibraryDecoderReadsBack) {
    const auto speech = varen::test::speechSamples8k();
    ASSERT_GE(speech.size(), 8000u) << "sox could not resample the speech sample";
    const std::vector<std::int16_t> silence(1600, 0);
    const auto tone = varen::test::toneSamples(8000, 440, 8000);
    for (const auto* input : {&silence, &tone, &speech}) {
        const auto trip = roundTrip(*input);
        ASSERT_EQ(trip.packets.size(), input->size() / 160);
        for (const auto& packet : trip.packets) EXPECT_EQ(packet.size(), 38u);
    }
    EXPECT_LT(varen::test::rms(roundTrip(silence).decoded.data(), 1600), 10.0);
    // Past the decoder's warm-up a steady tone comes back at about its level.
    const auto decoded = roundTrip(tone).decoded;
    const double in = varen::test::rms(tone.data() + 1600, 6400);
    const double out = varen::test::rms(decoded.data() + 1600, 6400);
    EXPECT_GT(out, in * 0.7);
    EXPECT_LT(out, in * 1.3);

    // The class's own decoder gives exactly what the library's gives.
    const auto spoken = roundTrip(speech);
    SpeexCodec codec;
    codec.open(8);
    std::vector<std::int16_t> ours;
    for (const auto& packet : spoken.packets) {
        std::array<std::int16_t, 160> samples{};
        EXPECT_EQ(codec.decode(packet.data(), 38, samples.data()), 160);
        ours.insert(ours.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(ours, spoken.decoded);
    codec.close();
}

TEST(SpeexCodec, SeveralFramesGiveTheirPacketsInOrderAndAShortFrameIsFilledWithSilence) {
    const auto tone = varen::test::toneSamples(320, 500, 7000);
    SpeexCodec both;
    both.open(8);
    SpeexCodec single;
    single.open(8);
    auto together = both.encode(tone.data(), 320);
    auto first = single.encode(tone.data(), 160);
    auto second = single.encode(tone.data() + 160, 160);
    ASSERT_TRUE(together && first && second);
    Data expected = *first;
    expected.insert(expected.end(), second->begin(), second->end());
    EXPECT_EQ(*together, expected);

    // Exactly 100 samples on the heap: reading past them would be caught by the sanitizer.
    std::vector<std::int16_t> shortInput(tone.begin(), tone.begin() + 100);
    std::vector<std::int16_t> padded(160, 0);
    std::copy(shortInput.begin(), shortInput.end(), padded.begin());
    SpeexCodec a;
    a.open(8);
    SpeexCodec b;
    b.open(8);
    auto fromShort = a.encode(shortInput.data(), 100);
    auto fromPadded = b.encode(padded.data(), 160);
    ASSERT_TRUE(fromShort && fromPadded);
    EXPECT_EQ(fromShort->size(), 38u);
    EXPECT_EQ(*fromShort, *fromPadded);

    auto none = a.encode(shortInput.data(), 0);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(SpeexCodec, DecodeRefusesPacketsOver200BytesAndAClosedCodec) {
    SpeexCodec codec;
    std::array<std::int16_t, 160> output;
    output.fill(7);
    const Data packet(201, 0x55);
    EXPECT_EQ(codec.decode(packet.data(), 38, output.data()), 0);  // never opened
    codec.open(8);
    EXPECT_EQ(codec.decode(packet.data(), 201, output.data()), 0);
    EXPECT_EQ(codec.decode(packet.data(), -1, output.data()), 0);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](auto s) { return s == 7; }));
    EXPECT_EQ(codec.decode(packet.data(), 200, output.data()), 160);
}

TEST(SpeexCodec, ReopeningOnlyCountsAndTheLastCloseTearsDown) {
    const auto tone = varen::test::toneSamples(160, 440, 8000);
    SpeexCodec codec;
    codec.open(8);
    codec.open(3);  // quality 3 would give 20-byte packets
    EXPECT_EQ(codec.codecOpenedTimes(), 2);
    auto packet = codec.encode(tone.data(), 160);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->size(), 38u);

    codec.close();
    EXPECT_TRUE(codec.encode(tone.data(), 160));
    codec.close();
    EXPECT_EQ(codec.codecOpenedTimes(), 0);
    EXPECT_FALSE(codec.encode(tone.data(), 160));

    // A close too many leaves the codec closed; the destructor's close tears nothing down twice.
    codec.close();
    EXPECT_EQ(codec.codecOpenedTimes(), -1);
    std::array<std::int16_t, 160> output{};
    EXPECT_EQ(codec.decode(packet->data(), 38, output.data()), 0);
    EXPECT_FALSE(codec.encode(tone.data(), 160));

    // Left open, the destructor tears it down (the sanitizer build's leak check fails otherwise).
    SpeexCodec leftOpen;
    leftOpen.open(8);
}
