// The FTP client's ftpProxy connection type against Debian's ftp-proxy in front of pyftpdlib: the
// proxy learns the target from "user@host" and opens it on port 21, so each case runs in a
// loopback network of its own where the target can have that port. A whole session with several
// transfers goes through the proxy and must fetch what a direct session fetches.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "FtpProxyServer.h"
#include "FtpServers.h"
#include "FtpTestHarness.h"
#include "PatternBytes.h"
#include "TempDir.h"

namespace {

// Prepares what ftp-proxy needs: root, and port 21 of 127.0.0.1 for its target. Empty when the
// case can run, else why not.
std::string PrepareForFtpProxy() {
    std::string reason;
    if (!FtpProxyServer::CanRun(reason))
        return reason;
    std::string privateReason;
    if (EnterPrivateNetwork(privateReason))
        return "";
    if (!AddressAccepts("127.0.0.1", 21, 1000))
        return "";  // port 21 is free here: the case runs in the shared network
    return "port 21 of 127.0.0.1 is taken and " + privateReason;
}

}  // namespace

class FtpProxyConnection : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override {
        std::string reason = PrepareForFtpProxy();
        if (!reason.empty())
            GTEST_SKIP() << reason;
        root.Write("data.bin", PatternBytes(500 * 1000));
        root.Write("small.txt", "through the proxy\r\n");
        target = StartTarget({});
        proxy = std::make_unique<FtpProxyServer>();
        h = std::make_unique<FtpHarness>(GetParam());
        h->ftp->SetConnectionType(ftpProxy);
        h->ftp->SetProxyServer("127.0.0.1");
        h->ftp->SetHostName("127.0.0.1");
        h->ftp->SetPort(std::to_string(proxy->Port()));
    }

    void TearDown() override {
        if (HasFailure() && h)
            h->PrintTrace();
        h.reset();
    }

    // pyftpdlib where ftp-proxy goes: port 21 of 127.0.0.1.
    std::unique_ptr<PyFtpdServer> StartTarget(const std::vector<std::pair<std::string, std::string>>& accounts) {
        PyFtpdServer::Options options;
        options.Root = root.Path();
        options.Accounts = accounts;
        options.Port = 21;
        return std::make_unique<PyFtpdServer>(options);
    }

    TempDir root;
    TempDir local;
    std::unique_ptr<PyFtpdServer> target;
    std::unique_ptr<FtpProxyServer> proxy;
    std::unique_ptr<FtpHarness> h;
};

INSTANTIATE_TEST_SUITE_P(Backends, FtpProxyConnection, testing::Values(LoopBackend::Poll, LoopBackend::Qt),
                         LoopBackendName);

TEST_P(FtpProxyConnection, SessionThroughTheProxyFetchesWhatADirectSessionFetches) {
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(h->TraceCount("> USER anonymous@127.0.0.1"), 1);
    EXPECT_TRUE(proxy->WaitForSession("anonymous", "127.0.0.1:21", 5000));
    h->ftp->SetBinary(true);
    ASSERT_EQ(h->Run(&TCustomFtpCli::TypeStep), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Get("data.bin", local / "data.bin"), 0) << h->ftp->ErrorMessage();
    h->ftp->SetLocalFileName(local / "data.bin");
    h->ftp->SetHostFileName("copy.bin");
    ASSERT_EQ(h->Run(&TCustomFtpCli::PutFile), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Get("small.txt", local / "small.txt"), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);
    EXPECT_TRUE(local.Read("data.bin") == root.Read("data.bin"));
    EXPECT_TRUE(root.Read("copy.bin") == root.Read("data.bin"));
    EXPECT_EQ(local.Read("small.txt"), "through the proxy\r\n");

    FtpHarness direct(GetParam());
    direct.ftp->SetPort("21");
    ASSERT_EQ(direct.Run(&TCustomFtpCli::LogOn), 0) << direct.ftp->ErrorMessage();
    direct.ftp->SetBinary(true);
    ASSERT_EQ(direct.Run(&TCustomFtpCli::TypeStep), 0) << direct.ftp->ErrorMessage();
    ASSERT_EQ(direct.Get("data.bin", local / "direct.bin"), 0) << direct.ftp->ErrorMessage();
    EXPECT_TRUE(local.Read("direct.bin") == local.Read("data.bin"));
}

TEST_P(FtpProxyConnection, AccountOfTheTargetIsNamedThroughTheProxy) {
    target.reset();
    target = StartTarget({{"alice", "s3cret"}});
    h->ftp->SetUserName("alice");
    h->ftp->SetPassWord("s3cret");
    ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(h->TraceCount("> USER alice@127.0.0.1"), 1);
    ASSERT_EQ(h->Get("small.txt", local / "small.txt"), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(local.Read("small.txt"), "through the proxy\r\n");
    h->ftp->SetPassWord("wrong");
    ASSERT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);
    EXPECT_NE(h->Run(&TCustomFtpCli::LogOn), 0);
}
