#include "TlsServer.h"

#include "FtpServers.h"
#include "TempDir.h"

namespace {

// One folder per test program, removed at its end: making the certificates costs more than
// starting the server.
const std::string& CertificateFolder() {
    static const TempDir folder;
    return folder.Path();
}

}  // namespace

TlsTestServer::TlsTestServer(bool expired) {
    std::vector<std::string> argv{"/usr/bin/python3", TestSupportDir() + "tls_server.py", "--certs", CertificateFolder()};
    if (expired)
        argv.push_back("--expired");
    process_ = std::make_unique<ServerProcess>(argv);
    port_ = process_->ReadAnnouncedPort("the TLS test server");
}

TlsTestServer::~TlsTestServer() = default;

std::string TlsTestServer::CaFile() { return CertificateFolder() + "ca.pem"; }

std::string TlsTestServer::NextEvent(int timeoutMs) {
    std::string line;
    if (!process_->ReadLine(line, timeoutMs))
        return {};
    return line;
}
