// The download run end to end against pyftpdlib on loopback, on the poll() loop, with the
// questions answered by the recording user services and the windows by a scripted stand-in.
#include "download/ExecucaoDownload.h"

#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "RecordingUserServices.h"
#include "SiteDownloadTeste.h"
#include "TempDir.h"
#include "download/ArquivoLocal.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"
#include "platform/Registry.h"

namespace {

namespace fs = std::filesystem;
using mirelo_download::FimExecucao;
using mirelo_download::ResultadoExecucao;
using mirelo_download::TExecucaoDownload;

// The run's windows without a person: a fixed folder, progress windows that close when the
// file has ended, and hooks to act while a given file is on its way.
class JanelasTeste : public mirelo_download::JanelasDownload {
public:
    explicit JanelasTeste(std::string pasta) : Pasta(std::move(pasta)) {}

    class Tela : public mirelo_download::TelaBaixando {
    public:
        Tela(JanelasTeste& dono, std::function<void()> cancelar)
            : Dono(dono), Cancelar(std::move(cancelar))
        {
        }
        void Inicia(const std::string&, const std::string& nome) override
        {
            Nome = nome;
            Dono.Mostrados.push_back(nome);
            Dono.Atual = nome;
            Dono.CancelarAtual = Cancelar;
        }
        void DefineTotal(std::int64_t) override
        {
            // The size is known and the retrieval is about to start: "during the file".
            if (Nome == Dono.CancelaEm)
                Cancelar();
            if (Nome == Dono.ParaEm && Dono.OnPara)
                Dono.OnPara();
        }
        void Termina(const std::string& falha) override
        {
            Fechada = true;
            if (!falha.empty())
                Dono.Falhas.push_back(Nome + ": " + falha);
        }
        bool Aberta() const override { return !Fechada; }

    private:
        JanelasTeste& Dono;
        std::function<void()> Cancelar;
        std::string Nome;
        bool Fechada = false;
    };

    std::string EscolhePasta(const std::string& inicial) override
    {
        ++PastasPedidas;
        Propostas.push_back(inicial);
        return Pasta;
    }
    std::unique_ptr<mirelo_download::TelaBaixando> MostraBaixando(
        std::function<void()> cancelar) override
    {
        return std::make_unique<Tela>(*this, std::move(cancelar));
    }
    bool PerguntaInstalar(const std::string& caption, const std::string& texto) override
    {
        Perguntas.push_back(caption + "|" + texto);
        return Instalar;
    }
    void ArquivoMantido(const std::string& nome) override { Mantidos.push_back(nome); }

