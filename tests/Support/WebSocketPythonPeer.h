#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Support/TestSupport.h"

namespace varen::test {

// The python3-websockets peer of tests/WebSocket/peers, started on 127.0.0.1 with an ephemeral
// port (wss when given a certificate and key). Stopped when the object goes.
class WebSocketPythonPeer {
  public:
    explicit WebSocketPythonPeer(const std::string& script, const std::string& certFile = "",
                                 const std::string& keyFile = "");
    bool started() const { return port_ != 0; }
    int port() const { return port_; }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;

  private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
    bool secure_ = false;
};

// A self-signed certificate and key made with the openssl command line.
struct SelfSignedCertificate {
    std::string certFile;
    std::string keyFile;
    std::string pem() const;
};
// Subject alternative names as openssl writes them, e.g. "DNS:localhost,IP:127.0.0.1".
SelfSignedCertificate makeSelfSignedCertificate(const std::string& directory,
                                                const std::string& name,
                                                const std::string& subjectAltNames);
// A certificate for `name` issued by `issuer` (a self-signed one serves as a CA).
SelfSignedCertificate makeCertificateIssuedBy(const SelfSignedCertificate& issuer,
                                              const std::string& directory, const std::string& name,
                                              const std::string& subjectAltNames);
// A PEM file holding the given certificates in order, as a server sends its chain.
std::string writeChainFile(const std::string& path,
                           const std::vector<SelfSignedCertificate>& chain);

}  // namespace varen::test
