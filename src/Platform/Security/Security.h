#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "varenstt/Platform/Data.h"

// OpenSSL's certificate record (X509).
struct x509_st;

namespace varen::platform {

// Fills `count` bytes from the system's cryptographically secure generator; 0 on success, -1
// when the generator could not deliver (the bytes are then unspecified).
int secureRandomCopyBytes(std::uint8_t* bytes, std::size_t count);

// The SHA-1 digest (FIPS 180-4) of `length` bytes.
std::array<std::uint8_t, 20> sha1(const std::uint8_t* bytes, std::size_t length);

// Base64 of RFC 4648 with its standard alphabet, padded, without line breaks.
std::string base64Encode(const std::uint8_t* bytes, std::size_t length);
inline std::string base64Encode(const Data& data) {
    return base64Encode(data.data(), data.size());
}

// Strict decoding: the padded standard alphabet only, length a multiple of four, no whitespace.
// Anything else gives none.
std::optional<Data> base64Decode(std::string_view text);

// One X.509 certificate, held as its DER encoding; equality is byte equality of the encodings.
// The DER encoding of an OpenSSL certificate; none when it cannot be encoded.
std::optional<Data> derEncoding(x509_st* certificate);

// True when `chain` (DER, leaf first, as a server sent it) verifies from its leaf up to one of
// `anchors` (DER), these being the only trust anchors: every signature and validity period on the
// way, a leaf fit for a TLS server, and the leaf naming `peerName` (a host name, or an address).
bool chainVerifiesToAnchors(const std::vector<Data>& chain, const std::vector<Data>& anchors,
                            const std::string& peerName);

class Certificate {
  public:
    // The bytes must be exactly one well-formed DER certificate (no trailing bytes).
    static std::optional<Certificate> fromDER(Data der);
    // The first certificate of a PEM text ("-----BEGIN CERTIFICATE-----").
    static std::optional<Certificate> fromPEM(std::string_view pem);
    // A file holding a certificate in PEM (the first one is taken) or in DER.
    static std::optional<Certificate> fromFile(const std::filesystem::path& path);

    const Data& derData() const { return der_; }

    bool operator==(const Certificate& other) const = default;

  private:
    explicit Certificate(Data der) : der_(std::move(der)) {}
    Data der_;
};

}  // namespace varen::platform