    std::string Pasta;
    int PastasPedidas = 0;
    // The folder each run proposed before the user chose.
    std::vector<std::string> Propostas;
    bool Instalar = true;
    std::string CancelaEm;
    std::string ParaEm;
    // The file whose window is up, and its Cancelar.
    std::string Atual;
    std::function<void()> CancelarAtual;
    std::function<void()> OnPara;
    std::vector<std::string> Mostrados;
    std::vector<std::string> Mantidos;
    std::vector<std::string> Falhas;
    std::vector<std::string> Perguntas;
};

std::string Le(const std::string& caminho)
{
    std::ifstream entrada(caminho, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(entrada), {});
}

void Envelhece(const std::string& caminho)
{
    const struct timeval antigo[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
    ASSERT_EQ(::utimes(caminho.c_str(), antigo), 0);
}

// Each test in a working folder of its own (the session writes its catalogue copies there), with
// active data connections (the program's default) and passive ones (the proxy's).
class ExecucaoDownload : public ::testing::TestWithParam<bool> {
protected:
    ExecucaoDownload()
        : antes(fs::current_path()),
          registro(platform::RegistryHive::Parse(SiteDownloadTeste::kRegistro)),
          janelas(destino.Path())
    {
        fs::current_path(trabalho.Path());
    }
    ~ExecucaoDownload() override { fs::current_path(antes); }

    // Connects and selects installation `posicao` of form `form` (from 1).
    void Seleciona(std::size_t form, std::size_t posicao)
    {
        sessao = std::make_unique<TSessaoDownloader>(
            loop, servicos, registro,
            std::vector<TServidorFtp>{{"127.0.0.1", std::to_string(site.Porta())}}, 0);
        sessao->ftpDownloader().SetPassiveMode(GetParam());
        // A hang of the client becomes a failure of the test, not of the suite's time limit.
        sessao->ftpDownloader().SetTimeout(30);
        if (std::getenv("MIRELO_TRACE") != nullptr)
            sessao->ftpDownloader().OnDisplay = [](TObject*, std::string& linha) {
                std::fprintf(stderr, "%s\n", linha.c_str());
            };
        ASSERT_TRUE(sessao->Conectar()) << servicos.Texts();
        ASSERT_TRUE(sessao->PegaDownloadCfg(form, posicao)) << servicos.Texts();
        sessao->LeDownloadCfg();
        ASSERT_GT(sessao->Componentes.Count(), 0u);
        servicos.Boxes.clear();
    }

    ResultadoExecucao Executa()
    {
        execucao = std::make_unique<TExecucaoDownload>(*sessao, janelas);
        return execucao->btnBaixarClick();
    }

    std::string Destino(const std::string& nome) const { return destino / nome; }

    void EsperaIgual(const std::string& nome, std::size_t tamanho)
    {
        EXPECT_EQ(Le(Destino(nome)), SiteDownloadTeste::Conteudo(nome, tamanho)) << nome;
    }

    fs::path antes;
    SiteDownloadTeste site;
    TempDir trabalho;
    TempDir destino;
    platform::PollEventLoop loop;
    RecordingUserServices servicos;
    platform::RegistryHive registro;
    JanelasTeste janelas;
    std::unique_ptr<TSessaoDownloader> sessao;
    std::unique_ptr<TExecucaoDownload> execucao;
};

const char* const kTempRegrasEsperado =
    "[Regra 1]\r\nTipo=R\r\nChave: SOFTWARE\\Orva\\Runtime\\Versao\r\nBiblioteca\r\nValor=3.0\r\n"
    "Arquivo=runtime.dll\r\nFim\r\n\r\r\n"
    "[Regra 2]\r\nTipo=R\r\nChave: SOFTWARE\\Orva\\Runtime\\Versao\r\nDe novo\r\nValor=3.0\r\n"
    "Arquivo=runtime.dll\r\nFim\r\n"
    "[Regra 2]\r\nTipo=r\r\nChave: SOFTWARE\\Orva\\Runtime\\Versao\r\nTipo inerte\r\nValor=3.0\r\n"
    "Arquivo=inerte.dll\r\nFim\r\n"
    "[Regra 2]\r\nTipo=R\r\nChave: SOFTWARE\\Orva\\Fonte\\Versao\r\nInstalada\r\nValor=1.5\r\n"
    "Arquivo=naoprecisa.dll\r\nFim\r\n\r\r\n"
    "[Regra 1]\r\nTipo=R\r\nChave: SOFTWARE\\Orva\\Leitor\\Versao\r\nLeitor\r\nValor=9\r\n"
    "Arquivo=leitor.ttf\r\nFim\r\n\r\r\n";

TEST_P(ExecucaoDownload, FetchesFilesPartsRulesAndSupportFilesThenOffersTheInstaller)
{
    Seleciona(1, 0);
    const ResultadoExecucao resultado = Executa();
    ASSERT_EQ(resultado.Fim, FimExecucao::Concluida) << servicos.Texts() << resultado.Mensagem;

    ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção");
    EXPECT_EQ(servicos.Boxes[0].Text,
              "Você está preste a instalar:\rPrograma principal, Ver.:2.0/15\rManual, "
              "Ver.:2.0/15\rTabelas, Ver.:2.0/16\rConfirma ?");
    EXPECT_EQ(servicos.Boxes[0].BoxIcon, platform::UserServices::Icon::Question);
    EXPECT_EQ(sessao->PastaDestino, destino.Path());

    EsperaIgual("setup.exe", 40000);
    EsperaIgual("setup.w02", 20000);
    EsperaIgual("setup.w03", 10000);
    EsperaIgual("ajuda.zip", 5000);
    EsperaIgual("tabelas.dat", 2000);
    EsperaIgual("tabelas.w02", 1000);
    EsperaIgual("runtime.dll", 3000);
    EsperaIgual("leitor.ttf", 1500);
    EXPECT_FALSE(fs::exists(Destino("inerte.dll")));
    EXPECT_FALSE(fs::exists(Destino("naoprecisa.dll")));
    // Rule files stay beside the components.
    EXPECT_TRUE(fs::exists(Destino("r1.txt")));
    EXPECT_TRUE(fs::exists(Destino("r3.txt")));

    // Numbered per component: r1 and r2 of the first are 1 and 2, r3 of the second is 1 again.
    EXPECT_EQ(Le(Destino("TempRegras.Ini")), kTempRegrasEsperado);
    EXPECT_EQ(Le(Destino("Regras.Ini")), "runtime.dll\r\nruntime.dll\r\nleitor.ttf\r\n");
    EXPECT_EQ(resultado.Suportes, (std::vector<std::string>{"runtime.dll", "runtime.dll", "leitor.ttf"}));
    // Two applicable rules name the same support file: the second finds it whole in the folder.
    EXPECT_EQ(site.ContaRetr("runtime.dll"), 1);
    EXPECT_EQ(resultado.Mantidos, (std::vector<std::string>{"runtime.dll"}));
    EXPECT_EQ(site.ContaRetr("setup.w03"), 1);
    // No temporary is left once every file has its name.
    for (const fs::directory_entry& entrada : fs::directory_iterator(destino.Path()))
        EXPECT_NE(entrada.path().extension(), ".parcial") << entrada.path();

    ASSERT_EQ(janelas.Perguntas.size(), 1u);
    EXPECT_EQ(janelas.Perguntas[0], "Atenção.|Os arquivos foram baixados com sucesso.\rDeseja "
                                    "executar a instalação agora ?");
    EXPECT_EQ(servicos.Started, (std::vector<std::string>{Destino("setup.exe")}));
    EXPECT_TRUE(resultado.InstaladorIniciado);
}

TEST_P(ExecucaoDownload, SecondRunFetchesNoComponentAgain)
{
    Seleciona(1, 1);  // no rules, so the second run needs nothing at all from the server
    const std::size_t catalogos = site.Retrs().size();
    ASSERT_EQ(Executa().Fim, FimExecucao::Concluida) << servicos.Texts();
    const std::size_t primeiraVez = site.Retrs().size();
    EXPECT_EQ(primeiraVez, catalogos + 2);
    EXPECT_TRUE(fs::exists(Destino("vazio.txt")));
    EXPECT_EQ(fs::file_size(Destino("vazio.txt")), 0u);

    const ResultadoExecucao segunda = Executa();
    EXPECT_EQ(segunda.Fim, FimExecucao::Concluida) << servicos.Texts();
    EXPECT_EQ(site.Retrs().size(), primeiraVez);
    EXPECT_EQ(janelas.Mantidos, (std::vector<std::string>{"leitor.zip", "vazio.txt"}));
    // The first run proposes the default folder; the second, the folder chosen in the first.
    EXPECT_EQ(janelas.Propostas, (std::vector<std::string>{"", destino.Path()}));
}

TEST_P(ExecucaoDownload, OlderOrOtherLengthCopiesAreFetchedAgainCurrentOnesKept)
{
    Seleciona(1, 0);
    ASSERT_EQ(Executa().Fim, FimExecucao::Concluida) << servicos.Texts();
    Envelhece(Destino("setup.w02"));                        // older than the release
    std::ofstream(Destino("ajuda.zip"), std::ios::trunc) << "curto";  // another length
    std::ofstream(Destino("tabelas.w02"), std::ios::app) << "x";     // another length too

    const ResultadoExecucao segunda = Executa();
    ASSERT_EQ(segunda.Fim, FimExecucao::Concluida) << servicos.Texts();
    EXPECT_EQ(segunda.Baixados,
              (std::vector<std::string>{"setup.w02", "ajuda.zip", "tabelas.w02"}));
    // Support files whole in the folder are not fetched on every run.
    EXPECT_EQ(segunda.Mantidos,
              (std::vector<std::string>{"setup.exe", "setup.w03", "tabelas.dat", "runtime.dll",
                                        "runtime.dll", "leitor.ttf"}));
    EXPECT_EQ(site.ContaRetr("runtime.dll"), 1);
    EXPECT_EQ(site.ContaRetr("setup.exe"), 1);
    EXPECT_EQ(site.ContaRetr("setup.w02"), 2);
    EXPECT_EQ(site.ContaRetr("tabelas.dat"), 1);
    EsperaIgual("setup.w02", 20000);
    EsperaIgual("ajuda.zip", 5000);
    EsperaIgual("tabelas.w02", 1000);
}

TEST_P(ExecucaoDownload, CancelarDuringAFileEndsTheRunWithoutRulesOrQuestion)
{
    Seleciona(1, 0);
    janelas.CancelaEm = "ajuda.zip";  // the first file of the second component
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::Cancelada);
    EXPECT_TRUE(sessao->Cancelado);
    // Nothing from the file at hand on is fetched.
    EXPECT_EQ(site.ContaRetr("ajuda.zip"), 0);
    EXPECT_FALSE(fs::exists(Destino("ajuda.zip")));
    EXPECT_EQ(site.ContaRetr("tabelas.dat"), 0);
    EXPECT_EQ(site.ContaRetr("r3.txt"), 0);
    EXPECT_FALSE(fs::exists(Destino("Regras.Ini")));
    EXPECT_EQ(site.ContaRetr("runtime.dll"), 0);
    // The collection holds the first component's rules only, and was closed.
    EXPECT_EQ(Le(Destino("TempRegras.Ini")),
              std::string(kTempRegrasEsperado)
                  .substr(0, std::string(kTempRegrasEsperado).find("[Regra 1]\r\nTipo=R\r\nChave: SOFTWARE\\Orva\\Leitor")));
    // The confirmation, then the word that the download was interrupted and can go on.
    ASSERT_EQ(servicos.Boxes.size(), 2u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[1].Text.rfind("O download foi interrompido.\r", 0), 0u)
        << servicos.Texts();
    EXPECT_NE(servicos.Boxes[1].Text.find(destino.Path()), std::string::npos);
    EXPECT_NE(servicos.Boxes[1].Text.find("continuar"), std::string::npos);
    EXPECT_EQ(resultado.Mensagem, servicos.Boxes[1].Text);
    EXPECT_TRUE(janelas.Perguntas.empty());
    EXPECT_TRUE(servicos.Started.empty());

    // A new run clears the flag and starts over.
    janelas.CancelaEm.clear();
    EXPECT_EQ(Executa().Fim, FimExecucao::Concluida) << servicos.Texts();
    EXPECT_FALSE(sessao->Cancelado);
}

TEST_P(ExecucaoDownload, NothingMarkedOrNoConnectionOrNoStopsBeforeAnythingIsWritten)
{
    Seleciona(1, 0);
    for (std::size_t k = 1; k <= sessao->Componentes.Count(); ++k)
        sessao->Componentes.Slot(k)->Marcado = "0";
    EXPECT_EQ(Executa().Fim, FimExecucao::NaoIniciada);
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção.");
    EXPECT_EQ(servicos.Boxes[0].Text, "Nenhum componente foi escolhido.");
    EXPECT_EQ(servicos.Boxes[0].BoxIcon, platform::UserServices::Icon::Error);

    sessao->Componentes.Slot(2)->Marcado = "1";
    servicos.Answers = {false};
    EXPECT_EQ(Executa().Fim, FimExecucao::NaoIniciada);
    EXPECT_EQ(servicos.Boxes.size(), 2u);
    EXPECT_EQ(janelas.PastasPedidas, 0);
    EXPECT_TRUE(fs::is_empty(destino.Path()));

    // The session is gone and cannot be had again: the server is down.
    sessao->ftpDownloader().QuitStep();
    sessao->FtpPronto();
    site.Para();
    ASSERT_FALSE(sessao->IsControlOpen());
    EXPECT_EQ(Executa().Fim, FimExecucao::NaoIniciada);
    ASSERT_GE(servicos.Boxes.size(), 3u);
    EXPECT_EQ(servicos.Boxes[2].Text, "Não foi possível conectar ao FTP:\r127.0.0.1");
    EXPECT_EQ(servicos.Boxes[2].BoxIcon, platform::UserServices::Icon::Error);
    EXPECT_TRUE(fs::is_empty(destino.Path()));
    EXPECT_TRUE(site.Retrs().size() == 0 || site.ContaRetr("ajuda.zip") == 0);
}

// The server goes away for good: the log-on again fails, and the run ends saying that the
// connection was closed, keeping what arrived.
TEST_P(ExecucaoDownload, ConnectionCutDuringTheRunEndsItSayingSo)
{
    Seleciona(1, 0);
    janelas.ParaEm = "setup.w02";
    janelas.OnPara = [this] { site.Para(); };
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::Interrompida);
    EXPECT_NE(servicos.Texts().find("Não foi possível conectar ao FTP"), std::string::npos)
        << servicos.Texts();
    EXPECT_EQ(servicos.Boxes.back().Text, sessao->TextoConexaoPerdida());
    EXPECT_EQ(resultado.Mensagem, sessao->TextoConexaoPerdida());
    EsperaIgual("setup.exe", 40000);
    EXPECT_FALSE(fs::exists(Destino("Regras.Ini")));
    EXPECT_TRUE(janelas.Perguntas.empty());
}

