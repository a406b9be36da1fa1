#include "WebSocket/SRUTF8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varen {
namespace {

std::optional<std::size_t> prefix(const std::string& s) {
    return SRValidUTF8PrefixLength(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
bool valid(const std::string& s) {
    return SRIsValidUTF8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(SRUTF8, StrictCheckFollowsTheWellFormedTable) {
    for (const std::string& ok :
         std::vector<std::string>{"", "plain ascii", "\xC2\x80", "\xE2\x82\xAC", "\xED\x9F\xBF",
                                  "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", std::string("a\0b", 3)})
        EXPECT_TRUE(valid(ok)) << ok;
    // Overlong forms, surrogates, above U+10FFFF, stray continuation, cut at the end.
    for (const std::string& bad : std::vector<std::string>{
             "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
             "\xF5\x80\x80\x80", "\x80", "\xFF", "abc\xE2\x82"})
        EXPECT_FALSE(valid(bad)) << bad;
}

TEST(SRUTF8, PartialCheckDefersACharacterCutByTheEnd) {
    EXPECT_EQ(prefix("ab\xE2\x82"), 2u);
    EXPECT_EQ(prefix("ab\xE2"), 2u);
    EXPECT_EQ(prefix("\xF0\x9F\x98"), 0u);
    EXPECT_EQ(prefix("ab\xE2\x82\xAC"), 5u);
    // Only the first byte decides at the end: E0 80 waits, the next byte or the final check
    // rejects it.
    EXPECT_EQ(prefix("\xE0\x80"), 0u);
    EXPECT_EQ(prefix("\xE0\x80\x80"), std::nullopt);
}

TEST(SRUTF8, PartialCheckFailsFastOnBytesThatCannotStartACharacter) {
    EXPECT_EQ(prefix("ok\xC0"), std::nullopt);
    EXPECT_EQ(prefix("ok\xFF"), std::nullopt);
    EXPECT_EQ(prefix("ok\x80"), std::nullopt);
    // A complete sequence that is broken inside fails even if more bytes follow later.
    EXPECT_EQ(prefix("\xE2\x28\xA1"), std::nullopt);
    EXPECT_EQ(prefix("\xE2\x82z"), std::nullopt);
}

TEST(SRUTF8, NulCharacterDoesNotStopTheCheck) {
    // A U+0000 before a character cut by the fragment end is still valid text so far.
    EXPECT_EQ(prefix(std::string("a\0\xE2\x82", 4)), 2u);
    EXPECT_EQ(prefix(std::string("a\0\xFF", 3)), std::nullopt);
}

}  // namespace
}  // namespace varen
