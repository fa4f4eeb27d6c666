#include "download/Servidores.h"

#include <gtest/gtest.h>

namespace {

TEST(Servidores, HostOrHostAndPort)
{
    EXPECT_EQ(SeparaHostPorta("ftp.exemplo.br"), (TServidorFtp{"ftp.exemplo.br", "ftp"}));
    EXPECT_EQ(SeparaHostPorta("127.0.0.1:2121"), (TServidorFtp{"127.0.0.1", "2121"}));
    EXPECT_FALSE(SeparaHostPorta(""));
    EXPECT_FALSE(SeparaHostPorta(":21"));
    EXPECT_FALSE(SeparaHostPorta("host:"));
    EXPECT_FALSE(SeparaHostPorta("host:0"));
    EXPECT_FALSE(SeparaHostPorta("host:65536"));
    EXPECT_FALSE(SeparaHostPorta("host:21a"));
    EXPECT_EQ(SeparaHostPorta("host:65535"), (TServidorFtp{"host", "65535"}));
}

TEST(Servidores, TheEnvironmentGivesOneOrTwo)
{
    std::string erro;
    auto um = LeListaServidores("127.0.0.1:2121", erro);
    ASSERT_TRUE(um);
    EXPECT_EQ(*um, (std::vector<TServidorFtp>{{"127.0.0.1", "2121"}}));
    auto dois = LeListaServidores(" a.example , b.example:21 ", erro);
    ASSERT_TRUE(dois);
    EXPECT_EQ(*dois, (std::vector<TServidorFtp>{{"a.example", "ftp"}, {"b.example", "21"}}));

    EXPECT_FALSE(LeListaServidores("a,b,c", erro));
    EXPECT_NE(erro.find("one or two"), std::string::npos);
    EXPECT_FALSE(LeListaServidores("a,,b", erro));
    EXPECT_FALSE(LeListaServidores("", erro));
    EXPECT_FALSE(LeListaServidores("a:99999", erro));
    EXPECT_NE(erro.find("a:99999"), std::string::npos);
}

TEST(Servidores, TheBuiltInPairAndTheAnonymousPassword)
{
    const auto embutidos = ServidoresEmbutidos();
    ASSERT_EQ(embutidos.size(), 2u);
    EXPECT_NE(embutidos[0].Host, embutidos[1].Host);
    for (const auto& servidor : embutidos)
        EXPECT_LE(servidor.Host.size(), 30u);
    EXPECT_EQ(std::string(kSenhaAnonima).size(), 15u);
}

}  // namespace