// A transfer that fails is named, the installer is not offered, and what arrived stays: an
// earlier copy of the file that failed included.
TEST_P(ExecucaoDownload, FailedTransfersAreListedAndNoInstallIsOffered)
{
    fs::remove(site.Raiz() / "pub/mirelo/dec/arquivos/setup.w03");
    const std::string anterior = SiteDownloadTeste::Conteudo("setup.w03 antigo", 9000);
    std::ofstream(Destino("setup.w03"), std::ios::binary) << anterior;
    Seleciona(1, 0);
    const ResultadoExecucao resultado = Executa();
    EXPECT_TRUE(Le(Destino("setup.w03")) == anterior) << "the refused fetch spoilt the earlier copy";
    EXPECT_EQ(resultado.Fim, FimExecucao::ComFalhas);
    ASSERT_EQ(resultado.Falhas.size(), 1u);
    EXPECT_EQ(resultado.Falhas[0].rfind("setup.w03: ", 0), 0u) << resultado.Falhas[0];
    const RecordingUserServices::Box& ultima = servicos.Boxes.back();
    EXPECT_FALSE(ultima.Question);
    EXPECT_EQ(ultima.BoxIcon, platform::UserServices::Icon::Error);
    EXPECT_NE(ultima.Text.find("setup.w03"), std::string::npos) << ultima.Text;
    EXPECT_EQ(ultima.Text.find("sucesso"), std::string::npos) << ultima.Text;
    EXPECT_TRUE(janelas.Perguntas.empty());
    EXPECT_TRUE(servicos.Started.empty());
    EsperaIgual("setup.exe", 40000);
    EsperaIgual("tabelas.w02", 1000);
    // The rules were still evaluated and the support files fetched.
    EXPECT_EQ(Le(Destino("Regras.Ini")), "runtime.dll\r\nruntime.dll\r\nleitor.ttf\r\n");
}

