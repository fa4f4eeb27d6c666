// mirelo-downloader in headless mode against catalogues that arrive broken or were written to
// do harm: cut short in transfer, of 10 000 sections, with file names that try to leave the
// download folder, with markup in names and descriptions, with a value of 1 MB. The program must
// refuse what it cannot trust with a readable message, write nothing outside the download
// folder, show server text as the text it is, and stay within bounded time and memory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "FaultSite.h"
#include "FaultyFtpServer.h"
#include "ProgramRun.h"

#ifdef MIRELO_DOWNLOADER

namespace {

using Fault = FaultyFtpServer::Fault;
using faultsite::kInstalacao;
using faultsite::kProduto;

constexpr long kMemoryLimitKb = 256 * 1024;

class HeadlessCatalogueFaults : public testing::Test {
protected:
    void SetUp() override { faultsite::Serve(server); }

    void TearDown() override {
        if (HasFailure())
            for (const ProgramResult& run : runs)
                std::printf("--- stdout\n%.4000s--- stderr\n%.4000s---\n", run.Out.c_str(), run.Err.c_str());
    }

    ProgramResult Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{MIRELO_DOWNLOADER};
        argv.insert(argv.end(), args.begin(), args.end());
        ProgramResult result = RunProgram(argv, sandbox.Trabalho,
                                          {{"MIRELO_FTP_HOSTS", server.HostAndPort()},
                                           {"HOME", sandbox.Root / "home"},
                                           {"WINEPREFIX", sandbox.Root / "wine"},
                                           {"QT_QPA_PLATFORM", "offscreen"},
                                           {"LC_ALL", "C.UTF-8"}},
                                          std::chrono::seconds(120));
        EXPECT_TRUE(result.Finished) << "the program was still running after 120 s";
        EXPECT_EQ(result.Signal, 0) << "the program died of signal " << result.Signal;
        if (MemoryChecked()) {
            EXPECT_LT(result.MaxRssKb, kMemoryLimitKb);
        }
        runs.push_back(result);
        return result;
    }

    ProgramResult Download() { return Run({"--download", kProduto, kInstalacao, "--to", sandbox.Pasta}); }
    ProgramResult List() { return Run({"--list"}); }

    // RETR commands for anything but the two catalogues.
    int ComponentFetches() const {
        return server.CountCommands("RETR") - server.CountCommands("RETR formularios.cfg") -
               server.CountCommands("RETR download.cfg");
    }

    void ExpectFailure(const ProgramResult& result, const std::string& reason) {
        EXPECT_EQ(result.ExitStatus, 1);
        EXPECT_NE(result.Err.find(reason), std::string::npos) << "expected on stderr: " << reason;
    }

    FaultyFtpServer server;
    faultsite::Sandbox sandbox;
    std::vector<ProgramResult> runs;
};

