#include "Platform/Net/ProxyTunnel.h"

#include "Platform/Security/Security.h"

namespace varen::platform::detail {

namespace {

std::string proxyName(const ProxySettings& proxy) {
    return "Proxy " + authorityOf(proxy.host, proxy.port);
}

Error proxyError(const ProxySettings& proxy, std::int64_t code, const std::string& what) {
    return Error::withDescription(kStreamProxyErrorDomain, code, proxyName(proxy) + " " + what);
}

}  // namespace

std::string authorityOf(const std::string& host, std::uint32_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Data proxyConnectRequest(const ProxySettings& proxy, const std::string& host, std::uint32_t port) {
    const std::string authority = authorityOf(host, port);
    std::string head = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (proxy.user) {
        const std::string credentials = *proxy.user + ":" + proxy.password;
        head += "Proxy-Authorization: Basic " +
                base64Encode(reinterpret_cast<const std::uint8_t*>(credentials.data()),
                             credentials.size()) +
                "\r\n";
    }
    head += "\r\n";
    return Data(head.begin(), head.end());
}

Error proxyUnreachableError(const ProxySettings& proxy, const Error& cause) {
    return proxyError(proxy, cause.code, "unreachable: " + cause.localizedDescription());
}

Error proxyBrokenError(const ProxySettings& proxy, std::int64_t code, const std::string& reason) {
    return proxyError(proxy, code, "broke the connection before the tunnel was up: " + reason);
}

ProxyAnswerReader::Progress ProxyAnswerReader::append(const std::uint8_t* bytes,
                                                      std::size_t length) {
    if (error_) return Progress::Failed;
    received_ += length;
    if (!answer_.appendBytes(bytes, length)) {
        return failWith(proxyError(proxy_, 0, "sent a malformed answer"));
    }
    if (!answer_.isHeaderComplete()) {
        if (received_ < kMaxProxyAnswerHead) return Progress::NeedMore;
        return failWith(proxyError(
            proxy_, 0,
            "sent an answer head longer than " + std::to_string(kMaxProxyAnswerHead) + " bytes"));
    }
    const int status = answer_.responseStatusCode();
    if (status < 200 || status > 299) {
        std::string statusText = std::to_string(status);
        if (!answer_.responseStatusReason().empty())
            statusText += " " + answer_.responseStatusReason();
        Error refused = proxyError(proxy_, status, "refused the tunnel: " + statusText);
        refused.userInfo[kStreamProxyStatusKey] = status;
        return failWith(std::move(refused));
    }
    if (!answer_.body().empty()) {
        return failWith(
            proxyError(proxy_, 0, "sent bytes after its answer, before the tunnel was used"));
    }
    return Progress::Established;
}

Error ProxyAnswerReader::endedEarly() const {
    return proxyError(proxy_, 0, "closed the connection before answering");
}

ProxyAnswerReader::Progress ProxyAnswerReader::failWith(Error error) {
    error_ = std::move(error);
    return Progress::Failed;
}

}  // namespace varen::platform::detail