// Without the support folder the server would hand out a namesake from the current directory.
TEST_P(ExecucaoDownload, AMissingSupportFolderIsToldAndItsFilesCountAsFailed)
{
    fs::remove_all(site.Raiz() / "pub/mirelo/suporte");
    // The directory the last rule file left current.
    site.Escreve("pub/mirelo/regras/runtime.dll", "impostor");
    Seleciona(1, 0);
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::ComFalhas);
    EXPECT_NE(servicos.Texts().find("Não foi possível achar a pasta Suporte.\rEntre em contato "
                                    "com o Orva."),
              std::string::npos)
        << servicos.Texts();
    EXPECT_EQ(resultado.Falhas.size(), 3u);
    EXPECT_EQ(site.ContaRetr("runtime.dll"), 0);
    EXPECT_FALSE(fs::exists(Destino("runtime.dll")));
    EXPECT_TRUE(janelas.Perguntas.empty());
}

TEST_P(ExecucaoDownload, WithoutAnInstallerSuccessIsToldAndNothingIsStarted)
{
    Seleciona(1, 1);
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::Concluida);
    EXPECT_TRUE(resultado.Instalador.empty());
    EXPECT_TRUE(janelas.Perguntas.empty());
    EXPECT_TRUE(servicos.Started.empty());
    ASSERT_EQ(servicos.Boxes.size(), 2u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[1].Text, "Os arquivos foram baixados com sucesso.");
    EXPECT_FALSE(servicos.Boxes[1].Question);
    EXPECT_EQ(Le(Destino("Regras.Ini")), "");
}

