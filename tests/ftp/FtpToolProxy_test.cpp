// mirelo-ftp's proxy options: their command line alone, and the built program fetching through
// danted (SOCKS 5 with user name and password, SOCKS 4), the SOCKS 4A relay and ftp-proxy, each
// compared with a direct fetch of the same file.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DanteServer.h"
#include "FtpProxyServer.h"
#include "FtpServers.h"
#include "FtpToolArgs.h"
#include "PatternBytes.h"
#include "ProgramRun.h"
#include "SocksRelay.h"
#include "TempDir.h"

namespace {

struct ToolRun {
    int Status = -1;
    std::string Err;
};

// Runs the built program with `args` in `folder`, bounded to 60 s.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& folder) {
    std::vector<std::string> argv{MIRELO_FTP_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult result = RunProgram(argv, folder, {}, std::chrono::seconds(60));
    return {result.Finished ? result.ExitStatus : -1, result.Err};
}

std::string ParseError(const std::vector<std::string>& args) {
    FtpToolOptions options;
    return ParseFtpToolArgs(args, options);
}

}  // namespace

// --- The command line --------------------------------------------------------------------------

TEST(FtpToolProxyArgs, ProxyAndSocksOptions) {
    FtpToolOptions o;
    ASSERT_EQ(ParseFtpToolArgs({"--proxy", "proxy.example", "ftp.example", "-e", "syst"}, o), "");
    EXPECT_EQ(o.ProxyServer, "proxy.example");
    EXPECT_EQ(o.SocksLevel, "");

    ASSERT_EQ(ParseFtpToolArgs({"--socks5=127.0.0.1:1080", "--socks-user", "joe", "--socks-password", "pw", "h", "-e", "syst"}, o),
              "");
    EXPECT_EQ(o.SocksLevel, "5");
    EXPECT_EQ(o.SocksServer, "127.0.0.1");
    EXPECT_EQ(o.SocksPort, "1080");
    EXPECT_EQ(o.SocksUser, "joe");
    EXPECT_EQ(o.SocksPassword, "pw");
    ASSERT_EQ(ParseFtpToolArgs({"--socks4a", "socks.example:9050", "h", "-e", "syst"}, o), "");
    EXPECT_EQ(o.SocksLevel, "4A");
    EXPECT_EQ(o.SocksServer, "socks.example");
    ASSERT_EQ(ParseFtpToolArgs({"--socks4", "s:1", "--socks-user", "id", "h", "-e", "syst"}, o), "");
    EXPECT_EQ(o.SocksLevel, "4");
}

TEST(FtpToolProxyArgs, UsageErrors) {
    EXPECT_EQ(ParseError({"--proxy", "", "h", "-e", "syst"}), "--proxy needs the proxy's host");
    for (std::string bad : {"127.0.0.1", "127.0.0.1:", ":1080", "h:0", "h:65536", "h:x"})
        EXPECT_EQ(ParseError({"--socks5", bad, "h", "-e", "syst"}), "--socks5 needs HOST:PORT, with a port from 1 to 65535")
            << bad;
    EXPECT_EQ(ParseError({"--socks4", "a:1", "--socks5", "b:2", "h", "-e", "syst"}),
              "only one of --proxy, --socks4, --socks4a and --socks5 may be given");
    EXPECT_EQ(ParseError({"--proxy", "p", "--socks4a", "b:2", "h", "-e", "syst"}),
              "only one of --proxy, --socks4, --socks4a and --socks5 may be given");
    EXPECT_EQ(ParseError({"--socks-user", "joe", "h", "-e", "syst"}),
              "--socks-user and --socks-password need --socks4, --socks4a or --socks5");
    EXPECT_EQ(ParseError({"--socks5", "s:1", "--socks-password", "pw", "h", "-e", "syst"}),
              "--socks-password needs --socks-user");
    EXPECT_EQ(ParseError({"--socks5", "s:1", "--active", "h", "-e", "syst"}),
              "--active cannot be used with a proxy: data connections through it are always passive");
}

// --- The program through real proxies ----------------------------------------------------------

