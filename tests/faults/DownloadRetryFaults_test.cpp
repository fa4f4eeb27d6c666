// The download run in this process, on both event loops, against a server that cuts and stalls
// transfers: a file cut again and again arrives whole from the bytes on disk without sending much
// twice, and Cancelar ends a stalled transfer at once, keeps what arrived for the next run and
// never touches the copy the folder held before.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FaultSite.h"
#include "FaultyFtpServer.h"
#include "LoopBackends.h"
#include "RecordingUserServices.h"
#include "download/ArquivoLocal.h"
#include "download/ExecucaoDownload.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "platform/Registry.h"

namespace {

using Fault = FaultyFtpServer::Fault;
using mirelo_download::FimExecucao;
using mirelo_download::ResultadoExecucao;

constexpr std::size_t kMega = 1024 * 1024;

// The run's windows without a person: the sandbox's folder, progress windows that note the new
// tries they are told of, and the Cancelar of the window that is up.
class Janelas : public mirelo_download::JanelasDownload {
public:
    explicit Janelas(std::string pasta) : Pasta(std::move(pasta)) {}

    class Tela : public mirelo_download::TelaBaixando {
    public:
        explicit Tela(Janelas& dono) : Dono(dono) {}
        void Inicia(const std::string&, const std::string& nome) override { Nome = nome; }
        void DefineTotal(std::int64_t) override {}
        void TentaDeNovo(int tentativa, int maximo, const std::string&) override
        {
            Dono.Tentativas.push_back(Nome + " " + std::to_string(tentativa) + "/" +
                                      std::to_string(maximo));
        }
        void Termina(const std::string&) override { Fechada = true; }
        bool Aberta() const override { return !Fechada; }

    private:
        Janelas& Dono;
        std::string Nome;
        bool Fechada = false;
    };

    std::string EscolhePasta(const std::string&) override { return Pasta; }
    std::unique_ptr<mirelo_download::TelaBaixando> MostraBaixando(
        std::function<void()> cancelar) override
    {
        Cancelar = std::move(cancelar);
        return std::make_unique<Tela>(*this);
    }
    bool PerguntaInstalar(const std::string&, const std::string&) override { return false; }

    std::string Pasta;
    std::function<void()> Cancelar;
    std::vector<std::string> Tentativas;
};

// One session as the program builds it, with its own run, on the loop of the test.
class Sessao {
public:
    Sessao(platform::EventLoop& loop, FaultyFtpServer& server, const faultsite::Sandbox& sandbox)
        : registro(sandbox.Root / "wine/system.reg"),
          janelas(sandbox.Pasta),
          sessao(loop, servicos, registro, {TServidorFtp{"127.0.0.1", std::to_string(server.Port())}}, 0) {
        // Bounds a wait the run should not be in at all, so such a fault fails the test quickly.
        sessao.ftpDownloader().SetTimeout(20);
    }

    ResultadoExecucao Baixa() {
        if (!sessao.Conectar() || !sessao.PegaDownloadCfg(1, 0))
            return {};
        sessao.LeDownloadCfg();
        mirelo_download::TExecucaoDownload execucao(sessao, janelas);
        return execucao.btnBaixarClick();
    }

    std::string Mensagens() const {
        std::string todas;
        for (const RecordingUserServices::Box& box : servicos.Boxes)
            todas += box.Caption + ": " + box.Text + "\n";
        return todas;
    }

    RecordingUserServices servicos;
    platform::WineRegistry registro;
    Janelas janelas;
    TSessaoDownloader sessao;
};

class DownloadRetryFaults : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override {
        faultsite::Serve(server);
        previous = std::filesystem::current_path();
        std::filesystem::current_path(sandbox.Trabalho);
        loop = MakeEventLoop(GetParam());
    }

    void TearDown() override { std::filesystem::current_path(previous); }

    // Puts `bytes` in place of the site's setup.exe; returns its server path.
    std::string ServeSetup(const std::string& bytes) {
        const std::string path = faultsite::kDirArquivos + "setup.exe";
        server.AddFile(path, bytes);
        return path;
    }

    FaultyFtpServer server;
    faultsite::Sandbox sandbox;
    std::filesystem::path previous;
    std::unique_ptr<platform::EventLoop> loop;
};

