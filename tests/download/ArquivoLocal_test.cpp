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
