#include "Platform/Security/Security.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace varen::platform {

namespace {

// OpenSSL is set up when the library loads, without its exit-time cleanup: sockets' work queues
// may still draw random bytes or finish a TLS read while the process exits.
[[maybe_unused]] const bool openSSLReady = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
    return true;
}();

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BIOFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct X509StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct X509StoreContextFree {
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

constexpr std::size_t kChunk = 1 << 30;  // the OpenSSL calls take int lengths

X509Ptr parseDER(const Data& der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return nullptr;
    const unsigned char* in = der.data();
    return X509Ptr(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
}

bool isAddress(const std::string& name) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, name.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

bool setPeerName(X509_VERIFY_PARAM* param, const std::string& peerName) {
    if (peerName.empty()) return false;  // an empty name would switch the check off
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return (isAddress(peerName)
                ? X509_VERIFY_PARAM_set1_ip_asc(param, peerName.c_str())
                : X509_VERIFY_PARAM_set1_host(param, peerName.c_str(), peerName.size())) == 1;
}

bool isBase64Alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::optional<Data> derEncoding(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return std::nullopt;
    Data der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_X509(certificate, &out) != length) return std::nullopt;
    return der;
}

bool chainVerifiesToAnchors(const std::vector<Data>& chain, const std::vector<Data>& anchors,
                            const std::string& peerName) {
    if (chain.empty() || anchors.empty()) return false;
    X509Ptr leaf = parseDER(chain.front());
    std::unique_ptr<X509_STORE, X509StoreFree> store(X509_STORE_new());
    std::unique_ptr<STACK_OF(X509), X509StackFree> untrusted(sk_X509_new_null());
    std::unique_ptr<X509_STORE_CTX, X509StoreContextFree> context(X509_STORE_CTX_new());
    if (!leaf || !store || !untrusted || !context) return false;
    for (const Data& der : anchors) {
        X509Ptr anchor = parseDER(der);
        if (anchor && X509_STORE_add_cert(store.get(), anchor.get()) != 1) return false;
    }
    for (std::size_t i = 1; i < chain.size(); ++i) {
        X509Ptr certificate = parseDER(chain[i]);
        if (certificate && sk_X509_push(untrusted.get(), certificate.get()) > 0) {
            certificate.release();  // the stack owns it now
        }
    }
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), untrusted.get()) != 1) {
        return false;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    // A pinned intermediate is an anchor of its own; the chain need not reach a root.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
    if (!setPeerName(param, peerName)) return false;
    return X509_verify_cert(context.get()) == 1;
}

int secureRandomCopyBytes(std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const std::size_t part = std::min(count, kChunk);
        if (RAND_bytes(bytes, static_cast<int>(part)) != 1) return -1;
        bytes += part;
        count -= part;
    }
    return 0;
}

std::array<std::uint8_t, 20> sha1(const std::uint8_t* bytes, std::size_t length) {
    std::array<std::uint8_t, 20> digest{};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    // Only allocation failure can make these fail; a digest that silently came out as zeros
    // would be worse than stopping.
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1) std::abort();
    if (length > 0 && EVP_DigestUpdate(context.get(), bytes, length) != 1) std::abort();
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &written) != 1 || written != 20) {
        std::abort();
    }
    return digest;
}

std::string base64Encode(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    // Whole groups of three per chunk keep the padding only at the very end.
    constexpr std::size_t kEncodeChunk = 3 * 4096;
    unsigned char out[kEncodeChunk / 3 * 4 + 1];
    while (length > 0) {
        const std::size_t part = std::min(length, kEncodeChunk);
        const int written = EVP_EncodeBlock(out, bytes, static_cast<int>(part));
        text.append(reinterpret_cast<const char*>(out), static_cast<std::size_t>(written));
        bytes += part;
        length -= part;
    }
    return text;
}

std::optional<Data> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        if (!isBase64Alphabet(text[i])) return std::nullopt;
    }
    Data data;
    data.reserve(text.size() / 4 * 3);
    constexpr std::size_t kDecodeChunk = 4 * 4096;
    Data out(kDecodeChunk / 4 * 3);
    for (std::size_t offset = 0; offset < text.size(); offset += kDecodeChunk) {
        const std::size_t part = std::min(text.size() - offset, kDecodeChunk);
        const int written = EVP_DecodeBlock(
            out.data(), reinterpret_cast<const unsigned char*>(text.data() + offset),
            static_cast<int>(part));
        if (written < 0) return std::nullopt;
        data.insert(data.end(), out.begin(), out.begin() + written);
    }
    // The decoder counts padded positions as zero bytes.
    data.resize(data.size() - padding);
    return data;
}

std::optional<Certificate> Certificate::fromDER(Data der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return std::nullopt;
    const unsigned char* in = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
    if (!certificate || in != der.data() + der.size()) return std::nullopt;
    return Certificate(std::move(der));
}

std::optional<Certificate> Certificate::fromPEM(std::string_view pem) {
    if (pem.empty() || pem.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    std::unique_ptr<BIO, BIOFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return std::nullopt;
    X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) return std::nullopt;
    auto der = derEncoding(certificate.get());
    if (!der) return std::nullopt;
    return Certificate(std::move(*der));
}

std::optional<Certificate> Certificate::fromFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    Data bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    static constexpr std::string_view kBegin = "-----BEGIN";
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find(kBegin) != std::string_view::npos) return fromPEM(text);
    return fromDER(std::move(bytes));
}

}  // namespace varen::platform
