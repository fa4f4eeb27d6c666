// FTP over TLS against real servers on loopback, passive and active, on both event-loop
// backends: vsftpd with TLS 1.3, which insists that every data connection resumes the control
// connection's TLS session and waits for the client's close_notify, and pyftpdlib's TLS handler
// with TLS 1.2, which closes a data connection right after its own close_notify. pyftpdlib also
// serves the certificates a client must refuse, and servers without TLS, which a client that only
// tries TLS uses in the clear and one that requires it does not use at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

#include "FtpServers.h"
#include "FtpTestHarness.h"
#include "PatternBytes.h"
#include "TempDir.h"
#include "TestCertificates.h"

class FtpTls : public testing::TestWithParam<RealServerParam> {
protected:
    void SetUp() override {
        auto [server, passive, backend] = GetParam();
        root.Write("big.bin", PatternBytes(3 * 1000 * 1000 + 11, 7));
        root.Write("frame.bin", PatternBytes(1514, 3));
        root.Write("zero.bin", "");
        std::filesystem::create_directories(root / "incoming");
        const CertificateFiles good = TestCertificateFiles(TestCertificate::Good);
        if (server == RealServer::Vsftpd) {
            std::string reason;
            if (!VsftpdServer::CanRun(reason))
                GTEST_SKIP() << reason;
            vsftpd = std::make_unique<VsftpdServer>(root.Path(), VsftpdServer::Tls{good.Cert, good.Key});
            port = vsftpd->Port();
        } else {
            PyFtpdServer::Options options;
            options.Root = root.Path();
            options.TlsCertFile = good.Cert;
            options.TlsKeyFile = good.Key;
            pyftpd = std::make_unique<PyFtpdServer>(options);
            port = pyftpd->Port();
        }
        h = std::make_unique<FtpHarness>(backend);
        h->ftp->SetPort(std::to_string(port));
        h->ftp->SetPassiveMode(passive);
        h->ftp->SetTlsMode(ftpTlsRequire);
        h->ftp->SetTlsCaFile(TestAuthorityFile());
    }

    void TearDown() override {
        if (HasFailure() && h)
            h->PrintTrace();
        h.reset();
    }

    TempDir root;
    TempDir local;
    std::unique_ptr<PyFtpdServer> pyftpd;
    std::unique_ptr<VsftpdServer> vsftpd;
    std::uint16_t port = 0;
    std::unique_ptr<FtpHarness> h;
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpTls,
                         testing::Combine(testing::Values(RealServer::Vsftpd, RealServer::Pyftpdlib), testing::Bool(),
                                          testing::Values(LoopBackend::Poll, LoopBackend::Qt)),
                         RealServerParamName);

TEST_P(FtpTls, GetAndPutOverTlsMatchByteForByte) {
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(h->ftp->TlsEncrypted());
    EXPECT_TRUE(h->ftp->TlsDataProtected());
    EXPECT_FALSE(h->ftp->TlsRefused());
    EXPECT_EQ(h->ftp->TlsVersion().compare(0, 4, "TLSv"), 0) << h->ftp->TlsVersion();
    EXPECT_FALSE(h->ftp->TlsCipher().empty());
    // Nothing of the log-on went out before the handshake.
    EXPECT_EQ(h->TraceCount("> AUTH TLS"), 1);
    EXPECT_TRUE(h->TraceHasPrefix("! TLS TLSv"));
    h->ftp->SetBinary(true);
    ASSERT_EQ(h->Run(&TCustomFtpCli::TypeStep), 0) << h->ftp->ErrorMessage();
    for (const char* name : {"zero.bin", "frame.bin", "big.bin"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(h->Get(name, local / name), 0) << h->ftp->ErrorMessage();
        EXPECT_TRUE(local.Read(name) == root.Read(name));
        ASSERT_EQ(h->Put(local / name, std::string("incoming/") + name), 0) << h->ftp->ErrorMessage();
        EXPECT_TRUE(root.Read(std::string("incoming/") + name) == root.Read(name));
    }
    EXPECT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);
}

