#include "catalogue/MirrorList.h"

#include <gtest/gtest.h>

using namespace catalogue;

TEST(LeSiteReplicadores, BuildsOneEntryPerLineWithAHost) {
    const std::vector<std::string> entradas = LeSiteReplicadores(
        "ftp.sul.example|Sul|Porto Alegre|/espelho/mirelo\r\n"
        "\r\n"
        "|Sem|Host|/x\r\n"
        "ftp.norte.example|Norte|Bel\xE9m\r\n"
        "ftp.extra.example|A|B|/d|ignorado|tambem\r\n"
        "ftp.so.example\r\n"
        " ftp.branco.example | A |B|/d \n"
        "ftp.ultima.example|U|V|/u");
    EXPECT_EQ(entradas, (std::vector<std::string>{
                            "Sul/Porto Alegre (ftp.sul.example)|/espelho/mirelo|",
                            "Norte/Bel\xE9m (ftp.norte.example)||",
                            "A/B (ftp.extra.example)|/d|",
                            "/ (ftp.so.example)||",
                            " A /B ( ftp.branco.example )|/d |",
                            "U/V (ftp.ultima.example)|/u|",
                        }));
    EXPECT_TRUE(LeSiteReplicadores("").empty());
    EXPECT_TRUE(LeSiteReplicadores("\r\n\r\n|a|b|c\r\n").empty());
}

TEST(InterpretaEntrada, TakesBackHostAndDirectory) {
    SiteReplicador site =
        InterpretaEntrada(EntradaDoReplicador("ftp.sul.example|Sul|Porto Alegre|/espelho/mirelo"));
    EXPECT_EQ(site.Host, "ftp.sul.example");
    EXPECT_EQ(site.Diretorio, "/espelho/mirelo");

    site = InterpretaEntrada(EntradaDoReplicador("127.0.0.1:2121|Local|Teste"));
    EXPECT_EQ(site.Host, "127.0.0.1:2121");
    EXPECT_EQ(site.Diretorio, "");

    site = InterpretaEntrada(EntradaDoReplicador("h|||/d"));
    EXPECT_EQ(site.Host, "h");
    EXPECT_EQ(site.Diretorio, "/d");

    // A label holding "(" misleads the parsing; the entry text is all there is.
    site = InterpretaEntrada(EntradaDoReplicador("h|Sul (novo)|x|/d"));
    EXPECT_EQ(site.Host, "novo");
    EXPECT_EQ(site.Diretorio, "/d");
}
