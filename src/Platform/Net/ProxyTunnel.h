#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Platform/HTTP/HTTPMessage.h"
#include "Platform/Net/Streams.h"

namespace varen::platform::detail {

// The longest answer head a proxy may send to CONNECT; a longer one is a proxy fault.
inline constexpr std::size_t kMaxProxyAnswerHead = 16 * 1024;

// "host:port" as CONNECT and Host want it: an IPv6 literal in brackets.
std::string authorityOf(const std::string& host, std::uint32_t port);

// The request asking the proxy for a tunnel to host:port, with Basic credentials when the
// settings carry a user.
Data proxyConnectRequest(const ProxySettings& proxy, const std::string& host, std::uint32_t port);

// The proxy could not be reached (name lookup or connect failed); `cause` is the system's error.
Error proxyUnreachableError(const ProxySettings& proxy, const Error& cause);
// The connection to the proxy failed while asking for the tunnel.
Error proxyBrokenError(const ProxySettings& proxy, std::int64_t code, const std::string& reason);

// Reads a proxy's answer to CONNECT, fed as bytes arrive, at most kMaxProxyAnswerHead of them.
// The tunnel is up on a 2xx answer with nothing after its head: until we have spoken through
// the tunnel the origin has nothing to say, so early bytes can only come from the proxy.
//
// Thread safety: none; it belongs to the connection's I/O thread.
class ProxyAnswerReader {
  public:
    enum class Progress { NeedMore, Established, Failed };

    explicit ProxyAnswerReader(ProxySettings proxy) : proxy_(std::move(proxy)) {}

    Progress append(const std::uint8_t* bytes, std::size_t length);
    // The end of the stream came before the answer was complete.
    Error endedEarly() const;
    // How many more bytes the answer may have.
    std::size_t room() const { return kMaxProxyAnswerHead - received_; }
    // Why the tunnel failed, after `Progress::Failed`.
    const std::optional<Error>& error() const { return error_; }

  private:
    Progress failWith(Error error);

    ProxySettings proxy_;
    HTTPMessage answer_ = HTTPMessage::createEmptyResponse();
    std::size_t received_ = 0;
    std::optional<Error> error_;
};

}  // namespace varen::platform::detail
