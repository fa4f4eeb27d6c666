// The session against a real FTP server on loopback, driven without widgets on the poll() loop.
#include "download/SessaoDownloader.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "FtpServers.h"
#include "RecordingUserServices.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "download/MemoriaTls.h"
#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"
#include "platform/Registry.h"

namespace {

// The options of a server that serves `raiz` to the anonymous account.
PyFtpdServer::Options Servindo(const std::string& raiz)
{
    PyFtpdServer::Options opcoes;
    opcoes.Root = raiz;
    return opcoes;
}


namespace fs = std::filesystem;

std::string Demo()
{
    return TestSupportDir() + "/../../demo/site";
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
    PyFtpdServer servidor(Servindo(Demo()));
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

// A wait that only watched for the ready state would spin for ever after the server went away
// between requests; here it returns at once, and the next fetch tries to log on again and says
// that the server cannot be reached.
TEST_F(Sessao, AConnectionClosedWhileIdleEndsNoWaitAndIsReported)
{
    auto servidor = std::make_unique<PyFtpdServer>(Servindo(Demo()));
    auto sessao = Cria(servidor->Port());
    ASSERT_TRUE(sessao->Conectar()) << servicos.Texts();
    servidor.reset();
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sessao->IsControlOpen() && std::chrono::steady_clock::now() < limite)
        loop.WaitAndDispatch(limite);
    ASSERT_FALSE(sessao->IsControlOpen());

    EXPECT_TRUE(sessao->FtpPronto());
    EXPECT_FALSE(sessao->PegaDownloadCfg(1, 0));
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_EQ(servicos.Boxes[0].Text, "Não foi possível conectar ao FTP:\r127.0.0.1");
    EXPECT_EQ(sessao->Formularios.Count(), 2u);
}

// Quitting while a request waits on a slow server ends the wait at once, the request aborted.
TEST_F(Sessao, TheApplicationEndingEndsTheWait)
{
    TempDir raiz;
    PyFtpdServer::Options opcoes;
    opcoes.Root = raiz.Path();
    opcoes.ReplyDelaySeconds = 30;
    PyFtpdServer lento(opcoes);
    auto sessao = Cria(lento.Port());
    // The first reply after the greeting is held back: end the program meanwhile.
    sessao->OnFechaConexao = [&] { loop.Post([&] { sessao->Encerra(); }); };
    EXPECT_FALSE(sessao->Conectar());
    // Ended before the held-back reply to USER could arrive.
    EXPECT_NE(sessao->ftpDownloader().ReplyCode(), 331);
    EXPECT_FALSE(sessao->IsControlOpen());
    EXPECT_EQ(sessao->ftpDownloader().EngineState(), fesReady);
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    EXPECT_FALSE(sessao->FtpPronto());
}

}  // namespace

// --- TLS: used when the server offers it, remembered, and never dropped silently ------------

namespace {

// The demo site in a folder of the test's own: vsftpd takes over the folder it serves.
std::string CopiaDoDemo(const TempDir& pasta)
{
    fs::copy(Demo(), pasta.Path(), fs::copy_options::recursive);
    return pasta.Path();
}

bool Lembrado(std::uint16_t porta)
{
    return memoria_tls::FalouTls(memoria_tls::kArquivo, "127.0.0.1:" + std::to_string(porta));
}

}  // namespace

TEST_F(Sessao, TlsIsUsedWhenTheServerOffersItAndTheServerIsRemembered)
{
    std::string motivo;
    if (!VsftpdServer::CanRun(motivo))
        GTEST_SKIP() << motivo;
    TempDir raiz;
    const CertificateFiles bom = TestCertificateFiles(TestCertificate::Good);
    VsftpdServer servidor(CopiaDoDemo(raiz), VsftpdServer::Tls{bom.Cert, bom.Key});
    auto sessao = Cria(servidor.Port());
    sessao->ArquivoCa = TestAuthorityFile();
    ASSERT_TRUE(sessao->Conectar()) << servicos.Texts();
    EXPECT_EQ(sessao->Formularios.Count(), 2u);
    EXPECT_EQ(sessao->TextoCriptografia(), "Conexão criptografada (TLSv1.3)");
    EXPECT_TRUE(Lembrado(servidor.Port()));
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
}

TEST_F(Sessao, AServerWithoutTlsIsUsedInTheClearAndTheStatusSaysSo)
{
    PyFtpdServer servidor(Servindo(Demo()));
    auto sessao = Cria(servidor.Port());
    ASSERT_TRUE(sessao->Conectar()) << servicos.Texts();
    EXPECT_EQ(sessao->TextoCriptografia(), "Conexão não criptografada");
    EXPECT_FALSE(Lembrado(servidor.Port()));
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
}

TEST_F(Sessao, AServerThatSpokeTlsBeforeAndRefusesItNowIsNotUsed)
{
    PyFtpdServer servidor(Servindo(Demo()));
    memoria_tls::LembraTls(memoria_tls::kArquivo, "127.0.0.1:" + std::to_string(servidor.Port()));
    auto sessao = Cria(servidor.Port());
    EXPECT_FALSE(sessao->Conectar());
    EXPECT_FALSE(sessao->IsControlOpen());
    EXPECT_NE(servicos.Texts().find("já usou conexão segura (TLS) e agora a recusa"), std::string::npos)
        << servicos.Texts();
    EXPECT_FALSE(fs::exists("formularios.cfg"));
}

TEST_F(Sessao, RequiredTlsRefusesAServerWithoutIt)
{
    PyFtpdServer servidor(Servindo(Demo()));
    auto sessao = Cria(servidor.Port());
    sessao->ExigeTls = true;
    EXPECT_FALSE(sessao->Conectar());
    EXPECT_NE(servicos.Texts().find("não oferece conexão segura (TLS), que foi exigida"), std::string::npos)
        << servicos.Texts();
    EXPECT_FALSE(fs::exists("formularios.cfg"));
}

TEST_F(Sessao, CertificatesThatFailTheChecksAreNotUsedAndTheUserIsToldWhy)
{
    struct Caso {
        TestCertificate Certificado;
        int Erro;
    };
    for (Caso caso : {Caso{TestCertificate::WrongHost, kTlsErrHostName}, Caso{TestCertificate::Expired, kTlsErrExpired},
                      Caso{TestCertificate::UnknownAuthority, kTlsErrUntrusted}}) {
        SCOPED_TRACE(caso.Erro);
        servicos.Boxes.clear();
        PyFtpdServer::Options opcoes = Servindo(Demo());
        const CertificateFiles arquivos = TestCertificateFiles(caso.Certificado);
        opcoes.TlsCertFile = arquivos.Cert;
        opcoes.TlsKeyFile = arquivos.Key;
        PyFtpdServer servidor(opcoes);
        auto sessao = Cria(servidor.Port());
        sessao->ArquivoCa = TestAuthorityFile();
        EXPECT_FALSE(sessao->Conectar());
        EXPECT_NE(servicos.Texts().find(TlsErrorUserText(caso.Erro)), std::string::npos) << servicos.Texts();
        EXPECT_NE(servicos.Texts().find("O servidor não será usado."), std::string::npos) << servicos.Texts();
        EXPECT_FALSE(Lembrado(servidor.Port()));
        EXPECT_FALSE(fs::exists("formularios.cfg"));
    }
}
