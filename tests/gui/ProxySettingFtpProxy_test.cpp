// The program's own proxy setting end to end: "proxy.ini" with "S" and the proxy's host sends the
// session to Debian's ftp-proxy, which learns the real server from the user name
// ("anonymous@" + the first server) and opens it on port 21. The test gets a loopback network of
// its own, so the server can listen on 127.0.0.1:21 and the proxy on 127.0.0.2:21, the port the
// program uses for the proxy. The window is driven offscreen as the user would.
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FtpProxyServer.h"
#include "JanelaTeste.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/uMireloDownloaderAsyncPrincipal.h"

namespace {

class ProxySettingFtpProxy : public JanelaTeste {
protected:
    void SetUp() override
    {
        std::string reason;
        if (!FtpProxyServer::CanRun(reason))
            GTEST_SKIP() << reason;
        if (!EnterPrivateNetwork(reason))
            GTEST_SKIP() << reason;
        EscreveSite(site.Path(), "/pub/mirelo");
        PyFtpdServer::Options opcoes;
        opcoes.Root = site.Path();
        opcoes.Port = 21;
        opcoes.LogFile = trabalho / "servidor.log";
        servidor = std::make_unique<PyFtpdServer>(opcoes);
        proxyFtp = std::make_unique<FtpProxyServer>("127.0.0.2", 21);
    }

    int Conta(const std::string& texto, const std::string& trecho) const
    {
        int vezes = 0;
        for (std::size_t pos = texto.find(trecho); pos != std::string::npos; pos = texto.find(trecho, pos + 1))
            ++vezes;
        return vezes;
    }

    std::unique_ptr<PyFtpdServer> servidor;
    std::unique_ptr<FtpProxyServer> proxyFtp;
};

TEST_F(ProxySettingFtpProxy, TheCataloguesComeThroughTheProxyWithPassiveDataConnections)
{
    trabalho.Write("proxy.ini", "S\r\n127.0.0.2\r\n3128\r\n");
    Abre({{"127.0.0.1", "ftp"}});
    EXPECT_EQ(sessao->HostName(), "127.0.0.2");
    EXPECT_EQ(sessao->UserName(), "anonymous@127.0.0.1");
    EXPECT_TRUE(sessao->ftpDownloader().PassiveMode());

    janela->FormShow();
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    ASSERT_NE(Topo(), nullptr);
    ASSERT_EQ(Topo()->childCount(), 3);
    EXPECT_EQ(No({0})->text(0), QStringLiteral("Declaração Anual"));

    // An installation's catalogue is a second transfer of the same session.
    janela->treParent->setCurrentItem(No({0, 0}));
    ASSERT_NE(No({0, 0, 1}), nullptr);
    EXPECT_EQ(No({0, 0, 1})->text(0), QStringLiteral("Manual do usuário"));

    EXPECT_TRUE(proxyFtp->WaitForSession("anonymous", "127.0.0.1:21", 5000));
    const std::string log = trabalho.Read("servidor.log");
    EXPECT_EQ(Conta(log, "] PORT "), 0) << log;
    EXPECT_GE(Conta(log, "] PASV"), 2) << log;
    EXPECT_EQ(Conta(log, "RETR /pub/mirelo/formularios.cfg"), 1) << log;
    EXPECT_EQ(Conta(log, "RETR /pub/mirelo/decl/completa/download.cfg"), 1) << log;
}

TEST_F(ProxySettingFtpProxy, WithoutTheSwitchTheSessionGoesDirect)
{
    trabalho.Write("proxy.ini", "s\r\n127.0.0.2\r\n3128\r\n");
    Abre({{"127.0.0.1", "ftp"}});
    EXPECT_EQ(sessao->HostName(), "127.0.0.1");
    EXPECT_EQ(sessao->UserName(), "anonymous");
    janela->FormShow();
    ASSERT_NE(Topo(), nullptr);
    ASSERT_EQ(Topo()->childCount(), 3);
    // A session through the proxy would have been logged before the catalogue could arrive.
    EXPECT_FALSE(proxyFtp->WaitForSession("anonymous", "127.0.0.1:21", 0));
}

}  // namespace
