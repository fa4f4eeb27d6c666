// The session against a real FTP server on loopback, driven without widgets on the poll() loop.
#include "download/SessaoDownloader.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "FtpServers.h"
#include "RecordingUserServices.h"
#include "TempDir.h"
#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"
#include "platform/Registry.h"

namespace {

namespace fs = std::filesystem;

std::string Demo()
{
    const char* fonte = std::getenv("MIRELO_SOURCE_DIR");
    return std::string(fonte != nullptr ? fonte : ".") + "/demo/site";
}

// Runs each test in a working directory of its own, where the program keeps its files.
class Sessao : public ::testing::Test {
protected:
    Sessao() : antes(fs::current_path()) { fs::current_path(trabalho.Path()); }
    ~Sessao() override { fs::current_path(antes); }

    std::unique_ptr<TSessaoDownloader> Cria(std::uint16_t porta)
    {
        return std::make_unique<TSessaoDownloader>(
            loop, servicos, registro,
            std::vector<TServidorFtp>{{"127.0.0.1", std::to_string(porta)}}, 0);
    }

    fs::path antes;
    TempDir trabalho;
    platform::PollEventLoop loop;
    RecordingUserServices servicos;
    platform::RegistryHive registro;
};

TEST_F(Sessao, ConnectsFetchesTheFormsCatalogueAndTheComponents)
{
    PyFtpdServer servidor({Demo()});
    auto sessao = Cria(servidor.Port());
    ASSERT_TRUE(sessao->Conectar()) << servicos.Texts();
    EXPECT_TRUE(sessao->IsControlOpen());
    EXPECT_EQ(sessao->Formularios.Count(), 2u);
    EXPECT_TRUE(fs::exists("formularios.cfg"));

    ASSERT_TRUE(sessao->PegaDownloadCfg(1, 0)) << servicos.Texts();
    const std::vector<int> imagens = sessao->LeDownloadCfg();
    EXPECT_EQ(imagens, (std::vector<int>{5, 1, 1}));
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
}

}  // namespace