class FtpToolThroughProxies : public testing::Test {
protected:
    void SetUp() override {
        root.Write("data.bin", PatternBytes(400 * 1000));
        PyFtpdServer::Options options;
        options.Root = root.Path();
        server = std::make_unique<PyFtpdServer>(options);
        port = std::to_string(server->Port());
        ToolRun direct = RunTool({"--port", port, "127.0.0.1", "-e", "get data.bin direct.bin"}, work.Path());
        ASSERT_EQ(direct.Status, 0) << direct.Err;
    }

    TempDir root;
    TempDir work;
    std::unique_ptr<PyFtpdServer> server;
    std::string port;
};

TEST_F(FtpToolThroughProxies, Socks5WithUserAndPassword) {
    std::string reason;
    if (!DanteServer::CanRun(reason))
        GTEST_SKIP() << reason;
    DanteServer dante(DanteServer::Authentication::Username);
    ToolRun run = RunTool({"--port", port, "--socks5", "127.0.0.1:" + std::to_string(dante.Port()), "--socks-user",
                           dante.UserName(), "--socks-password", dante.Password(), "127.0.0.1", "-e", "get data.bin",
                           "-e", "put data.bin back.bin"},
                          work.Path());
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(work.Read("data.bin") == work.Read("direct.bin"));
    EXPECT_TRUE(root.Read("back.bin") == root.Read("data.bin"));
    EXPECT_EQ(dante.WaitForPassedConnections(3, 5000), 3);

    ToolRun refused = RunTool({"--port", port, "--socks5", "127.0.0.1:" + std::to_string(dante.Port()), "--socks-user",
                               dante.UserName(), "--socks-password", "wrong", "127.0.0.1", "-e", "get data.bin"},
                              work.Path());
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Err.find("socks authentication failed"), std::string::npos) << refused.Err;
}

TEST_F(FtpToolThroughProxies, Socks4AndSocks4A) {
    std::string reason;
    if (DanteServer::CanRun(reason)) {
        DanteServer dante(DanteServer::Authentication::None);
        ToolRun run = RunTool({"--port", port, "--socks4", "127.0.0.1:" + std::to_string(dante.Port()), "127.0.0.1", "-e",
                               "get data.bin four.bin"},
                              work.Path());
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_TRUE(work.Read("four.bin") == work.Read("direct.bin"));
        EXPECT_EQ(dante.WaitForPassedConnections(2, 5000), 2);
    }
    SocksRelay relay;
    ToolRun run = RunTool({"--port", port, "--socks4a", "127.0.0.1:" + std::to_string(relay.Port()), "127.0.0.1", "-e",
                           "get data.bin fourA.bin"},
                          work.Path());
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(work.Read("fourA.bin") == work.Read("direct.bin"));
    EXPECT_EQ(relay.WaitForRequests(2, 5000).size(), 2u);
}

TEST(FtpToolThroughFtpProxy, GetThroughFtpProxyMatchesTheDirectFetch) {
    std::string reason;
    if (!FtpProxyServer::CanRun(reason))
        GTEST_SKIP() << reason;
    std::string privateReason;
    if (!EnterPrivateNetwork(privateReason) && AddressAccepts("127.0.0.1", 21, 1000))
        GTEST_SKIP() << "port 21 of 127.0.0.1 is taken and " << privateReason;
    TempDir root;
    TempDir work;
    root.Write("data.bin", PatternBytes(300 * 1000));
    PyFtpdServer::Options options;
    options.Root = root.Path();
    options.Port = 21;
    PyFtpdServer target(options);
    FtpProxyServer proxy;
    ToolRun direct = RunTool({"127.0.0.1", "-e", "get data.bin direct.bin"}, work.Path());
    ASSERT_EQ(direct.Status, 0) << direct.Err;
    ToolRun run = RunTool({"--port", std::to_string(proxy.Port()), "--proxy", "127.0.0.1", "127.0.0.1", "-e",
                           "get data.bin", "--trace"},
                          work.Path());
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Err.find("> USER anonymous@127.0.0.1\n"), std::string::npos) << run.Err;
    EXPECT_TRUE(work.Read("data.bin") == work.Read("direct.bin"));
    EXPECT_TRUE(work.Read("data.bin") == root.Read("data.bin"));
    EXPECT_TRUE(proxy.WaitForSession("anonymous", "127.0.0.1:21", 5000));
}