TEST_P(FtpTls, SessionSequencesStartTlsBeforeTheLogOn) {
    h->ftp->SetBinary(true);
    h->ftp->SetHostFileName("big.bin");
    h->ftp->SetLocalFileName(local / "big.bin");
    ASSERT_EQ(h->Run(&TCustomFtpCli::SessionGetFile), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(h->ftp->TlsEncrypted());
    EXPECT_TRUE(h->ftp->TlsDataProtected());
    EXPECT_TRUE(local.Read("big.bin") == root.Read("big.bin"));
    EXPECT_FALSE(h->ftp->IsControlOpen());
}

// --- Certificates that must be refused, and servers without TLS ------------------------------

class FtpTlsRefusals : public testing::TestWithParam<LoopBackend> {
protected:
    void TearDown() override {
        if (HasFailure() && h)
            h->PrintTrace();
        h.reset();
    }

    // A pyftpdlib server with `certificate`, or without TLS at all when null.
    void StartServer(const TestCertificate* certificate) {
        PyFtpdServer::Options options;
        options.Root = root.Path();
        if (certificate) {
            const CertificateFiles files = TestCertificateFiles(*certificate);
            options.TlsCertFile = files.Cert;
            options.TlsKeyFile = files.Key;
        }
        root.Write("frame.bin", PatternBytes(1514, 3));
        server = std::make_unique<PyFtpdServer>(options);
        h = std::make_unique<FtpHarness>(GetParam());
        h->ftp->SetPort(std::to_string(server->Port()));
        h->ftp->SetPassiveMode(true);
        h->ftp->SetTlsCaFile(TestAuthorityFile());
    }

    TempDir root;
    TempDir local;
    std::unique_ptr<PyFtpdServer> server;
    std::unique_ptr<FtpHarness> h;
};

INSTANTIATE_TEST_SUITE_P(Backends, FtpTlsRefusals, testing::Values(LoopBackend::Poll, LoopBackend::Qt),
                         LoopBackendName);

TEST_P(FtpTlsRefusals, CertificatesThatFailTheChecksEndTheLogOnBeforeTheUserName) {
    struct Case {
        TestCertificate Certificate;
        int Error;
    };
    for (Case c : {Case{TestCertificate::WrongHost, kTlsErrHostName}, Case{TestCertificate::Expired, kTlsErrExpired},
                   Case{TestCertificate::UnknownAuthority, kTlsErrUntrusted}}) {
        SCOPED_TRACE(c.Error);
        StartServer(&c.Certificate);
        // Only trying TLS does not make a certificate that fails acceptable.
        h->ftp->SetTlsMode(ftpTlsTry);
        EXPECT_EQ(h->Run(&TCustomFtpCli::LogOn), c.Error);
        EXPECT_EQ(h->ftp->TlsError(), c.Error);
        EXPECT_FALSE(h->ftp->TlsEncrypted());
        EXPECT_EQ(h->ftp->ErrorMessage().rfind("500 TLS error #" + std::to_string(c.Error) + ": ", 0), 0u)
            << h->ftp->ErrorMessage();
        EXPECT_EQ(h->TraceCount("> USER anonymous"), 0);
        EXPECT_FALSE(h->ftp->IsControlOpen());
        EXPECT_EQ(h->ftp->EngineState(), fesReady);
    }
}

TEST_P(FtpTlsRefusals, AServerWithoutTlsIsUsedInTheClearOnlyWhenTlsIsMerelyTried) {
    StartServer(nullptr);
    h->ftp->SetTlsMode(ftpTlsTry);
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(h->ftp->TlsRefused());
    ASSERT_EQ(h->Run(&TCustomFtpCli::TypeStep), 0) << h->ftp->ErrorMessage();
    EXPECT_FALSE(h->ftp->TlsEncrypted());
    EXPECT_FALSE(h->ftp->TlsDataProtected());
    EXPECT_EQ(h->TraceCount("> PBSZ 0"), 0);
    ASSERT_EQ(h->Get("frame.bin", local / "frame.bin"), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(local.Read("frame.bin") == root.Read("frame.bin"));
    EXPECT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);

    h->trace.clear();
    h->ftp->SetTlsMode(ftpTlsRequire);
    EXPECT_EQ(h->Run(&TCustomFtpCli::LogOn), 500);
    EXPECT_TRUE(h->ftp->TlsRefused());
    EXPECT_EQ(h->ftp->ErrorMessage().compare(0, 3, "500"), 0) << h->ftp->ErrorMessage();
    // The password never went out in the clear.
    EXPECT_EQ(h->TraceCount("> USER anonymous"), 0);
}
