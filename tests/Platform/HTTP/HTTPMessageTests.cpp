#include "Platform/HTTP/HTTPMessage.h"

#include <gtest/gtest.h>

#include <string>

namespace varen::platform {
namespace {

std::string text(const Data& data) {
    return std::string(data.begin(), data.end());
}

HTTPMessage request(std::string_view url) {
    const auto parsed = URL::URLWithString(url);
    EXPECT_TRUE(parsed) << url;
    return HTTPMessage::createRequest("GET", *parsed);
}

bool feed(HTTPMessage& message, std::string_view bytes) {
    return message.appendBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

HTTPMessage response(std::string_view bytes) {
    HTTPMessage message = HTTPMessage::createEmptyResponse();
    feed(message, bytes);
    return message;
}

constexpr std::string_view kUpgrade =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
    "\r\n";

TEST(HTTPRequest, ResourceNameIsSlashForAnEmptyPath) {
    HTTPMessage message = request("ws://example.com");
    EXPECT_TRUE(message.setHeaderFieldValue("Host", "example.com"));
    EXPECT_EQ(text(message.serializedMessage()), "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n");
}

TEST(HTTPRequest, ResourceNameCarriesPathAndQuery) {
    EXPECT_EQ(text(request("ws://example.com:8080/x?y=1").serializedMessage()),
              "GET /x?y=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(text(request("wss://[::1]/a/b?").serializedMessage()), "GET /a/b? HTTP/1.1\r\n\r\n");
    EXPECT_EQ(text(request("ws://h?k=v").serializedMessage()), "GET /?k=v HTTP/1.1\r\n\r\n");
}

TEST(HTTPRequest, FieldSetTwiceIsReplacedInPlaceWhateverTheCase) {
    HTTPMessage message = request("ws://h/");
    message.setHeaderFieldValue("Origin", "http://a");
    message.setHeaderFieldValue("Upgrade", "websocket");
    message.setHeaderFieldValue("origin", "http://b");
    ASSERT_EQ(message.allHeaderFields().size(), 2u);
    EXPECT_EQ(message.headerFieldValue("ORIGIN"), "http://b");
    EXPECT_EQ(text(message.serializedMessage()),
              "GET / HTTP/1.1\r\nOrigin: http://b\r\nUpgrade: websocket\r\n\r\n");
    EXPECT_EQ(message.headerFieldValue("Cookie"), std::nullopt);
}

TEST(HTTPRequest, RefusesFieldsThatWouldCorruptTheHead) {
    HTTPMessage message = request("ws://h/");
    EXPECT_FALSE(message.setHeaderFieldValue("X-Evil", "a\r\nHost: other"));
    EXPECT_FALSE(message.setHeaderFieldValue("X-Evil", std::string_view("a\0b", 3)));
    EXPECT_FALSE(message.setHeaderFieldValue("Bad Name", "v"));
    EXPECT_FALSE(message.setHeaderFieldValue("Bad:Name", "v"));
    EXPECT_FALSE(message.setHeaderFieldValue("", "v"));
    EXPECT_TRUE(message.setHeaderFieldValue("X-Fine", ""));
    EXPECT_TRUE(message.setHeaderFieldValue("X-Fine2", "tab\tand utf-8 \xc3\xa9"));
    EXPECT_EQ(text(message.serializedMessage()),
              "GET / HTTP/1.1\r\nX-Fine: \r\nX-Fine2: tab\tand utf-8 \xc3\xa9\r\n\r\n");
}

TEST(HTTPResponse, ParsesStatusVersionReasonAndFields) {
    const HTTPMessage message = response(kUpgrade);
    ASSERT_TRUE(message.isHeaderComplete());
    EXPECT_EQ(message.responseStatusCode(), 101);
    EXPECT_EQ(message.httpVersion(), "HTTP/1.1");
    EXPECT_EQ(message.responseStatusReason(), "Switching Protocols");
    EXPECT_EQ(message.headerFieldValue("sec-websocket-accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(message.headerFieldValue("UPGRADE"), "websocket");
    EXPECT_EQ(message.allHeaderFields().front().first, "Upgrade");
    EXPECT_EQ(message.headerFieldValue("Sec-WebSocket-Protocol"), std::nullopt);
}

TEST(HTTPResponse, CompletesAtEverySplitOfTheHead) {
    for (std::size_t split = 0; split <= kUpgrade.size(); ++split) {
        for (std::size_t second = split; second <= kUpgrade.size(); ++second) {
            HTTPMessage message = HTTPMessage::createEmptyResponse();
            ASSERT_TRUE(feed(message, kUpgrade.substr(0, split)));
            ASSERT_TRUE(feed(message, kUpgrade.substr(split, second - split)));
            EXPECT_EQ(message.isHeaderComplete(), second == kUpgrade.size())
                << split << "/" << second;
            ASSERT_TRUE(feed(message, kUpgrade.substr(second)));
            ASSERT_TRUE(message.isHeaderComplete());
            EXPECT_EQ(message.responseStatusCode(), 101);
            EXPECT_EQ(message.headerFieldValue("Connection"), "Upgrade");
            EXPECT_EQ(message.allHeaderFields().size(), 3u);
            EXPECT_TRUE(message.body().empty());
        }
    }
}

TEST(HTTPResponse, BytesAfterTheHeadAreBodyNotFields) {
    HTTPMessage message = HTTPMessage::createEmptyResponse();
    ASSERT_TRUE(feed(message, "HTTP/1.1 101 OK\r\nA: 1\r\n\r\n\x81\x02hiX: 2\r\n\r\n"));
    ASSERT_TRUE(feed(message, "more"));
    EXPECT_EQ(message.allHeaderFields().size(), 1u);
    EXPECT_EQ(message.headerFieldValue("X"), std::nullopt);
    EXPECT_EQ(text(message.body()), "\x81\x02hiX: 2\r\n\r\nmore");
}

TEST(HTTPResponse, FieldValuesAreTrimmedFoldedAndCombined) {
    const HTTPMessage message = response(
        "HTTP/1.1 200 OK\r\n"
        "A:   spaced \t\r\n"
        "Folded: one\r\n"
        "  two\r\n"
        "\tthree\r\n"
        "Vary: x\r\n"
        "vary: y\r\n"
        "Empty:\r\n"
        "\r\n");
    ASSERT_TRUE(message.isHeaderComplete());
    EXPECT_EQ(message.headerFieldValue("A"), "spaced");
    EXPECT_EQ(message.headerFieldValue("Folded"), "one two three");
    EXPECT_EQ(message.headerFieldValue("Vary"), "x, y");
    EXPECT_EQ(message.headerFieldValue("Empty"), "");
}

TEST(HTTPResponse, AcceptsAStatusLineWithoutReason) {
    for (std::string_view head : {"HTTP/1.1 404\r\n\r\n", "HTTP/1.0 404 \r\n\r\n"}) {
        const HTTPMessage message = response(head);
        ASSERT_TRUE(message.isHeaderComplete()) << head;
        EXPECT_EQ(message.responseStatusCode(), 404);
        EXPECT_EQ(message.responseStatusReason(), "");
    }
}

TEST(HTTPResponse, RejectsMalformedHeads) {
    const std::string_view malformed[] = {
        "GET / HTTP/1.1\r\n\r\n",                    // a request, not a response
        "http/1.1 200 OK\r\n\r\n",                   // the version name is case-sensitive
        "HTTP/1.1 20 OK\r\n\r\n",                    // two-digit status
        "HTTP/1.1 2000 OK\r\n\r\n",                  // four-digit status
        "HTTP/1.1  200 OK\r\n\r\n",                  // two spaces
        "HTTP/11 200 OK\r\n\r\n",                    // version without a dot
        "HTTP/1.1 200 OK\r\nNoColon\r\n\r\n",        // a field without a colon
        "HTTP/1.1 200 OK\r\nName : v\r\n\r\n",       // space before the colon
        "HTTP/1.1 200 OK\r\n: v\r\n\r\n",            // empty name
        "HTTP/1.1 200 OK\r\n folded first\r\n\r\n",  // continuation without a field
        "HTTP/1.1 200 OK\r\nA: x\ny\r\n\r\n",        // bare LF inside a line
        "HTTP/1.1 200 OK\r\nA: x\ry\r\n\r\n",        // bare CR inside a line
        "HTTP/1.1 200 OK\r\nA: \x01\r\n\r\n",        // control character
    };
    for (std::string_view head : malformed) {
        HTTPMessage message = HTTPMessage::createEmptyResponse();
        EXPECT_FALSE(feed(message, head)) << head;
        EXPECT_FALSE(message.isHeaderComplete()) << head;
        EXPECT_TRUE(message.isMalformed()) << head;
        EXPECT_EQ(message.responseStatusCode(), 0) << head;
        EXPECT_TRUE(message.allHeaderFields().empty()) << head;
        // Once malformed, always malformed.
        EXPECT_FALSE(feed(message, kUpgrade)) << head;
    }
    EXPECT_TRUE(response("HTTP/1.1 200 OK\r\nName: v\r\n\r\n").isHeaderComplete());
}

TEST(HTTPResponse, RejectsNonResponseBytesBeforeTheHeadEnds) {
    HTTPMessage message = HTTPMessage::createEmptyResponse();
    EXPECT_TRUE(feed(message, "HT"));
    EXPECT_FALSE(feed(message, "ML>"));
    EXPECT_TRUE(message.isMalformed());
}

TEST(HTTPResponse, HeadsAreLimitedTo64KiB) {
    const std::string start = "HTTP/1.1 200 OK\r\nX: ";
    const std::string end = "\r\n\r\n";
    const std::string fits =
        start + std::string(HTTPMessage::kMaxHeadLength - start.size() - end.size(), 'a') + end;
    EXPECT_TRUE(response(fits).isHeaderComplete());
    const std::string over =
        start + std::string(HTTPMessage::kMaxHeadLength - start.size() - end.size() + 1, 'a') + end;
    HTTPMessage whole = HTTPMessage::createEmptyResponse();
    EXPECT_FALSE(feed(whole, over));
    // Fed in small pieces the same head is refused at the same point, without waiting for its end.
    HTTPMessage pieces = HTTPMessage::createEmptyResponse();
    std::size_t offset = 0;
    bool accepted = true;
    while (accepted && offset < over.size() - end.size()) {
        accepted = feed(pieces, std::string_view(over).substr(offset, 1000));
        offset += 1000;
    }
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(pieces.isMalformed());
}

TEST(HTTPResponse, SerializesBackToAnEquivalentHead) {
    const HTTPMessage message = response("HTTP/1.0 099 Odd\r\nA:  1 \r\na: 2\r\n\r\nbody");
    ASSERT_TRUE(message.isHeaderComplete());
    EXPECT_EQ(text(message.serializedMessage()), "HTTP/1.0 099 Odd\r\nA: 1, 2\r\n\r\n");
    EXPECT_TRUE(HTTPMessage::createEmptyResponse().serializedMessage().empty());
}

TEST(HTTPResponse, RequestsDoNotParse) {
    HTTPMessage message = request("ws://h/");
    EXPECT_FALSE(feed(message, kUpgrade));
    EXPECT_FALSE(message.isHeaderComplete());
}

}  // namespace
}  // namespace varen::platform
