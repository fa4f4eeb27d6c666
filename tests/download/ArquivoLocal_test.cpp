#include "download/ArquivoLocal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "TempDir.h"

using namespace mirelo_download;

namespace {

void DefineHora(const std::string& caminho, std::time_t instante)
{
    const struct timeval tempos[2] = {{instante, 0}, {instante, 0}};
    ASSERT_EQ(::utimes(caminho.c_str(), tempos), 0);
}

}  // namespace

TEST(ArquivoLocal, LengthDecidesWhetherTheCopyIsThere)
{
    TempDir pasta;
    pasta.Write("a.exe", "12345");
    pasta.Write("vazio", "");
    EXPECT_TRUE(ExisteArquivo(pasta / "a.exe", 5));
    EXPECT_FALSE(ExisteArquivo(pasta / "a.exe", 6));
    EXPECT_FALSE(ExisteArquivo(pasta / "falta", 0));
    // A refused SIZE reads 0, which an empty copy matches.
    EXPECT_TRUE(ExisteArquivo(pasta / "vazio", 0));
    ::mkdir((pasta / "pasta").c_str(), 0700);
    EXPECT_FALSE(ExisteArquivo(pasta / "pasta", 0));
}

TEST(ArquivoLocal, AgeIsComparedStrictlyWithTheRelease)
{
    TempDir pasta;
    pasta.Write("a.exe", "x");
    const std::time_t liberacao = 1'700'000'000;
    DefineHora(pasta / "a.exe", liberacao - 1);
    EXPECT_TRUE(VerificaDataArquivo(pasta / "a.exe", liberacao));
    DefineHora(pasta / "a.exe", liberacao);
    EXPECT_FALSE(VerificaDataArquivo(pasta / "a.exe", liberacao));
    DefineHora(pasta / "a.exe", liberacao + 60);
    EXPECT_FALSE(VerificaDataArquivo(pasta / "a.exe", liberacao));
    EXPECT_FALSE(VerificaDataArquivo(pasta / "falta", liberacao));
}

TEST(ArquivoLocal, FetchDecisionTable)
{
    TempDir pasta;
    pasta.Write("a.exe", "12345");
    const std::time_t liberacao = 1'700'000'000;
    DefineHora(pasta / "a.exe", liberacao + 10);
    EXPECT_FALSE(PrecisaBaixar(pasta / "a.exe", 5, liberacao));  // complete and current: kept
    EXPECT_TRUE(PrecisaBaixar(pasta / "a.exe", 7, liberacao));   // another length
    EXPECT_TRUE(PrecisaBaixar(pasta / "b.exe", 5, liberacao));   // missing
    DefineHora(pasta / "a.exe", liberacao - 10);
    EXPECT_TRUE(PrecisaBaixar(pasta / "a.exe", 5, liberacao));   // complete but older
}

// A temporary is continued only while it can still be the beginning of the server's file: left
// for the size the server reports now, not longer than it, not older than the release.
TEST(ArquivoLocal, ATemporaryIsContinuedOnlyForTheSameSize)
{
    TempDir pasta;
    const std::time_t liberacao = 1'700'000'000;
    EXPECT_EQ(NomeParcial(pasta / "a.exe", 40000), pasta / "a.exe.40000.parcial");
    EXPECT_EQ(NomeParcial(pasta / "a.exe", std::nullopt), pasta / "a.exe.parcial");

    pasta.Write("a.exe.40000.parcial", "12345");
    pasta.Write("a.exe.39000.parcial", "123");  // the server's file had another size then
    pasta.Write("a.exe.parcial", "1");
    pasta.Write("a.exe.w02.40000.parcial", "1");  // another file's
    pasta.Write("a.exe", "antiga");
    EXPECT_EQ(PreparaParcial(pasta / "a.exe", 40000, liberacao), 5);
    EXPECT_FALSE(ExisteArquivo(pasta / "a.exe.39000.parcial", 3));
    EXPECT_FALSE(ExisteArquivo(pasta / "a.exe.parcial", 1));
    EXPECT_TRUE(ExisteArquivo(pasta / "a.exe.w02.40000.parcial", 1));
    EXPECT_EQ(pasta.Read("a.exe"), "antiga");

    DefineHora(pasta / "a.exe.40000.parcial", liberacao - 1);
    EXPECT_EQ(PreparaParcial(pasta / "a.exe", 40000, liberacao), 0);
    EXPECT_EQ(TamanhoArquivo(pasta / "a.exe.40000.parcial"), -1);

    pasta.Write("a.exe.4.parcial", "12345");  // longer than the file
    EXPECT_EQ(PreparaParcial(pasta / "a.exe", 4, 0), 0);
    pasta.Write("a.exe.parcial", "12345");  // no size to hold it to
    EXPECT_EQ(PreparaParcial(pasta / "a.exe", std::nullopt, 0), 0);
    EXPECT_EQ(TamanhoArquivo(pasta / "a.exe.parcial"), -1);

    pasta.Write("a.exe.5.parcial", "12345");
    EXPECT_TRUE(ConcluiParcial(pasta / "a.exe.5.parcial", pasta / "a.exe"));
    EXPECT_EQ(pasta.Read("a.exe"), "12345");
}
