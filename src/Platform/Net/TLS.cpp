#include "Platform/Net/TLS.h"
#include "Platform/Security/Security.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/ssl/error.hpp>

namespace varen::platform::detail {

namespace {

bool isIPLiteral(const std::string& name) {
    asio::error_code ec;
    asio::ip::make_address(name, ec);
    return !ec;
}

Error openSSLError(unsigned long packed, const std::string& fallback) {
    const char* reason = ERR_reason_error_string(packed);
    return Error::withDescription(kStreamTLSErrorDomain, ERR_GET_REASON(packed),
                                  reason != nullptr ? reason : fallback);
}

}  // namespace

Result<std::unique_ptr<asio::ssl::context>> makeTLSClientContext(const TLSSettings& settings) {
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    if (!settings.validatesCertificateChain) {
        context->set_verify_mode(asio::ssl::verify_none);
        return context;
    }
    asio::error_code ec;
    context->set_default_verify_paths(ec);
    if (ec) return openSSLError(static_cast<unsigned long>(ec.value()), ec.message());
    for (const auto& pem : settings.extraTrustedCertificatesPEM) {
        context->add_certificate_authority(asio::buffer(pem), ec);
        if (ec) {
            return Error::withDescription(kStreamTLSErrorDomain, ERR_GET_REASON(ec.value()),
                                          "invalid trusted certificate: " + ec.message());
        }
    }
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
}

Result<void> configureTLSSession(SSL* ssl, const TLSSettings& settings, const std::string& name) {
    const bool ipLiteral = isIPLiteral(name);
    if (!name.empty() && !ipLiteral && SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) {
        return openSSLError(ERR_get_error(), "invalid server name");
    }
    if (!settings.validatesCertificateChain) return {};
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = ipLiteral ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                              : X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
    // An empty name would switch the name check off; refuse it instead.
    if (name.empty() || set != 1) {
        return Error::withDescription(kStreamTLSErrorDomain, X509_V_ERR_HOSTNAME_MISMATCH,
                                      "invalid peer name \"" + name + "\"");
    }
    return {};
}

Error tlsError(const asio::error_code& code, SSL* ssl) {
    if (ssl != nullptr) {
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            return Error::withDescription(
                kStreamTLSErrorDomain, verify,
                std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify));
        }
    }
    if (code == asio::ssl::error::stream_truncated || code == asio::error::eof) {
        return Error::withDescription(kStreamTLSErrorDomain, SSL_R_UNEXPECTED_EOF_WHILE_READING,
                                      "unexpected eof while reading");
    }
    if (code.category() == asio::error::get_ssl_category()) {
        return openSSLError(static_cast<unsigned long>(code.value()), code.message());
    }
    return Error::withDescription(kStreamErrorDomain, code.value(), code.message());
}

std::vector<Data> peerCertificateChain(SSL* ssl) {
    std::vector<Data> chain;
    X509* leaf = SSL_get1_peer_certificate(ssl);
    if (leaf != nullptr) {
        if (auto der = derEncoding(leaf)) chain.push_back(std::move(*der));
        X509_free(leaf);
    }
    STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
    for (int i = 0; sent != nullptr && i < sk_X509_num(sent); ++i) {
        auto der = derEncoding(sk_X509_value(sent, i));
        // The client-side chain normally starts with the leaf already.
        if (der && !(i == 0 && !chain.empty() && chain.front() == *der)) {
            chain.push_back(std::move(*der));
        }
    }
    return chain;
}

}  // namespace varen::platform::detail