// The catalogue names files in Windows-1252; the folder holds them under their UTF-8 names, so
// the installer that the window starts (Qt reads paths as UTF-8) is the file that arrived.
TEST_P(ExecucaoDownload, AccentedNamesAreWrittenInUtf8AndTheInstallerStartsUnderThatName)
{
    site.Escreve("pub/mirelo/cad/download.cfg",
                 "[componente 1]\r\nnome=Cadastro\r\ndescricao=Cadastro|0\r\n"
                 "disponibilizacao=01/01/2024 10:00:00\r\nversao=1.0|1\r\n"
                 "instalacao=Instala\xE7\xE3o.exe|1|/cad/\r\nregra=/regras/r\xE9gua.txt\r\n"
                 "tamanho=1000\r\n");
    site.Escreve("pub/mirelo/cad/Instala\xE7\xE3o.exe", SiteDownloadTeste::Conteudo("i", 1000));
    site.Escreve("pub/mirelo/regras/r\xE9gua.txt", "Regra\r\n");
    Seleciona(2, 0);
    const ResultadoExecucao resultado = Executa();
    ASSERT_EQ(resultado.Fim, FimExecucao::Concluida) << servicos.Texts() << resultado.Mensagem;
    EXPECT_EQ(Le(Destino("Instalação.exe")), SiteDownloadTeste::Conteudo("i", 1000));
    EXPECT_TRUE(fs::exists(Destino("régua.txt")));
    EXPECT_FALSE(fs::exists(Destino("Instala\xE7\xE3o.exe")));
    EXPECT_EQ(servicos.Started, (std::vector<std::string>{Destino("Instalação.exe")}));
}

