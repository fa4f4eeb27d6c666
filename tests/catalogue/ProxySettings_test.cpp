#include "catalogue/ProxySettings.h"

#include <filesystem>
#include <gtest/gtest.h>

#include "TempDir.h"
#include "catalogue/TextFile.h"

using namespace catalogue;

namespace {

SessaoFtp Direta() {
    return {"ftp1.example", "anonymous", "mirelo@orva.br", false};
}

}  // namespace

TEST(SetProxy, FirstStartCreatesTheFileAndConnectsDirectly) {
    TempDir dir;
    SessaoFtp sessao = Direta();
    const ConfiguracaoProxy estado =
        SetProxy(sessao, "ftp1.example", "mirelo@orva.br", dir / "proxy.ini");
    EXPECT_EQ(dir.Read("proxy.ini"), "N\r\nservidor proxy\r\n3128\r\n");
    // The state keeps its start values, not the ones just written.
    EXPECT_EQ(estado, (ConfiguracaoProxy{"N", "", ""}));
    EXPECT_EQ(sessao.HostName, "ftp1.example");
    EXPECT_EQ(sessao.UserName, "anonymous");
    EXPECT_FALSE(sessao.PassiveMode);

    // The dialog, created next, shows what the file now holds.
    EXPECT_EQ(LeProxyDoDialogo(dir / "proxy.ini"),
              (ConfiguracaoProxy{"N", "servidor proxy", "3128"}));
}

TEST(SetProxy, AnExactSSendsTheSessionThroughTheProxy) {
    TempDir dir;
    GravaProxyIni(dir / "proxy.ini", {"S", "proxy.local", "2121"});
    EXPECT_EQ(dir.Read("proxy.ini"), "S\r\nproxy.local\r\n2121\r\n");

    SessaoFtp sessao = Direta();
    sessao.HostName = "ftp2.example";  // the drawn server; the proxy names the first one
    const ConfiguracaoProxy estado =
        SetProxy(sessao, "ftp1.example", "mirelo@orva.br", dir / "proxy.ini");
    EXPECT_EQ(estado, (ConfiguracaoProxy{"S", "proxy.local", "2121"}));
    EXPECT_EQ(sessao.HostName, "proxy.local");
    EXPECT_EQ(sessao.UserName, "anonymous@ftp1.example");
    EXPECT_EQ(sessao.PassWord, "mirelo@orva.br");
    EXPECT_TRUE(sessao.PassiveMode);
}

TEST(SetProxy, AnythingButAnExactSConnectsDirectly) {
    for (const char* chave : {"s", "S ", "SIM", "", "N"}) {
        TempDir dir;
        dir.Write("proxy.ini", std::string(chave) + "\r\nproxy.local\r\n3128\r\n");
        SessaoFtp sessao = Direta();
        SetProxy(sessao, "ftp1.example", "mirelo@orva.br", dir / "proxy.ini");
        EXPECT_EQ(sessao.HostName, "ftp1.example") << chave;
        EXPECT_FALSE(sessao.PassiveMode) << chave;
        EXPECT_EQ(LeProxyDoDialogo(dir / "proxy.ini").UsaProxy, chave);
    }
}

TEST(InterpretaProxyIni, MissingLinesReadAsEmpty) {
    EXPECT_EQ(InterpretaProxyIni("S\r\nproxy"), (ConfiguracaoProxy{"S", "proxy", ""}));
    EXPECT_EQ(InterpretaProxyIni("S\nproxy\n21\nextra\n"), (ConfiguracaoProxy{"S", "proxy", "21"}));
    EXPECT_EQ(InterpretaProxyIni(""), (ConfiguracaoProxy{"", "", ""}));
}

TEST(LeProxyDoDialogo, CreatesTheFileWithAnEmptyHostAndPortWhenMissing) {
    TempDir dir;
    EXPECT_EQ(LeProxyDoDialogo(dir / "proxy.ini"), (ConfiguracaoProxy{"N", "", ""}));
    EXPECT_EQ(dir.Read("proxy.ini"), "N\r\n\r\n\r\n");
}

TEST(SetProxy, AFileThatCannotBeReadOrCreatedLeavesTheSessionDirect) {
    TempDir dir;
    dir.Write("arquivo", "");
    SessaoFtp sessao = Direta();
    // A folder that cannot exist, since a file is in its place.
    EXPECT_THROW(SetProxy(sessao, "ftp1.example", "x", dir / "arquivo/proxy.ini"), EInOutError);
    EXPECT_EQ(sessao.HostName, "ftp1.example");

    std::filesystem::create_directory(dir / "proxy.ini");
    try {
        SetProxy(sessao, "ftp1.example", "x", dir / "proxy.ini");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("proxy.ini"), std::string::npos) << e.what();
    }
    EXPECT_EQ(sessao.HostName, "ftp1.example");
    EXPECT_FALSE(sessao.PassiveMode);
}
