// The FTP client's SOCKS connection types against real proxies on loopback, in front of pyftpdlib:
// danted for SOCKS 5 (with and without user-code authentication) and SOCKS 4, a small relay for
// SOCKS 4A. A whole session goes through the proxy, control and data connections alike, several
// transfers in a row, and the files must equal what a direct session fetches; and the same over
// TLS, which runs end to end through the proxy. On both loop backends.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>

#include "DanteServer.h"
#include "FtpServers.h"
#include "FtpTestHarness.h"
#include "PatternBytes.h"
#include "SocksRelay.h"
#include "TempDir.h"
#include "TestCertificates.h"

namespace {

enum class Proxy { Socks5, Socks5Usercode, Socks4, Socks4A };

using Param = std::tuple<Proxy, LoopBackend>;

std::string ParamName(const testing::TestParamInfo<Param>& info) {
    static const char* names[] = {"Socks5", "Socks5Usercode", "Socks4", "Socks4A"};
    return std::string(names[static_cast<int>(std::get<0>(info.param))]) +
           (std::get<1>(info.param) == LoopBackend::Poll ? "Poll" : "Qt");
}

}  // namespace

class FtpSocks : public testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        auto [proxy, backend] = GetParam();
        root.Write("data.bin", PatternBytes(700 * 1000, 7));
        root.Write("small.txt", "a small file\r\n");
        PyFtpdServer::Options options;
        options.Root = root.Path();
        // TLS is offered; a session that does not ask for it stays in the clear.
        const CertificateFiles good = TestCertificateFiles(TestCertificate::Good);
        options.TlsCertFile = good.Cert;
        options.TlsKeyFile = good.Key;
        server = std::make_unique<PyFtpdServer>(options);

        std::uint16_t proxyPort = 0;
        if (proxy == Proxy::Socks4A) {
            relay = std::make_unique<SocksRelay>();
            proxyPort = relay->Port();
        } else {
            std::string reason;
            if (!DanteServer::CanRun(reason))
                GTEST_SKIP() << reason;
            dante = std::make_unique<DanteServer>(proxy == Proxy::Socks5Usercode ? DanteServer::Authentication::Username
                                                                                   : DanteServer::Authentication::None);
            proxyPort = dante->Port();
        }
        h = std::make_unique<FtpHarness>(backend);
        h->ftp->SetPort(std::to_string(server->Port()));
        h->ftp->SetConnectionType(proxy == Proxy::Socks4 ? ftpSocks4 : proxy == Proxy::Socks4A ? ftpSocks4A : ftpSocks5);
        h->ftp->SetSocksServer("127.0.0.1");
        h->ftp->SetSocksPort(std::to_string(proxyPort));
        if (dante) {
            h->ftp->SetSocksUserCode(dante->UserName());
            h->ftp->SetSocksPassword(dante->Password());
        }
    }

    void TearDown() override {
        if (HasFailure() && h)
            h->PrintTrace();
        h.reset();
    }

    // Connections the proxy has carried to the server so far, waiting up to a few seconds for
    // the count to reach `atLeast`.
    int ProxiedConnections(int atLeast) {
        if (dante)
            return dante->WaitForPassedConnections(atLeast, 5000);
        return static_cast<int>(relay->WaitForRequests(static_cast<std::size_t>(atLeast), 5000).size());
    }

    TempDir root;
    TempDir local;
    std::unique_ptr<PyFtpdServer> server;
    std::unique_ptr<DanteServer> dante;
    std::unique_ptr<SocksRelay> relay;
    std::unique_ptr<FtpHarness> h;
};

INSTANTIATE_TEST_SUITE_P(Proxies, FtpSocks,
                         testing::Combine(testing::Values(Proxy::Socks5, Proxy::Socks5Usercode, Proxy::Socks4, Proxy::Socks4A),
                                          testing::Values(LoopBackend::Poll, LoopBackend::Qt)),
                         ParamName);