TEST_P(ExecucaoDownload, ServerNamesThatLeaveTheFolderAreRefusedAndNamed)
{
    Seleciona(1, 0);
    const std::string fora = (fs::path(destino.Path()).parent_path().parent_path() / "fora.exe").string();
    fs::remove(fora);
    for (const char* nome : {"../fora.exe", "/tmp/fora.exe", "a\\fora.exe", ""}) {
        sessao->Componentes.Slot(2)->Arquivo = nome;
        servicos.Boxes.clear();
        EXPECT_EQ(Executa().Fim, FimExecucao::Interrompida) << nome;
        ASSERT_FALSE(servicos.Boxes.empty()) << nome;
        EXPECT_NE(servicos.Boxes.back().Text.find("\"" + std::string(nome) + "\""),
                  std::string::npos)
            << servicos.Texts();
        // Refused before anything was asked or written.
        EXPECT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    }
    EXPECT_TRUE(fs::is_empty(destino.Path()));
    EXPECT_FALSE(fs::exists(fora));

    sessao->Componentes.Slot(2)->Arquivo = "ajuda.zip";
    sessao->Componentes.Slot(2)->Regra = "/regras/";
    servicos.Boxes.clear();
    EXPECT_EQ(Executa().Fim, FimExecucao::Interrompida);
    EXPECT_NE(servicos.Texts().find("\"/regras/\""), std::string::npos) << servicos.Texts();
}

TEST_P(ExecucaoDownload, SupportFileNamesThatLeaveTheFolderAreListedAsFailures)
{
    site.Escreve("pub/mirelo/regras/r3.txt",
                 "Regra\r\n[Regra]\r\nTipo=R\r\nChave: SOFTWARE\\Orva\\X\\Versao\r\nx\r\n"
                 "Valor=1\r\nArquivo=../../fora.dll\r\nFim\r\n");
    site.Escreve("pub/fora.dll", "fora");
    Seleciona(1, 0);
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::ComFalhas);
    ASSERT_EQ(resultado.Falhas.size(), 1u);
    EXPECT_EQ(resultado.Falhas[0].rfind("../../fora.dll: ", 0), 0u) << resultado.Falhas[0];
    EXPECT_EQ(site.ContaRetr("fora.dll"), 0);
    EXPECT_FALSE(fs::exists(fs::path(destino.Path()) / "../../fora.dll"));
    // Nor is it listed for the installer as if it were in the folder.
    EXPECT_EQ(Le(Destino("Regras.Ini")), "runtime.dll\r\nruntime.dll\r\n");
    EXPECT_TRUE(janelas.Perguntas.empty());
}

