#include "LogText.h"

#include <gtest/gtest.h>

namespace varen::server {
namespace {

TEST(LogText, EscapesEveryControlCharacterAndNothingElse) {
    EXPECT_EQ(escapeControlCharacters("a\nb\r\tc\x1b[0m\x7f"), R"(a\nb\r\tc\x1b[0m\x7f)");
    EXPECT_EQ(escapeControlCharacters("\xc2\x85\xc2\x9b"), R"(\u0085\u009b)");
    EXPECT_EQ(escapeControlCharacters("caf\xc3\xa9 \"q\" \\n \xc2\xa0"),
              "caf\xc3\xa9 \"q\" \\n \xc2\xa0");
    EXPECT_EQ(escapeControlCharacters(std::string("\0\xc2", 2)), R"(\x00)" "\xc2");
}

}  // namespace
}  // namespace varen::server
