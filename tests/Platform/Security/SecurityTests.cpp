#include "Platform/Security/Security.h"

#include <gtest/gtest.h>

#include <string>

#include "Support/TestSupport.h"

namespace varen::platform {
namespace {

Data bytesOf(std::string_view text) {
    return Data(text.begin(), text.end());
}

std::string encode(std::string_view text) {
    const Data data = bytesOf(text);
    return base64Encode(data.data(), data.size());
}

std::string hex(const std::array<std::uint8_t, 20>& digest) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (auto byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

TEST(Security, AcceptKeyOfTheWebSocketRfcExample) {
    const Data input = bytesOf("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    const auto digest = sha1(input.data(), input.size());
    EXPECT_EQ(base64Encode(digest.data(), digest.size()), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Security, Sha1KnownAnswers) {
    EXPECT_EQ(hex(sha1(nullptr, 0)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const Data abc = bytesOf("abc");
    EXPECT_EQ(hex(sha1(abc.data(), abc.size())), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Security, Base64EncodesTheRfc4648Vectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
}

TEST(Security, Base64HasNoLineBreaksAcrossChunks) {
    // Longer than the encoder's internal chunk, and not a multiple of three.
    Data data(100001);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    const std::string text = base64Encode(data.data(), data.size());
    EXPECT_EQ(text.size(), (data.size() + 2) / 3 * 4);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('='), text.size() - 1);
    EXPECT_EQ(base64Decode(text), data);
}

TEST(Security, Base64DecodesTheRfc4648Vectors) {
    EXPECT_EQ(base64Decode(""), Data{});
    EXPECT_EQ(base64Decode("Zg=="), bytesOf("f"));
    EXPECT_EQ(base64Decode("Zm8="), bytesOf("fo"));
    EXPECT_EQ(base64Decode("Zm9v"), bytesOf("foo"));
    EXPECT_EQ(base64Decode("Zm9vYmE="), bytesOf("fooba"));
    EXPECT_EQ(base64Decode("+/+/"), (Data{0xfb, 0xff, 0xbf}));
}

TEST(Security, Base64DecodeRejectsMalformedText) {
    EXPECT_EQ(base64Decode("Zg="), std::nullopt);       // length not a multiple of four
    EXPECT_EQ(base64Decode("Zg"), std::nullopt);        // unpadded
    EXPECT_EQ(base64Decode("Z==="), std::nullopt);      // too much padding
    EXPECT_EQ(base64Decode("Zg==Zm9v"), std::nullopt);  // padding inside
    EXPECT_EQ(base64Decode("Zm9v\nYmFy"), std::nullopt);
    EXPECT_EQ(base64Decode("Zm9-"), std::nullopt);  // the URL-safe alphabet is another encoding
    EXPECT_EQ(base64Decode("Zm9vYmFy"), bytesOf("foobar"));
}

TEST(Security, RandomBytesDiffer) {
    std::array<std::uint8_t, 16> first{};
    std::array<std::uint8_t, 16> second{};
    ASSERT_EQ(secureRandomCopyBytes(first.data(), first.size()), 0);
    ASSERT_EQ(secureRandomCopyBytes(second.data(), second.size()), 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(secureRandomCopyBytes(nullptr, 0), 0);
}

// A self-signed certificate made by the openssl command line, in PEM and DER.
class CertificateFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto dir = folder.path().string();
        ASSERT_EQ(test::runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                                   "/CN=localhost -keyout '" +
                                   dir + "/key.pem' -out '" + dir + "/cert.pem' 2>/dev/null"),
                  0);
        ASSERT_EQ(test::runCommand("openssl x509 -in '" + dir + "/cert.pem' -outform DER -out '" +
                                   dir + "/cert.der'"),
                  0);
        pemPath = folder.path() / "cert.pem";
        derPath = folder.path() / "cert.der";
    }

    test::TemporaryDirectory folder;
    std::filesystem::path pemPath;
    std::filesystem::path derPath;
};

TEST_F(CertificateFiles, PemAndDerGiveTheSameEncoding) {
    const Data der = test::readBinaryFile(derPath);
    const auto fromDer = Certificate::fromDER(der);
    ASSERT_TRUE(fromDer);
    EXPECT_EQ(fromDer->derData(), der);

    const auto fromPem = Certificate::fromPEM(test::readTextFile(pemPath));
    ASSERT_TRUE(fromPem);
    EXPECT_EQ(fromPem->derData(), der);

    EXPECT_EQ(Certificate::fromFile(pemPath), fromDer);
    EXPECT_EQ(Certificate::fromFile(derPath), fromDer);
}

TEST_F(CertificateFiles, PemTakesTheFirstCertificate) {
    const std::string first = test::readTextFile(pemPath);
    const auto dir = folder.path().string();
    ASSERT_EQ(test::runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other "
                               "-keyout '" +
                               dir + "/key2.pem' -out '" + dir + "/other.pem' 2>/dev/null"),
              0);
    const std::string bundle =
        "leading text\n" + first + test::readTextFile(folder.path() / "other.pem");
    EXPECT_EQ(Certificate::fromPEM(bundle), Certificate::fromPEM(first));
    EXPECT_NE(Certificate::fromPEM(bundle), Certificate::fromFile(folder.path() / "other.pem"));
}

TEST_F(CertificateFiles, RejectsWhatIsNotOneCertificate) {
    Data der = test::readBinaryFile(derPath);
    ASSERT_TRUE(Certificate::fromDER(der));

    Data trailing = der;
    trailing.push_back(0);
    EXPECT_EQ(Certificate::fromDER(trailing), std::nullopt);
    Data truncated(der.begin(), der.end() - 1);
    EXPECT_EQ(Certificate::fromDER(truncated), std::nullopt);
    EXPECT_EQ(Certificate::fromDER({}), std::nullopt);

    EXPECT_EQ(
        Certificate::fromPEM("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"),
        std::nullopt);
    EXPECT_EQ(Certificate::fromPEM(test::readTextFile(folder.path() / "key.pem")), std::nullopt);
    EXPECT_EQ(Certificate::fromFile(folder.path() / "missing.pem"), std::nullopt);
}

}  // namespace
}  // namespace varen::platform