TEST_P(FtpSocks, EveryTransferOfASessionGoesThroughTheProxy) {
    EXPECT_TRUE(h->ftp->PassiveMode());
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    h->ftp->SetBinary(true);
    ASSERT_EQ(h->Run(&TCustomFtpCli::TypeStep), 0) << h->ftp->ErrorMessage();

    // Each data connection is a new connection of the data socket, and each must be sent through
    // the proxy again: the server (pyftpdlib) refuses a data connection from another address than
    // the control connection's, and the proxy counts what it carried.
    ASSERT_EQ(h->Get("data.bin", local / "first.bin"), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Put(local / "first.bin", "uploaded.bin"), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Get("small.txt", local / "small.txt"), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Get("uploaded.bin", local / "again.bin"), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(local.Read("first.bin") == root.Read("data.bin"));
    EXPECT_TRUE(root.Read("uploaded.bin") == root.Read("data.bin"));
    EXPECT_EQ(local.Read("small.txt"), "a small file\r\n");
    EXPECT_TRUE(local.Read("again.bin") == root.Read("data.bin"));
    EXPECT_EQ(ProxiedConnections(5), 5);
    ASSERT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);

    // A second session of the same client goes through the proxy as well.
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Get("small.txt", local / "second.txt"), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(local.Read("second.txt"), "a small file\r\n");
    EXPECT_EQ(ProxiedConnections(7), 7);
    ASSERT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);

    // The same file fetched directly is the same.
    FtpHarness direct(std::get<1>(GetParam()));
    direct.ftp->SetPort(std::to_string(server->Port()));
    direct.ftp->SetPassiveMode(true);
    ASSERT_EQ(direct.Run(&TCustomFtpCli::LogOn), 0) << direct.ftp->ErrorMessage();
    direct.ftp->SetBinary(true);
    ASSERT_EQ(direct.Run(&TCustomFtpCli::TypeStep), 0) << direct.ftp->ErrorMessage();
    ASSERT_EQ(direct.Get("data.bin", local / "direct.bin"), 0) << direct.ftp->ErrorMessage();
    EXPECT_TRUE(local.Read("direct.bin") == local.Read("first.bin"));
}

// The TLS handshakes of the control and the data connections run inside the proxied connections,
// each after the proxy's own negotiation, with the server's certificate checked against its
// address as the proxy was asked for it.
TEST_P(FtpSocks, TlsRunsEndToEndThroughTheProxy) {
    h->ftp->SetTlsMode(ftpTlsRequire);
    h->ftp->SetTlsCaFile(TestAuthorityFile());
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(h->ftp->TlsEncrypted());
    EXPECT_TRUE(h->ftp->TlsDataProtected());
    h->ftp->SetBinary(true);
    ASSERT_EQ(h->Run(&TCustomFtpCli::TypeStep), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Get("data.bin", local / "tls.bin"), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Put(local / "tls.bin", "tls-up.bin"), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(local.Read("tls.bin") == root.Read("data.bin"));
    EXPECT_TRUE(root.Read("tls-up.bin") == root.Read("data.bin"));
    EXPECT_EQ(ProxiedConnections(3), 3);
    ASSERT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);
}

TEST(FtpSocks4A, TheProxyGetsTheDestinationAsAName) {
    TempDir root;
    root.Write("small.txt", "named\r\n");
    PyFtpdServer::Options options;
    options.Root = root.Path();
    PyFtpdServer server(options);
    SocksRelay relay;
    FtpHarness h(LoopBackend::Poll);
    h.ftp->SetPort(std::to_string(server.Port()));
    h.ftp->SetConnectionType(ftpSocks4A);
    h.ftp->SetSocksServer("127.0.0.1");
    h.ftp->SetSocksPort(std::to_string(relay.Port()));
    h.ftp->SetSocksUserCode("mirelo");
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0) << h.ftp->ErrorMessage();
    TempDir local;
    h.ftp->SetHostFileName("small.txt");
    h.ftp->SetLocalFileName(local / "small.txt");
    ASSERT_EQ(h.Run(&TCustomFtpCli::GetFile), 0) << h.ftp->ErrorMessage();
    EXPECT_EQ(local.Read("small.txt"), "named\r\n");
    // Control and data connection, each a 4A request naming the destination and the user code.
    const std::vector<std::string>& requests = relay.WaitForRequests(2, 5000);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "4A 127.0.0.1 " + std::to_string(server.Port()) + " mirelo");
    EXPECT_EQ(requests[1].rfind("4A 127.0.0.1 ", 0), 0u) << requests[1];
    EXPECT_NE(requests[1], requests[0]);
}

// --- Refusals by a real proxy ------------------------------------------------------------------

