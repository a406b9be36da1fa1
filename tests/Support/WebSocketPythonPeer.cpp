#include "Support/WebSocketPythonPeer.h"

namespace varen::test {

WebSocketPythonPeer::WebSocketPythonPeer(const std::string& script, const std::string& certFile,
                                         const std::string& keyFile)
    : secure_(!certFile.empty()) {
    std::vector<std::string> argv{kPython, script};
    if (secure_) {
        argv.insert(argv.end(), {"--cert", certFile, "--key", keyFile});
    }
    process_ = std::make_unique<ChildProcess>(argv);
    const auto line = process_->waitForOutputLine(
        [](const std::string& l) { return l.rfind("PORT ", 0) == 0; }, std::chrono::seconds(20));
    if (line) port_ = std::stoi(line->substr(5));
}

std::string WebSocketPythonPeer::url(const std::string& path, const std::string& host) const {
    return std::string(secure_ ? "wss" : "ws") + "://" + host + ":" + std::to_string(port_) + path;
}

std::string SelfSignedCertificate::pem() const {
    return readTextFile(certFile);
}

SelfSignedCertificate makeSelfSignedCertificate(const std::string& directory,
                                                const std::string& name,
                                                const std::string& subjectAltNames) {
    SelfSignedCertificate c{directory + "/" + name + ".pem", directory + "/" + name + ".key"};
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + " -keyout " +
        c.keyFile + " -out " + c.certFile + " -addext subjectAltName=" + subjectAltNames +
        " >/dev/null 2>&1";
    runCommand(command);
    return c;
}

SelfSignedCertificate makeCertificateIssuedBy(const SelfSignedCertificate& issuer,
                                              const std::string& directory, const std::string& name,
                                              const std::string& subjectAltNames) {
    const std::string base = directory + "/" + name;
    SelfSignedCertificate c{base + ".pem", base + ".key"};
    writeTextFile(base + ".ext", "subjectAltName=" + subjectAltNames + "\n");
    runCommand("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + c.keyFile +
               " -out " + base + ".csr >/dev/null 2>&1 && openssl x509 -req -in " + base +
               ".csr -CA " + issuer.certFile + " -CAkey " + issuer.keyFile +
               " -set_serial 2 -days 2 -extfile " + base + ".ext -out " + c.certFile +
               " >/dev/null 2>&1");
    return c;
}

std::string writeChainFile(const std::string& path,
                           const std::vector<SelfSignedCertificate>& chain) {
    std::string pem;
    for (const auto& certificate : chain) pem += certificate.pem();
    writeTextFile(path, pem);
    return path;
}

}  // namespace varen::test
