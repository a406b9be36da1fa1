#include "WebSocket/SRFraming.h"

#include <gtest/gtest.h>

#include "WebSocket/SRIOConsumer.h"

namespace varen {
namespace {

const std::array<std::uint8_t, 4> kKey{0x37, 0xFA, 0x21, 0x3D};

Data unmaskedPayload(const Data& frame, std::size_t header) {
    std::array<std::uint8_t, 4> key;
    std::copy(frame.begin() + header, frame.begin() + header + 4, key.begin());
    Data payload(frame.begin() + header + 4, frame.end());
    SRMaskBytes(payload.data(), payload.data(), payload.size(), key);
    return payload;
}

TEST(SRFraming, BuildsMaskedTextFrameForShortPayload) {
    const std::string text = "abc";
    const Data frame = SRBuildFrame(SROpCodeTextFrame,
                                    reinterpret_cast<const std::uint8_t*>(text.data()), 3, kKey);
    ASSERT_EQ(frame.size(), 9u);
    EXPECT_EQ(frame[0], 0x81);
    EXPECT_EQ(frame[1], 0x83);
    EXPECT_EQ(frame[6], 'a' ^ 0x37);
    EXPECT_EQ(frame[7], 'b' ^ 0xFA);
    EXPECT_EQ(frame[8], 'c' ^ 0x21);
}

TEST(SRFraming, EmptyPayloadsAreHeaderAndKeyOnly) {
    EXPECT_EQ(SRBuildFrame(SROpCodeTextFrame, nullptr, 0, kKey),
              (Data{0x81, 0x80, 0x37, 0xFA, 0x21, 0x3D}));
    EXPECT_EQ(SRBuildFrame(SROpCodePing, nullptr, 0, kKey),
              (Data{0x89, 0x80, 0x37, 0xFA, 0x21, 0x3D}));
}

TEST(SRFraming, LengthCodesSwitchAt126And65536) {
    struct Case {
        std::size_t n;
        Data head;
    };
    for (const Case& c : {Case{125, {0x82, 0xFD}}, Case{126, {0x82, 0xFE, 0x00, 0x7E}},
                          Case{65535, {0x82, 0xFE, 0xFF, 0xFF}},
                          Case{65536, {0x82, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0}}}) {
        Data payload(c.n);
        for (std::size_t i = 0; i < c.n; ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
        const Data frame = SRBuildFrame(SROpCodeBinaryFrame, payload.data(), c.n, kKey);
        ASSERT_EQ(frame.size(), c.head.size() + 4 + c.n) << c.n;
        EXPECT_EQ(Data(frame.begin(), frame.begin() + static_cast<long>(c.head.size())), c.head);
        EXPECT_EQ(unmaskedPayload(frame, c.head.size()), payload) << c.n;
    }
}

TEST(SRFraming, MaskingHonoursKeyOffsetAcrossPieces) {
    Data payload(37);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    Data whole(payload.size());
    SRMaskBytes(whole.data(), payload.data(), payload.size(), kKey, 0);
    // Unmasking in uneven pieces with a running offset gives the same bytes back.
    Data pieces = whole;
    std::size_t at = 0;
    for (std::size_t len : {3u, 1u, 17u, 16u}) {
        SRMaskBytes(pieces.data() + at, pieces.data() + at, len, kKey, at);
        at += len;
    }
    EXPECT_EQ(pieces, payload);
}

TEST(SRFraming, ParsesHeaderStartAndExtendedLengths) {
    const auto h = SRParseFrameHeaderStart(0x81, 0x05);
    EXPECT_TRUE(h.fin);
    EXPECT_FALSE(h.rsv);
    EXPECT_EQ(h.opcode, 1);
    EXPECT_EQ(h.extraBytes(), 0u);
    EXPECT_TRUE(SRParseFrameHeaderStart(0xC1, 0x00).rsv);

    const auto h16 = SRParseFrameHeaderStart(0x02, 0xFE);
    EXPECT_FALSE(h16.fin);
    EXPECT_TRUE(h16.masked);
    ASSERT_EQ(h16.extraBytes(), 6u);
    const std::uint8_t extra16[] = {0x01, 0x00, 9, 8, 7, 6};
    const auto rest16 = SRParseFrameHeaderRest(h16, extra16);
    EXPECT_EQ(rest16.payloadLength, 256u);
    EXPECT_EQ(rest16.maskKey, (std::array<std::uint8_t, 4>{9, 8, 7, 6}));

    const auto h64 = SRParseFrameHeaderStart(0x82, 0x7F);
    ASSERT_EQ(h64.extraBytes(), 8u);
    const std::uint8_t extra64[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SRParseFrameHeaderRest(h64, extra64).payloadLength, ~std::uint64_t{0});
}

TEST(SRFraming, AcceptsOnlyRegisteredAndPrivateCloseCodes) {
    for (std::uint32_t code : {1000u, 1003u, 1007u, 1011u, 3000u, 4999u})
        EXPECT_TRUE(SRIsAcceptableCloseCode(code)) << code;
    for (std::uint32_t code : {0u, 999u, 1004u, 1005u, 1006u, 1012u, 2999u, 5000u, 65535u})
        EXPECT_FALSE(SRIsAcceptableCloseCode(code)) << code;
}

TEST(SRFraming, ClosePayloadCarriesLow16BitsOfCodeAndReason) {
    EXPECT_EQ(SRClosePayload(1000, std::nullopt), (Data{0x03, 0xE8}));
    EXPECT_EQ(SRClosePayload(4000, "bye"), (Data{0x0F, 0xA0, 'b', 'y', 'e'}));
    EXPECT_EQ(SRClosePayload(70000, std::nullopt), (Data{0x11, 0x70}));
}

TEST(SRFraming, LongCloseReasonIsCutOnACharacterBoundaryAt123Bytes) {
    // 122 ASCII bytes and a 3-byte euro sign: the sign would end at byte 125.
    const std::string reason = std::string(122, 'x') + "\xE2\x82\xAC" + "tail";
    const Data payload = SRClosePayload(1000, reason);
    EXPECT_EQ(payload.size(), 2u + 122u);
    const std::string fits = std::string(120, 'y') + "\xE2\x82\xAC";  // exactly 123 bytes
    EXPECT_EQ(SRClosePayload(1000, fits).size(), 125u);
    EXPECT_EQ(SRTruncateUTF8("ab\xFF"
                             "cd",
                             123),
              "ab");
}

TEST(SRIOConsumer, DelimiterScannerEndsJustAfterTheDelimiter) {
    const std::string head = std::string("HTTP/1.1 101 OK\r\nA: b\r\n\r\n") + "\x81" + "x";
    const std::uint8_t crlf[] = {'\r', '\n', '\r', '\n'};
    const auto* p = reinterpret_cast<const std::uint8_t*>(head.data());
    EXPECT_EQ(SRScanUntilBytes(p, head.size(), crlf, 4), head.size() - 2);
    EXPECT_EQ(SRScanUntilBytes(p, 20, crlf, 4), 0u);
}

}  // namespace
}  // namespace varen
