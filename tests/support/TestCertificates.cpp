#include "TestCertificates.h"

#include "FtpServers.h"
#include "TempDir.h"

#include <stdexcept>

namespace {

void RunScript(const std::vector<std::string>& argv) {
    ServerProcess process(argv);
    std::string errors;
    if (!process.WaitForExit(60000, errors) || !errors.empty())
        throw std::runtime_error("cannot make the test certificates: " + errors);
}

const std::string& Folder() {
    static const TempDir folder;
    static const bool made = [] {
        RunScript({"/usr/bin/python3", TestSupportDir() + "tls_server.py", "--certs", folder.Path(), "--certs-only"});
        RunScript({"/usr/bin/python3", TestSupportDir() + "ftps_certs.py", folder.Path()});
        return true;
    }();
    (void)made;
    return folder.Path();
}

}  // namespace

CertificateFiles TestCertificateFiles(TestCertificate which) {
    const char* stem = "server";
    switch (which) {
    case TestCertificate::Good: stem = "server"; break;
    case TestCertificate::WrongHost: stem = "wronghost"; break;
    case TestCertificate::Expired: stem = "expired"; break;
    case TestCertificate::UnknownAuthority: stem = "stranger"; break;
    }
    return {Folder() + stem + ".pem", Folder() + stem + ".key"};
}

std::string TestAuthorityFile() { return Folder() + "ca.pem"; }
