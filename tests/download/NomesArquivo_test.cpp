#include "download/NomesArquivo.h"

#include <gtest/gtest.h>

using namespace mirelo_download;

TEST(NomesArquivo, PartNamesPadTwoDigitsAndCutAtTheFirstDot)
{
    EXPECT_EQ(NomeParte("setup.exe", 2), "setup.w02");
    EXPECT_EQ(NomeParte("setup.exe", 3), "setup.w03");
    EXPECT_EQ(NomeParte("dados.zip", 12), "dados.w12");
    EXPECT_EQ(NomeParte("dados.zip", 100), "dados.w100");
    EXPECT_EQ(NomeParte("pacote.tar.gz", 2), "pacote.w02");
    EXPECT_EQ(NomeParte("LEIAME", 5), "LEIAME.w05");
}

TEST(NomesArquivo, LocalPathsRefuseNamesThatLeaveTheFolder)
{
    EXPECT_EQ(CaminhoLocal("/tmp/d/", "setup.exe"), "/tmp/d/setup.exe");
    EXPECT_EQ(CaminhoLocal("/tmp/d/", "..setup"), std::nullopt);
    for (const char* ruim : {"", "/etc/passwd", "../x", "a/b", "a\\b", "..", "."})
        EXPECT_EQ(CaminhoLocal("/tmp/d/", ruim), std::nullopt) << ruim;
}

TEST(NomesArquivo, RefusalNamesTheFileInUtf8)
{
    const std::string texto = MensagemNomeInvalido("../Formul\xE1rio");
    EXPECT_NE(texto.find("\"../Formul\xC3\xA1rio\""), std::string::npos) << texto;
}

TEST(NomesArquivo, Utf8KeepsValidTextAndDecodesWindows1252)
{
    EXPECT_EQ(ParaUtf8("Formulários"), "Formulários");
    EXPECT_EQ(ParaUtf8("Vers\xE3o \x80"), "Versão €");
    // A lone lead byte at the end is not UTF-8, so the whole text is read as Windows-1252.
    EXPECT_EQ(ParaUtf8("a\xC3"), "aÃ");
}

TEST(NomesArquivo, FoldersEndInOneSlash)
{
    EXPECT_EQ(ComBarraFinal("/home/u"), "/home/u/");
    EXPECT_EQ(ComBarraFinal("/home/u/"), "/home/u/");
    EXPECT_EQ(ComBarraFinal("/"), "/");
    EXPECT_EQ(ComBarraFinal(""), "./");
}
