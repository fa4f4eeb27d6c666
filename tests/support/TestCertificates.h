// Certificates for the FTPS tests, made once per test program in a folder removed at its end:
// a test authority, a good server certificate (localhost, 127.0.0.1) signed by it, and the
// certificates a client must refuse. Use from one thread.
#pragma once

#include <string>

enum class TestCertificate {
    Good,              // signed by the test authority, for localhost and 127.0.0.1
    WrongHost,         // signed by the test authority, for elsewhere.invalid only
    Expired,           // signed by the test authority, expired a year ago
    UnknownAuthority,  // for localhost and 127.0.0.1, signed by an authority nobody trusts
};

struct CertificateFiles {
    std::string Cert;  // PEM
    std::string Key;   // PEM, unencrypted
};

CertificateFiles TestCertificateFiles(TestCertificate which);
// The PEM file of the test authority, for the client's CA file.
std::string TestAuthorityFile();