// Five cuts of a 50 MB component, each after 8 MB: every try goes on from the bytes on disk, at
// once since each brought bytes, and the server sends hardly anything twice.
TEST_P(DownloadRetryFaults, AComponentCutFiveTimesArrivesWholeWithLittleSentTwice) {
    const std::string bytes = faultsite::Content("setup.exe", 50 * kMega);
    const std::string path = ServeSetup(bytes);
    server.SetCutAfter(8 * kMega);
    server.SetFault(Fault::CutTransfer, "RETR", "setup.exe", 5);

    Sessao sessao(*loop, server, sandbox);
    const ResultadoExecucao result = sessao.Baixa();
    ASSERT_EQ(result.Fim, FimExecucao::Concluida) << sessao.Mensagens();
    EXPECT_TRUE(sandbox.Read(sandbox.Pasta + "setup.exe") == bytes) << "setup.exe is not whole";
    EXPECT_EQ(server.CountCommands("RETR setup.exe"), 6);
    EXPECT_EQ(server.CountCommands("REST "), 5);
    EXPECT_LE(server.BytesSent(path), static_cast<std::int64_t>(bytes.size() * 105 / 100));
    EXPECT_EQ(sessao.janelas.Tentativas, std::vector<std::string>(5, "setup.exe 0/5"));
    for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == (arquivo.Nome == "setup.exe" ? bytes : arquivo.Bytes))
            << arquivo.Nome;
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

// Cancelar while the server holds a transfer still: the transfer ends at once (no wait for the
// Timeout), the copy the folder held before stays as it was, and a new run goes on from the
// bytes that arrived, through a try that brought nothing and the wait after it.
TEST_P(DownloadRetryFaults, CancelarDuringAStallKeepsThePartAndTheNextRunContinuesIt) {
    const std::string bytes = faultsite::Content("setup.exe", 4 * kMega);
    const std::string path = ServeSetup(bytes);
    server.SetCutAfter(kMega);
    server.SetFault(Fault::StallTransfer, "RETR", "setup.exe", 1);
    // An earlier copy, older than the release, which the run sets out to replace.
    const std::string anterior = faultsite::Content("setup.exe antigo", 3 * kMega);
    std::ofstream(sandbox.Pasta + "setup.exe", std::ios::binary) << anterior;
    const struct timeval antigo[2] = {{1'500'000'000, 0}, {1'500'000'000, 0}};
    ASSERT_EQ(::utimes((sandbox.Pasta + "setup.exe").c_str(), antigo), 0);

    std::int64_t parcial = 0;
    {
        Sessao primeira(*loop, server, sandbox);
        // The transfer stalls after its first megabyte; Cancelar comes while it has begun.
        primeira.sessao.OnProgresso = [&primeira] {
            if (primeira.sessao.BytesRecebidos > 0 && primeira.janelas.Cancelar) {
                std::function<void()> cancelar = std::move(primeira.janelas.Cancelar);
                primeira.janelas.Cancelar = nullptr;
                cancelar();
            }
        };
        const ResultadoExecucao result = primeira.Baixa();
        ASSERT_EQ(result.Fim, FimExecucao::Cancelada) << primeira.Mensagens();
        EXPECT_NE(result.Mensagem.find("continuar"), std::string::npos) << result.Mensagem;
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + "setup.exe") == anterior) << "the earlier copy was touched";
        parcial = mirelo_download::TamanhoArquivo(sandbox.Pasta + "setup.exe." + std::to_string(bytes.size()) +
                                                  ".parcial");
        ASSERT_GT(parcial, 0);
        ASSERT_LE(parcial, static_cast<std::int64_t>(kMega));
    }

    // The new run's first try is cut before a byte: it waits its second, then goes on.
    server.SetCutAfter(0);
    server.SetFault(Fault::CutTransfer, "RETR", "setup.exe", 1);
    const std::int64_t sentBefore = server.BytesSent(path);
    Sessao segunda(*loop, server, sandbox);
    const ResultadoExecucao result = segunda.Baixa();
    ASSERT_EQ(result.Fim, FimExecucao::Concluida) << segunda.Mensagens();
    EXPECT_TRUE(sandbox.Read(sandbox.Pasta + "setup.exe") == bytes) << "setup.exe is not whole";
    EXPECT_EQ(segunda.janelas.Tentativas, std::vector<std::string>{"setup.exe 1/5"});
    EXPECT_EQ(server.CountCommands("REST " + std::to_string(parcial)), 2);
    EXPECT_EQ(server.BytesSent(path) - sentBefore, static_cast<std::int64_t>(bytes.size()) - parcial);
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

INSTANTIATE_TEST_SUITE_P(Loops, DownloadRetryFaults, testing::Values(LoopBackend::Poll, LoopBackend::Qt),
                         LoopBackendName);

}  // namespace
