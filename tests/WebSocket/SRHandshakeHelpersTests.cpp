#include "WebSocket/SRHandshakeHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "varenstt/SRURLRequest.h"

namespace varen {
namespace {

URL url(const char* text) {
    return *URL::URLWithString(text);
}

TEST(SRHandshakeHelpers, AcceptKeyMatchesTheRFCExample) {
    EXPECT_EQ(SRAcceptKeyForKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(stringBySHA1ThenBase64Encoding(std::string_view("abc")),
              "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_EQ(stringBySHA1ThenBase64Encoding(Data{'a', 'b', 'c'}), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST(SRHandshakeHelpers, OriginUsesHttpSchemesAndDropsDefaultPorts) {
    EXPECT_EQ(SR_origin(url("ws://h.example/x?y=1")), "http://h.example");
    EXPECT_EQ(SR_origin(url("wss://h.example:443/")), "https://h.example");
    EXPECT_EQ(SR_origin(url("WSS://h.example:8443/")), "https://h.example:8443");
    EXPECT_EQ(SR_origin(url("ws://h.example:8080")), "http://h.example:8080");
    EXPECT_EQ(SR_origin(url("ws://h.example:443")), "http://h.example:443");
    EXPECT_EQ(SR_origin(url("ws://user:pw@h.example:80/p?q")), "http://h.example");
}

TEST(SRHandshakeHelpers, HostFieldShowsAnExplicitPortAndBracketsIPv6) {
    EXPECT_EQ(SRHostField(url("ws://h.example/x")), "h.example");
    EXPECT_EQ(SRHostField(url("wss://h.example:443/")), "h.example:443");
    EXPECT_EQ(SRHostField(url("ws://[::1]:9000/")), "[::1]:9000");
}

TEST(SRMaskingKeys, DrawsABlockAtATimeAndGivesNoKeyOnceTheGeneratorFails) {
    static int draws = 0;
    SRMaskingKeys keys([](std::uint8_t* bytes, std::size_t length) {
        std::fill(bytes, bytes + length, std::uint8_t(++draws));
        return draws == 1 ? 0 : -1;
    });
    for (int i = 0; i < 64; ++i) ASSERT_EQ(keys.next(), (std::array<std::uint8_t, 4>{1, 1, 1, 1}));
    EXPECT_EQ(keys.next(), std::nullopt);
    EXPECT_EQ(keys.next(), std::nullopt);
    EXPECT_EQ(draws, 3);
}

TEST(SRURLRequest, CookiesBecomeOneCookieField) {
    EXPECT_TRUE(SRRequestHeaderFieldsWithCookies({}).empty());
    const auto fields = SRRequestHeaderFieldsWithCookies({{"a", "1"}, {"b", "two"}});
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"Cookie", "a=1; b=two"}));
}

}  // namespace
}  // namespace varen
