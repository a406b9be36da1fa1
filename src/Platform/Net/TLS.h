#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/error_code.hpp>
#include <asio/ssl/context.hpp>

#include "Platform/Foundation/Result.h"
#include "Platform/Net/Streams.h"

namespace varen::platform::detail {

// A client context for the settings: with validation, the system trust store plus the extra
// CAs and peer verification; without, no verification at all. An extra CA that is not valid PEM
// gives the error instead.
Result<std::unique_ptr<asio::ssl::context>> makeTLSClientContext(const TLSSettings& settings);

// Per-connection setup: SNI for a host name (never for an IP literal) and, with validation, the
// name (or address) the certificate must carry. An error when the name is unusable.
Result<void> configureTLSSession(SSL* ssl, const TLSSettings& settings, const std::string& name);

// The error to report for a failed TLS operation: verification failures carry the X.509
// verification result as code, other TLS failures OpenSSL's reason code and text.
Error tlsError(const asio::error_code& code, SSL* ssl);

// The chain the server sent, leaf first, as DER.
std::vector<Data> peerCertificateChain(SSL* ssl);

}  // namespace varen::platform::detail
