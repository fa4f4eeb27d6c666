#include "download/PastaPadrao.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TempDir.h"

#include <cstdlib>
#include <optional>

using namespace mirelo_download;

TEST(PastaPadrao, XdgDownloadFolderComesFromUserDirs)
{
    TempDir config;
    config.Write("user-dirs.dirs",
                 "# comment\nXDG_DESKTOP_DIR=\"$HOME/Mesa\"\nXDG_DOWNLOAD_DIR=\"$HOME/Baixados\"\n");
    EXPECT_EQ(PastaDownloadXdg("/home/u/", config.Path()), "/home/u/Baixados/");
    config.Write("user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"/dados/baixa\"\n");
    EXPECT_EQ(PastaDownloadXdg("/home/u/", config.Path()), "/dados/baixa/");
    TempDir semArquivo;
    EXPECT_EQ(PastaDownloadXdg("/home/u/", semArquivo.Path()), "/home/u/Downloads/");
}

TEST(PastaPadrao, FirstWritableFolderWins)
{
    TempDir raiz;
    const std::string livre = raiz / "livre/";
    ASSERT_EQ(::mkdir(livre.c_str(), 0700), 0);
    raiz.Write("arquivo", "x");
    EXPECT_EQ(PrimeiraGravavel({raiz / "falta/", raiz / "arquivo", livre, raiz.Path()}), livre);
    EXPECT_EQ(PrimeiraGravavel({"", raiz / "livre"}), livre);
    EXPECT_EQ(PrimeiraGravavel({raiz / "falta", raiz / "tambem-falta"}), raiz / "tambem-falta/");
}

TEST(PastaPadrao, ExecutableFolderIsThisTestsFolder)
{
    const std::string pasta = PastaExecutavel();
    ASSERT_FALSE(pasta.empty());
    EXPECT_EQ(pasta.back(), '/');
    char atual[4096];
    ASSERT_NE(::getcwd(atual, sizeof atual), nullptr);
    // The tests run in their build folder, which also holds the test program.
    EXPECT_EQ(pasta, std::string(atual) + "/");
}

namespace {

// Sets an environment variable for the scope, then puts back what was there.
class Ambiente {
public:
    Ambiente(const char* nome, const std::string& valor) : Nome(nome)
    {
        if (const char* antes = std::getenv(nome))
            Antes = antes;
        ::setenv(nome, valor.c_str(), 1);
    }
    ~Ambiente()
    {
        if (Antes)
            ::setenv(Nome, Antes->c_str(), 1);
        else
            ::unsetenv(Nome);
    }

private:
    const char* Nome;
    std::optional<std::string> Antes;
};

}  // namespace

// The test program's own folder is writable, as a build folder is; the user's download folder
// is proposed all the same, and the home folder only when there is none.
TEST(PastaPadrao, TheUsersDownloadFolderNotTheProgramsOwn)
{
    TempDir home;
    Ambiente h("HOME", home.Path());
    Ambiente c("XDG_CONFIG_HOME", home / ".config");
    ASSERT_EQ(::access(PastaExecutavel().c_str(), W_OK), 0);
    EXPECT_EQ(PastaDownloadPadrao(), home.Path());

    ASSERT_EQ(::mkdir((home / "Downloads").c_str(), 0700), 0);
    EXPECT_EQ(PastaDownloadPadrao(), home / "Downloads/");
}
