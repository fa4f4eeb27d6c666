// The headless mode: its command line, its name matching, and whole runs against pyftpdlib.
#include "download/ModoTexto.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "SiteDownloadTeste.h"
#include "TempDir.h"
#include "download/ServicosConsole.h"

namespace {

namespace fs = std::filesystem;
using mirelo_download::EncontraNome;
using mirelo_download::ExecutaModoTexto;
using mirelo_download::LeArgumentos;
using mirelo_download::OpcoesModoTexto;

TEST(ModoTexto, ReadsTheTwoCommandsAndTheirOptions)
{
    std::string erro;
    auto opcoes = LeArgumentos({"--list"}, erro);
    ASSERT_TRUE(opcoes) << erro;
    EXPECT_EQ(opcoes->Pedido, OpcoesModoTexto::Acao::Listar);

    opcoes = LeArgumentos({"--download", "Decl", "--skip", "Ajuda", "Completa", "--to", "/tmp/x",
                           "--skip", "Tab", "--install"},
                          erro);
    ASSERT_TRUE(opcoes) << erro;
    EXPECT_EQ(opcoes->Pedido, OpcoesModoTexto::Acao::Baixar);
    EXPECT_EQ(opcoes->Produto, "Decl");
    EXPECT_EQ(opcoes->Instalacao, "Completa");
    EXPECT_EQ(opcoes->Pasta, "/tmp/x");
    EXPECT_EQ(opcoes->Pular, (std::vector<std::string>{"Ajuda", "Tab"}));
    EXPECT_TRUE(opcoes->Instalar);

    opcoes = LeArgumentos({"--help"}, erro);
    ASSERT_TRUE(opcoes);
    EXPECT_EQ(opcoes->Pedido, OpcoesModoTexto::Acao::Ajuda);
}

// Qt's own arguments start the window: the desktop's session restore passes "-session".
TEST(ModoTexto, OnlyItsOwnOptionsSelectTheHeadlessMode)
{
    using mirelo_download::PedeModoTexto;
    for (const std::vector<std::string>& proprias :
         std::vector<std::vector<std::string>>{{"--list"}, {"--download", "a", "b"}, {"--download-all"}, {"--help"},
                                               {"-h"}, {"--version"}})
        EXPECT_TRUE(PedeModoTexto(proprias)) << proprias[0];
    for (const std::vector<std::string>& doQt :
         std::vector<std::vector<std::string>>{{},
                                               {"-session", "10d2f3e4a5000170000000001"},
                                               {"-style", "fusion"},
                                               {"--platform", "offscreen"},
                                               {"-reverse"}})
        EXPECT_FALSE(PedeModoTexto(doQt)) << (doQt.empty() ? "" : doQt[0]);

    std::ostringstream saida;
    std::ostringstream erros;
    EXPECT_EQ(ExecutaModoTexto({"--version"}, saida, erros, false), 0);
    EXPECT_EQ(saida.str(), "mirelo-downloader 2.0\n");
    EXPECT_EQ(ExecutaModoTexto({"--version", "x"}, saida, erros, false), 1);
}

TEST(ModoTexto, RefusesMalformedCommandLinesWithAReason)
{
    const std::vector<std::vector<std::string>> ruins = {
        {"--list", "a"},          {"--download", "a"},       {"--download", "a", "b", "c"},
        {"--download", "a", "b", "--to"}, {"--download", "a", "b", "--skip"},
        {"--download", "a", "b", "--to", "x", "--to", "y"}, {"--baixar"},
        {"--download", "a", "b", "--force"}};
    for (const auto& argumentos : ruins) {
        std::string erro;
        EXPECT_FALSE(LeArgumentos(argumentos, erro)) << argumentos.size();
        EXPECT_FALSE(erro.empty());
    }
}

TEST(ModoTexto, NamesMatchExactlyOrByAUniquePrefixWhateverTheCase)
{
    const std::vector<std::string> nomes = {"Declaração Anual", "Declaração Mensal", "Cadastro",
                                            "Ajuda", "Ajuda extra"};
    std::string erro;
    EXPECT_EQ(EncontraNome(nomes, "Cadastro", "produto", erro), 2u);
    EXPECT_EQ(EncontraNome(nomes, "cad", "produto", erro), 2u);
    EXPECT_EQ(EncontraNome(nomes, "DECLARAÇÃO A", "produto", erro), 0u);
    // The exact name wins over the longer one it begins.
    EXPECT_EQ(EncontraNome(nomes, "Ajuda", "componente", erro), 3u);
    EXPECT_EQ(EncontraNome(nomes, "ajuda", "componente", erro), 3u);

    EXPECT_EQ(EncontraNome(nomes, "Decl", "produto", erro), std::nullopt);
    EXPECT_NE(erro.find("mais de um produto"), std::string::npos) << erro;
    EXPECT_EQ(EncontraNome(nomes, "Folha", "produto", erro), std::nullopt);
    EXPECT_NE(erro.find("\"Folha\""), std::string::npos) << erro;
    EXPECT_NE(erro.find("\"Cadastro\""), std::string::npos) << erro;
    EXPECT_EQ(EncontraNome(nomes, "", "produto", erro), std::nullopt);
}

TEST(ModoTexto, InstallersStartThroughWineOrDirectly)
{
    using mirelo_download::TServicosConsole;
    EXPECT_EQ(TServicosConsole::LinhaDeComando("/d/setup.exe"),
              (std::vector<std::string>{"wine", "/d/setup.exe"}));
    EXPECT_EQ(TServicosConsole::LinhaDeComando("/d/SETUP.EXE"),
              (std::vector<std::string>{"wine", "/d/SETUP.EXE"}));
    EXPECT_EQ(TServicosConsole::LinhaDeComando("/d/pacote.msi"),
              (std::vector<std::string>{"wine", "msiexec", "/i", "/d/pacote.msi"}));
    EXPECT_EQ(TServicosConsole::LinhaDeComando("/d/instala.sh"),
              (std::vector<std::string>{"/d/instala.sh"}));
}

TEST(ModoTexto, AnExecutableIsStartedDetachedAndAPlainFileIsNot)
{
    TempDir pasta;
    const std::string fifo = pasta / "sinal";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int leitura = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(leitura, 0);
    pasta.Write("instala.sh", "#!/bin/sh\necho iniciado > '" + fifo + "'\n");
    ::chmod((pasta / "instala.sh").c_str(), 0700);
    pasta.Write("dados.txt", "x");

    std::ostringstream saida;
    mirelo_download::TServicosConsole servicos(saida);
    EXPECT_FALSE(servicos.StartProgram(pasta / "dados.txt"));
    EXPECT_FALSE(servicos.StartProgram(pasta / "falta.sh"));
    ASSERT_TRUE(servicos.StartProgram(pasta / "instala.sh"));

    pollfd espera{leitura, POLLIN, 0};
    ASSERT_EQ(::poll(&espera, 1, 10'000), 1);
    char texto[32] = {};
    EXPECT_GT(::read(leitura, texto, sizeof texto - 1), 0);
    EXPECT_STREQ(texto, "iniciado\n");
    ::close(leitura);
}

// Whole runs of the program's headless mode against the test site.
class ModoTextoServidor : public ::testing::Test {
protected:
    ModoTextoServidor() : antes(fs::current_path())
    {
        fs::current_path(trabalho.Path());
        ::setenv("MIRELO_FTP_HOSTS", ("127.0.0.1:" + std::to_string(site.Porta())).c_str(), 1);
        // The Wine prefix of the test: one value installed, so one rule does not apply.
        fs::create_directories(trabalho / "wine");
        trabalho.Write("wine/system.reg", SiteDownloadTeste::kRegistro);
        ::setenv("WINEPREFIX", (trabalho / "wine").c_str(), 1);
    }
    ~ModoTextoServidor() override
    {
        ::unsetenv("MIRELO_FTP_HOSTS");
        ::unsetenv("WINEPREFIX");
        ::setenv("PATH", path.c_str(), 1);
        fs::current_path(antes);
    }

    // Programs are looked up in `pasta` only, for the test's own "wine" or for none at all.
    void SoEstaPasta(const std::string& pasta) { ::setenv("PATH", pasta.c_str(), 1); }

    int Executa(const std::vector<std::string>& argumentos)
    {
        saida.str({});
        erros.str({});
        return ExecutaModoTexto(argumentos, saida, erros, false);
    }

    fs::path antes;
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    SiteDownloadTeste site;
    TempDir trabalho;
    TempDir destino;
    std::ostringstream saida;
    std::ostringstream erros;
};

TEST_F(ModoTextoServidor, ListsProductsInstallationsAndComponents)
{
    trabalho.Write("wine/system.reg", std::string(SiteDownloadTeste::kRegistro) +
                                          "[Software\\\\Orva\\\\Declaracao] 1700000000\n"
                                          "\"Versao\"=\"2.0\"\n");
    ASSERT_EQ(Executa({"--list"}), 0) << erros.str();
    EXPECT_EQ(saida.str(),
              "Declaração Anual (versão 2.0/15)\n"
              "    situação: 2.0,Sistema Atualizado com a última Versão Disponivel.\n"
              "    instalação: Completa\n"
              "        Programa: 68,4 kb, fixo\n"
              "        Ajuda: 4,9 kb, opcional\n"
              "        Tabelas: 2,9 kb, opcional\n"
              "    instalação: Simples\n"
              "        Leitor: 3,9 kb, fixo\n"
              "        Vazio: 0,0 kb, opcional\n"
              "Cadastro (versão 1.0/1)\n"
              "    situação: Sistema não Instalado\n"
              "    instalação: Windows\n"
              "        Cadastro: 1,0 kb, fixo\n");
}

TEST_F(ModoTextoServidor, DownloadsByPrefixSkipsOptionalsAndLeavesTheRulesFile)
{
    const int status = Executa({"--download", "decl", "comp", "--to", destino.Path(), "--skip",
                                "tab"});
    ASSERT_EQ(status, 0) << erros.str() << saida.str();
    const std::string pasta = destino.Path();
    EXPECT_EQ(destino.Read("setup.w03"), SiteDownloadTeste::Conteudo("setup.w03", 10000));
    EXPECT_EQ(destino.Read("ajuda.zip"), SiteDownloadTeste::Conteudo("ajuda.zip", 5000));
    EXPECT_FALSE(fs::exists(destino / "tabelas.dat"));
    EXPECT_EQ(destino.Read("Regras.Ini"), "runtime.dll\r\nruntime.dll\r\nleitor.ttf\r\n");
    EXPECT_EQ(destino.Read("runtime.dll"), SiteDownloadTeste::Conteudo("runtime.dll", 3000));
    EXPECT_TRUE(fs::exists(destino / "TempRegras.Ini"));

    EXPECT_NE(erros.str().find("baixado: setup.exe (39 kb)\n"), std::string::npos) << erros.str();
    EXPECT_NE(erros.str().find("Confirma ? sim"), std::string::npos) << erros.str();
    EXPECT_NE(erros.str().find("use --install"), std::string::npos) << erros.str();
    EXPECT_NE(saida.str().find("Pasta: " + pasta + "\n"), std::string::npos) << saida.str();
    EXPECT_NE(saida.str().find("Instalador: setup.exe (não iniciado)"), std::string::npos)
        << saida.str();

    // Again: everything is current, so only the rules are fetched; the support files are whole
    // in the folder already.
    ASSERT_EQ(Executa({"--download", "Declaração Anual", "Completa", "--to", pasta, "--skip",
                       "Tabelas"}),
              0)
        << erros.str();
    EXPECT_NE(erros.str().find("mantido: setup.exe"), std::string::npos) << erros.str();
    EXPECT_EQ(site.ContaRetr("setup.exe"), 1);
    EXPECT_EQ(site.ContaRetr("runtime.dll"), 1);
}

TEST_F(ModoTextoServidor, WithoutToTheCurrentFolderIsUsed)
{
    ASSERT_EQ(Executa({"--download", "Declaração Anual", "Simples"}), 0) << erros.str();
    EXPECT_EQ(trabalho.Read("leitor.zip"), SiteDownloadTeste::Conteudo("leitor.zip", 4000));
    EXPECT_EQ(trabalho.Read("Regras.Ini"), "");
    EXPECT_EQ(saida.str().find("Instalador"), std::string::npos) << saida.str();
}

// --install starts the installer through wine in the download folder, wherever the program was
// started from.
TEST_F(ModoTextoServidor, InstallStartsTheInstallerThroughWineInTheDownloadFolder)
{
    TempDir programas;
    const std::string fifo = programas / "sinal";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int leitura = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(leitura, 0);
    programas.Write("wine", "#!/bin/sh\necho \"$(pwd -P)|$*\" > '" + fifo + "'\n");
    ::chmod((programas / "wine").c_str(), 0700);
    SoEstaPasta(programas.Path());

    ASSERT_EQ(Executa({"--download", "Cadastro", "Windows", "--to", destino.Path(), "--install"}),
              0)
        << erros.str();
    EXPECT_NE(saida.str().find("Instalador: cadastro.exe (iniciado)"), std::string::npos)
        << saida.str();
    pollfd espera{leitura, POLLIN, 0};
    ASSERT_EQ(::poll(&espera, 1, 10'000), 1);
    char texto[4096] = {};
    EXPECT_GT(::read(leitura, texto, sizeof texto - 1), 0);
    ::close(leitura);
    const std::string pasta = fs::canonical(destino.Path()).string();
    EXPECT_EQ(std::string(texto), pasta + "|" + destino.Path() + "cadastro.exe\n");
}

// Without wine the installer cannot start: the run says so, and where the files are, and the
// exit status tells a script that --install did not happen.
TEST_F(ModoTextoServidor, InstallWithoutWineSaysSoAndExitsWithOne)
{
    TempDir semWine;
    SoEstaPasta(semWine.Path());
    EXPECT_EQ(Executa({"--download", "Cadastro", "Windows", "--to", destino.Path(), "--install"}),
              1);
    EXPECT_EQ(destino.Read("cadastro.exe"), SiteDownloadTeste::Conteudo("cadastro.exe", 1000));
    EXPECT_NE(erros.str().find("O Wine não foi encontrado"), std::string::npos) << erros.str();
    EXPECT_NE(erros.str().find("Os arquivos baixados estão na pasta " + destino.Path() + "."),
              std::string::npos)
        << erros.str();
    EXPECT_NE(saida.str().find("Instalador: cadastro.exe (não iniciado)"), std::string::npos)
        << saida.str();
}

TEST_F(ModoTextoServidor, FailuresExitWithOneAndNameWhatFailed)
{
    EXPECT_EQ(Executa({"--download", "Folha", "Completa"}), 1);
    EXPECT_NE(erros.str().find("\"Folha\""), std::string::npos) << erros.str();
    EXPECT_EQ(Executa({"--download", "Decl", "Parcial"}), 1);
    EXPECT_NE(erros.str().find("\"Parcial\""), std::string::npos) << erros.str();
    EXPECT_EQ(Executa({"--download", "Decl", "Completa", "--skip", "Programa"}), 1);
    EXPECT_NE(erros.str().find("\"Programa\" é fixo"), std::string::npos) << erros.str();
    EXPECT_EQ(Executa({"--dowload"}), 1);
    EXPECT_NE(erros.str().find("Uso:"), std::string::npos);

    fs::remove(site.Raiz() / "pub/mirelo/dec/arquivos/ajuda.zip");
    EXPECT_EQ(Executa({"--download", "Decl", "Completa", "--to", destino.Path()}), 1);
    EXPECT_NE(erros.str().find("falhou:  ajuda.zip"), std::string::npos) << erros.str();
    EXPECT_NE(erros.str().find("não foram baixados: ajuda.zip"), std::string::npos) << erros.str();

    site.Para();
    EXPECT_EQ(Executa({"--list"}), 1);
    EXPECT_NE(erros.str().find("127.0.0.1"), std::string::npos) << erros.str();
}

// Everything in one log-on, each installation in a folder of its own named after the catalogue,
// whose names cannot lead out of the folder the user chose.
TEST_F(ModoTextoServidor, DownloadAllFetchesEveryInstallationInOneSessionWithinTheFolder)
{
    std::string catalogo = site.Raiz().Read("pub/mirelo/formularios.cfg");
    for (auto [de, para] : {std::pair<std::string, std::string>{"nome=Cadastro", "nome=../Cadastro"},
                            {"instalacoes=Windows|", "instalacoes=..|"}})
        catalogo.replace(catalogo.find(de), de.size(), para);
    site.Escreve("pub/mirelo/formularios.cfg", catalogo);
    ASSERT_EQ(Executa({"--download-all", "--to", destino / "tudo"}), 0) << erros.str() << saida.str();
    EXPECT_EQ(destino.Read("tudo/Declaração Anual/Completa/setup.w03"),
              SiteDownloadTeste::Conteudo("setup.w03", 10000));
    EXPECT_TRUE(fs::exists(destino / "tudo/Declaração Anual/Completa/Regras.Ini"));
    EXPECT_EQ(destino.Read("tudo/Declaração Anual/Simples/leitor.zip"),
              SiteDownloadTeste::Conteudo("leitor.zip", 4000));
    EXPECT_EQ(destino.Read("tudo/.._Cadastro/_../cadastro.exe"), SiteDownloadTeste::Conteudo("cadastro.exe", 1000));
    EXPECT_FALSE(fs::exists(destino / "Cadastro"));
    EXPECT_NE(saida.str().find("== ../Cadastro / ..\n"), std::string::npos) << saida.str();
    const std::vector<std::string> comandos = site.Comandos();
    EXPECT_EQ(std::count_if(comandos.begin(), comandos.end(),
                            [](const std::string& c) { return c.rfind("USER", 0) == 0; }),
              1);

    EXPECT_EQ(Executa({"--download-all", "Decl"}), 1);
    EXPECT_NE(erros.str().find("não aceita nomes"), std::string::npos) << erros.str();
}

}  // namespace

// The headless mode keeps the window's TLS policy: a server without TLS is used, and said to
// be unencrypted, unless --require-tls refuses it.
TEST_F(ModoTextoServidor, RequireTlsRefusesAServerWithoutTlsThatIsOtherwiseUsedAndNamedUnencrypted)
{
    EXPECT_NE(Executa({"--download", "decl", "comp", "--to", destino.Path(), "--require-tls"}), 0);
    EXPECT_NE(erros.str().find("não oferece conexão segura (TLS), que foi exigida"), std::string::npos)
        << erros.str();
    EXPECT_FALSE(fs::exists(destino / "setup.w03"));
    ASSERT_EQ(Executa({"--download", "decl", "comp", "--to", destino.Path()}), 0) << erros.str();
    EXPECT_NE(erros.str().find("a conexão com o servidor 127.0.0.1:" + std::to_string(site.Porta()) +
                               " não é criptografada."),
              std::string::npos)
        << erros.str();
}