TEST(FtpSocksRefusals, WrongPasswordEndsTheLogOnWithTheSocksError) {
    std::string reason;
    if (!DanteServer::CanRun(reason))
        GTEST_SKIP() << reason;
    TempDir root;
    PyFtpdServer::Options options;
    options.Root = root.Path();
    PyFtpdServer server(options);
    DanteServer dante(DanteServer::Authentication::Username);
    FtpHarness h(LoopBackend::Poll);
    h.ftp->SetPort(std::to_string(server.Port()));
    h.ftp->SetConnectionType(ftpSocks5);
    h.ftp->SetSocksServer("127.0.0.1");
    h.ftp->SetSocksPort(std::to_string(dante.Port()));
    h.ftp->SetSocksUserCode(dante.UserName());
    h.ftp->SetSocksPassword("not the password");
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 20015);
    EXPECT_EQ(h.ftp->ErrorMessage(), "500 SOCKS error #20015: socks authentication failed");
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_FALSE(h.ftp->IsControlOpen());

    // Without credentials the proxy that wants them refuses the method.
    h.ftp->SetSocksUserCode("");
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 20003);
    EXPECT_EQ(h.ftp->ErrorMessage(), "500 SOCKS error #20003: authentification method not acceptable");
    // With them, the same client then gets through.
    h.ftp->SetSocksUserCode(dante.UserName());
    h.ftp->SetSocksPassword(dante.Password());
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0) << h.ftp->ErrorMessage();
}

TEST(FtpSocksRefusals, DestinationOutsideTheProxyRulesIsRefused) {
    std::string reason;
    if (!DanteServer::CanRun(reason))
        GTEST_SKIP() << reason;
    DanteServer dante(DanteServer::Authentication::None);
    FtpHarness h(LoopBackend::Poll);
    // danted passes only 127.0.0.0/8; this address is never contacted.
    h.ftp->SetHostName("192.0.2.1");
    h.ftp->SetPort("21");
    h.ftp->SetConnectionType(ftpSocks5);
    h.ftp->SetSocksServer("127.0.0.1");
    h.ftp->SetSocksPort(std::to_string(dante.Port()));
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 20005);
    EXPECT_EQ(h.ftp->ErrorMessage(), "500 SOCKS error #20005: connection not allowed by ruleset");
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
}

// --- Settings ----------------------------------------------------------------------------------

TEST(FtpSocksSettings, ConnectionTypeWritesLevelAndAuthenticationIntoBothSockets) {
    FtpHarness h(LoopBackend::Poll);
    h.ftp->SetConnectionType(ftpSocks4A);
    for (TWSocket* socket : {&h.ftp->ControlSocket(), &h.ftp->DataSocket()}) {
        EXPECT_EQ(socket->SocksLevel(), "4A");
        EXPECT_EQ(socket->SocksAuthentication(), socksAuthenticateUsercode);
    }
    h.ftp->SetSocksPassword("pw");
    h.ftp->SetSocksServer("proxy.example");
    EXPECT_EQ(h.ftp->ControlSocket().SocksPassword(), "pw");
    EXPECT_EQ(h.ftp->DataSocket().SocksPassword(), "pw");
    EXPECT_EQ(h.ftp->DataSocket().SocksServer(), "proxy.example");
    EXPECT_EQ(h.ftp->SocksServer(), "proxy.example");

    h.ftp->SetPassiveMode(false);
    EXPECT_TRUE(h.ftp->PassiveMode());
    h.ftp->SetConnectionType(ftpDirect);
    EXPECT_EQ(h.ftp->ConnectionType(), ftpDirect);
    EXPECT_TRUE(h.ftp->PassiveMode());  // kept until set otherwise
    h.ftp->SetPassiveMode(false);
    EXPECT_FALSE(h.ftp->PassiveMode());
    for (TWSocket* socket : {&h.ftp->ControlSocket(), &h.ftp->DataSocket()})
        EXPECT_EQ(socket->SocksAuthentication(), socksNoAuthentication);
}

TEST(FtpSocksSettings, DirectAfterASocksTypeReallyGoesDirect) {
    TempDir root;
    root.Write("f.txt", "direct\r\n");
    PyFtpdServer::Options options;
    options.Root = root.Path();
    PyFtpdServer server(options);
    FtpHarness h(LoopBackend::Poll);
    h.ftp->SetPort(std::to_string(server.Port()));
    // A SOCKS server that does not exist: any connection sent there would fail.
    h.ftp->SetConnectionType(ftpSocks5);
    h.ftp->SetSocksServer("127.0.0.1");
    h.ftp->SetSocksPort("1");
    h.ftp->SetConnectionType(ftpDirect);
    for (bool passive : {false, true}) {
        h.ftp->SetPassiveMode(passive);
        ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0) << h.ftp->ErrorMessage();
        h.ftp->SetHostFileName("f.txt");
        TempDir local;
        h.ftp->SetLocalFileName(local / "f.txt");
        ASSERT_EQ(h.Run(&TCustomFtpCli::GetFile), 0) << h.ftp->ErrorMessage();
        EXPECT_EQ(local.Read("f.txt"), "direct\r\n");
        ASSERT_EQ(h.Run(&TCustomFtpCli::QuitStep), 0);
    }
}