// A catalogue cut short reads as a smaller catalogue: the one missing component would simply
// not be downloaded and the run would call itself complete. The size check must catch it.
TEST_F(HeadlessCatalogueFaults, ComponentCatalogueCutShortIsRefused) {
    server.SetFault(Fault::TruncatedTransfer, "RETR", "download.cfg");
    const ProgramResult result = Download();
    ExpectFailure(result, "o catálogo de componentes não pôde ser baixado");
    EXPECT_FALSE(sandbox.Exists(sandbox.Pasta + "setup.exe"));
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

TEST_F(HeadlessCatalogueFaults, FormsCatalogueCutShortIsRefused) {
    server.SetFault(Fault::TruncatedTransfer, "RETR", "formularios.cfg");
    const ProgramResult result = List();
    ExpectFailure(result, "não foi possível ler o catálogo de formulários");
}

TEST_F(HeadlessCatalogueFaults, ComponentCatalogueResetHalfWayIsRefused) {
    server.SetFault(Fault::ResetDataHalfway, "RETR", "download.cfg");
    const ProgramResult result = Download();
    ExpectFailure(result, "o catálogo de componentes não pôde ser baixado");
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

TEST_F(HeadlessCatalogueFaults, TenThousandProductsAreListed) {
    std::string catalogue;
    for (int k = 1; k <= 10000; ++k)
        catalogue += "[Formulario " + std::to_string(k) + "]\r\nnome=Produto " + std::to_string(k) +
                     "\r\nversao=1.0|1\r\nchave=SOFTWARE\\Mirelo\\P" + std::to_string(k) + "\\Versao\r\n";
    server.AddFile(faultsite::kFormulariosCfg, catalogue);
    const ProgramResult result = List();
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    EXPECT_NE(result.Out.find("Produto 1 (versão 1.0/1)\n"), std::string::npos);
    EXPECT_NE(result.Out.find("Produto 10000 (versão 1.0/1)\n"), std::string::npos);
}

// Ten thousand components of one file: the first run fetches it once and keeps it for every
// other component.
TEST_F(HeadlessCatalogueFaults, TenThousandComponentsAreDownloaded) {
    std::string catalogue;
    for (int k = 1; k <= 10000; ++k)
        catalogue += "[componente " + std::to_string(k) + "]\r\nnome=Componente " + std::to_string(k) +
                     "\r\ndescricao=Parte|0\r\ndisponibilizacao=01/01/2020 00:00:00\r\nversao=1|1\r\n"
                     "instalacao=comum.bin|1|/declaracao/arquivos/\r\ntamanho=10\r\n";
    server.AddFile(faultsite::kDownloadCfg, catalogue);
    server.AddFile(faultsite::kDirArquivos + "comum.bin", "0123456789");
    const ProgramResult list = List();
    EXPECT_EQ(list.ExitStatus, 0) << list.Err;
    EXPECT_NE(list.Out.find("        Componente 10000: 0,0 kb, fixo\n"), std::string::npos);

    const ProgramResult result = Download();
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    EXPECT_EQ(server.CountCommands("RETR comum.bin"), 1);
    EXPECT_EQ(sandbox.Read(sandbox.Pasta + "comum.bin"), "0123456789");
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

// Each name that would reach outside the folder, as a component's file: the run refuses before
// anything is fetched or written.
TEST_F(HeadlessCatalogueFaults, ComponentFileNamesThatLeaveTheFolderAreRefused) {
    const bool etcHadX = std::filesystem::exists("/etc/x");
    for (const std::string& nome : std::vector<std::string>{"../x", "/etc/x", "a/../../x", "..\\x", "..", sandbox.Root / "fora"}) {
        SCOPED_TRACE(nome);
        server.AddFile(faultsite::kDownloadCfg,
                       "[componente 1]\r\nnome=Mau\r\ndescricao=x|0\r\ndisponibilizacao=01/01/2020 00:00:00\r\n"
                       "instalacao=" + nome + "|2|/declaracao/arquivos/\r\ntamanho=1\r\n");
        server.AddFile("/pub/mirelo/declaracao/" + nome, "fora da pasta");
        const ProgramResult result = Download();
        ExpectFailure(result, "O servidor indicou um nome de arquivo inválido");
        EXPECT_EQ(ComponentFetches(), 0);
    }
    EXPECT_EQ(std::filesystem::exists("/etc/x"), etcHadX);
    EXPECT_FALSE(sandbox.Exists(sandbox.Root / "fora"));
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

// The same names as rule files and as support files named by a rule.
TEST_F(HeadlessCatalogueFaults, RuleAndSupportFileNamesThatLeaveTheFolderAreRefused) {
    server.AddFile(faultsite::kDownloadCfg,
                   "[componente 1]\r\nnome=Programa\r\ndescricao=x|0\r\ndisponibilizacao=01/01/2020 00:00:00\r\n"
                   "instalacao=setup.exe|1|/declaracao/arquivos/\r\nregra=/regras/..\r\ntamanho=1\r\n");
    ProgramResult result = Download();
    ExpectFailure(result, "O servidor indicou um nome de arquivo inválido");
    EXPECT_EQ(ComponentFetches(), 0);

    std::string regra = "Preambulo\r\nRegra\r\n";
    for (const std::string nome : {"../x", "/etc/x", "a/../../x", "..\\x"})
        regra += "[Regra]\r\nTipo=R\r\nChave1=SOFTWARE\\Nada\\Versao\r\n-\r\nValor=1\r\nArquivo=" + nome + "\r\n-\r\n";
    server.AddFile("/pub/mirelo/regras/declaracao.txt", regra);
    server.AddFile(faultsite::kDownloadCfg, faultsite::DownloadCfg());
    result = Download();
    ExpectFailure(result, "alguns arquivos não foram baixados");
    EXPECT_NE(result.Err.find("../x: nome de arquivo inválido"), std::string::npos);
    EXPECT_NE(result.Err.find("/etc/x: nome de arquivo inválido"), std::string::npos);
    EXPECT_EQ(server.CountCommands("RETR x"), 0);
    // Nor are they listed in Regras.Ini, where the installer would look for them.
    EXPECT_EQ(sandbox.Read(sandbox.Pasta + "Regras.Ini"), "");
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

TEST_F(HeadlessCatalogueFaults, MarkupInNamesAndDescriptionsIsShownAsText) {
    const std::string produto = "<b>Negrito</b> & <script>alert(1)</script>";
    const std::string componente = "<img src=x onerror=alert(1)>";
    server.AddFile(faultsite::kFormulariosCfg, "[Formulario 1]\r\nnome=" + produto +
                                                   "\r\ndescricao=<a href=\"file:///etc/passwd\">ver</a>\r\n"
                                                   "versao=<i>1</i>|2\r\ninstalacoes=<u>Completa</u>|/declaracao/completa/\r\n");
    server.AddFile(faultsite::kDownloadCfg,
                   "[componente 1]\r\nnome=" + componente + "\r\ndescricao=<h1>Grande</h1>|0\r\n"
                   "disponibilizacao=01/01/2020 00:00:00\r\nversao=1|1\r\ninstalacao=manual.pdf|1|/declaracao/arquivos/\r\n"
                   "tamanho=102400\r\n");
    const ProgramResult list = List();
    EXPECT_EQ(list.ExitStatus, 0) << list.Err;
    EXPECT_NE(list.Out.find(produto + " (versão <i>1</i>/2)"), std::string::npos);
    EXPECT_NE(list.Out.find("instalação: <u>Completa</u>"), std::string::npos);
    EXPECT_NE(list.Out.find(componente + ": 100,0 kb, fixo"), std::string::npos);

    const ProgramResult result = Run({"--download", produto, "<u>Completa</u>", "--to", sandbox.Pasta});
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    EXPECT_NE(result.Err.find("<h1>Grande</h1>, Ver.:1/1"), std::string::npos);
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

// A value of 1 MB is read as its first 2047 bytes, like every catalogue value, and costs no
// more than that.
TEST_F(HeadlessCatalogueFaults, AOneMegabyteValueIsCutToTheValueLimit) {
    const std::string enorme(1 << 20, 'x');
    server.AddFile(faultsite::kFormulariosCfg, "[Formulario 1]\r\nnome=" + enorme + "\r\ndescricao=" + enorme +
                                                   "\r\nversao=1|1\r\ninstalacoes=Completa|/declaracao/completa/\r\n");
    const ProgramResult list = List();
    EXPECT_EQ(list.ExitStatus, 0) << list.Err;
    EXPECT_NE(list.Out.find(std::string(2047, 'x') + " (versão 1/1)\n"), std::string::npos);
    EXPECT_EQ(list.Out.find(std::string(2048, 'x')), std::string::npos);

    const ProgramResult result = Run({"--download", std::string(2047, 'x'), "Completa", "--to", sandbox.Pasta});
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

}  // namespace

#endif  // MIRELO_DOWNLOADER