// Without the server's size (SIZE refused, or the directory missing) a copy cannot be judged
// complete: even an empty one, which a size of 0 would have matched, is fetched.
TEST_P(ExecucaoDownload, AnUnknownSizeMeansFetchNeverCurrent)
{
    fs::remove(site.Raiz() / "pub/mirelo/dec/simples/vazio.txt");
    Seleciona(1, 1);
    sessao->Componentes.Slot(1)->DiretorioRemoto = "/naoexiste/";
    std::ofstream(Destino("leitor.zip")) << "";
    std::ofstream(Destino("vazio.txt")) << "";
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::ComFalhas) << servicos.Texts();
    EXPECT_TRUE(resultado.Mantidos.empty());
    ASSERT_EQ(resultado.Falhas.size(), 2u) << servicos.Texts();
    EXPECT_NE(resultado.Falhas[0].find("/naoexiste/"), std::string::npos) << resultado.Falhas[0];
    EXPECT_EQ(resultado.Falhas[1].rfind("vazio.txt: ", 0), 0u) << resultado.Falhas[1];
}

// Cancelar while a support file is on its way stops the run there: no other support file, no
// installer question.
TEST_P(ExecucaoDownload, CancelarDuringTheSupportFilesEndsTheRun)
{
    Seleciona(1, 0);
    janelas.CancelaEm = "runtime.dll";
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::Cancelada) << servicos.Texts();
    EXPECT_EQ(site.ContaRetr("leitor.ttf"), 0);
    EXPECT_EQ(janelas.Mostrados.back(), "runtime.dll");
    EXPECT_TRUE(janelas.Perguntas.empty());
    EXPECT_TRUE(servicos.Started.empty());
}

TEST_P(ExecucaoDownload, UnreadableCatalogueValuesEndTheRunNamingThem)
{
    Seleciona(1, 0);
    sessao->Componentes.Slot(3)->Disponibilizacao = "2024-01-01";
    EXPECT_EQ(Executa().Fim, FimExecucao::Interrompida);
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_NE(servicos.Boxes[0].Text.find("\"2024-01-01\""), std::string::npos)
        << servicos.Texts();
    EXPECT_NE(servicos.Boxes[0].Text.find("Tabelas"), std::string::npos);

    sessao->Componentes.Slot(3)->Disponibilizacao = "01/01/2024";
    sessao->Componentes.Slot(3)->Discos = "dois";
    servicos.Boxes.clear();
    EXPECT_EQ(Executa().Fim, FimExecucao::Interrompida);
    EXPECT_NE(servicos.Texts().find("\"dois\""), std::string::npos) << servicos.Texts();
    EXPECT_TRUE(fs::is_empty(destino.Path()));
}

TEST_P(ExecucaoDownload, AMissingRuleFileEndsTheRunNamingIt)
{
    Seleciona(1, 0);
    sessao->Componentes.Slot(2)->Regra = "/regras/falta.txt";
    // An old copy in the folder must not stand in for it.
    std::ofstream(Destino("falta.txt")) << "Regra\r\n[Regra]\r\n";
    const ResultadoExecucao resultado = Executa();
    EXPECT_EQ(resultado.Fim, FimExecucao::Interrompida);
    EXPECT_NE(servicos.Boxes.back().Text.find("/pub/mirelo/regras/falta.txt"), std::string::npos)
        << servicos.Texts();
    EXPECT_FALSE(fs::exists(Destino("Regras.Ini")));
    EXPECT_TRUE(janelas.Perguntas.empty());
    // The collection file was closed with the first component's rules in it.
    EXPECT_EQ(Le(Destino("TempRegras.Ini")).find("[Regra 2]"), std::string(kTempRegrasEsperado).find("[Regra 2]"));
}

INSTANTIATE_TEST_SUITE_P(Dados, ExecucaoDownload, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Passivo" : "Ativo";
                         });

}  // namespace
