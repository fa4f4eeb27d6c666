#include "gui/uMireloDownloaderAsyncConexao.h"

#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "RecordingUserServices.h"

namespace {

constexpr int kTicksPorVolta = 101;

class Conexao : public ::testing::Test {
protected:
    Conexao() { QtTestApp(); }

    // Runs whole sweeps of the bar, one tick at a time.
    void Voltas(TfMireloDownloaderAsyncConexao& dialogo, int voltas)
    {
        for (int i = 0; i < voltas * kTicksPorVolta; ++i)
            dialogo.Timer1Timer();
    }

    RecordingUserServices servicos;
};

TEST_F(Conexao, NamesTheServerOrTheProxiedTarget)
{
    EXPECT_EQ(TfMireloDownloaderAsyncConexao::NomeDoServidor("N", "ftp2.mirelo.org.br",
                                                             "anonymous"),
              "ftp2.mirelo.org.br");
    EXPECT_EQ(TfMireloDownloaderAsyncConexao::NomeDoServidor(
                  "S", "proxy.local", "anonymous@ftp1.mirelo.org.br"),
              "ftp1.mirelo.org.br");
    // Only exactly "S" switches the proxy on.
    EXPECT_EQ(TfMireloDownloaderAsyncConexao::NomeDoServidor(
                  "s", "proxy.local", "anonymous@ftp1.mirelo.org.br"),
              "proxy.local");
    // A short or odd user name cannot run past its end.
    EXPECT_EQ(TfMireloDownloaderAsyncConexao::NomeDoServidor("S", "proxy.local", "anon"), "");
    EXPECT_EQ(TfMireloDownloaderAsyncConexao::NomeDoServidor(
                  "S", "p", "anonymous@" + std::string(80, 'x')),
              std::string(50, 'x'));
}

TEST_F(Conexao, ShowsTheNameAndClosesWhenTheSessionConnects)
{
    TfMireloDownloaderAsyncConexao dialogo(servicos, QIcon());
    int cancelamentos = 0;
    dialogo.OnCancelar = [&] { ++cancelamentos; };
    QString mostrado;
    bool animava = false;
    QTimer::singleShot(0, &dialogo, [&] {
        mostrado = dialogo.lblFTP->text();
        animava = dialogo.Timer1->isActive() && dialogo.isVisible();
        dialogo.Fecha();
    });
    dialogo.Mostra("S", "proxy.local", "anonymous@ftp1.mirelo.org.br");
    EXPECT_EQ(mostrado, QStringLiteral("ftp1.mirelo.org.br"));
    EXPECT_TRUE(animava);
    EXPECT_FALSE(dialogo.isVisible());
    EXPECT_FALSE(dialogo.Timer1->isActive());
    EXPECT_EQ(cancelamentos, 0);
    EXPECT_EQ(dialogo.windowTitle(), QStringLiteral("Conectando..."));
    EXPECT_EQ(dialogo.btnCancelar->text(), QStringLiteral("    Cancelar   "));
}

TEST_F(Conexao, CancelarAndTheCloseBoxBothGiveUp)
{
    TfMireloDownloaderAsyncConexao dialogo(servicos, QIcon());
    int cancelamentos = 0;
    dialogo.OnCancelar = [&] { ++cancelamentos; };

    QTimer::singleShot(0, &dialogo, [&] { dialogo.btnCancelar->click(); });
    dialogo.Mostra("N", "127.0.0.1", "anonymous");
    EXPECT_EQ(cancelamentos, 1);
    EXPECT_EQ(dialogo.result(), QDialog::Rejected);

    QTimer::singleShot(0, &dialogo, [&] { dialogo.close(); });
    dialogo.Mostra("N", "127.0.0.1", "anonymous");
    EXPECT_EQ(cancelamentos, 2);
    EXPECT_FALSE(dialogo.isVisible());
    EXPECT_FALSE(dialogo.Timer1->isActive());
}

TEST_F(Conexao, AsksForPatienceAfterThreeHundredSweepsAndYesStopsTheBar)
{
    TfMireloDownloaderAsyncConexao dialogo(servicos, QIcon());
    dialogo.show();
    dialogo.Timer1->start();
    Voltas(dialogo, 300);
    EXPECT_TRUE(servicos.Boxes.empty());
    EXPECT_EQ(dialogo.Voltas(), 300);

    servicos.Answers = {true};
    Voltas(dialogo, 1);
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    const auto& pergunta = servicos.Boxes[0];
    EXPECT_TRUE(pergunta.Question);
    EXPECT_EQ(pergunta.Caption, "Atenção");
    EXPECT_EQ(pergunta.BoxIcon, platform::UserServices::Icon::Error);
    EXPECT_EQ(pergunta.Text, TfMireloDownloaderAsyncConexao::TextoPergunta(""));
    EXPECT_FALSE(dialogo.Timer1->isActive());
    dialogo.hide();
}

TEST_F(Conexao, NoAsksAgainAfterEverySweepAndTheCountIsNeverReset)
{
    TfMireloDownloaderAsyncConexao dialogo(servicos, QIcon());
    dialogo.show();
    dialogo.Timer1->start();
    servicos.DefaultAnswer = false;
    Voltas(dialogo, 301);
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_TRUE(dialogo.Timer1->isActive());
    Voltas(dialogo, 1);
    EXPECT_EQ(servicos.Boxes.size(), 2u);
    dialogo.hide();

    // A later attempt in the same run asks after its first sweep.
    QTimer::singleShot(0, &dialogo, [&] {
        Voltas(dialogo, 1);
        dialogo.Fecha();
    });
    dialogo.Mostra("N", "ftp1.mirelo.org.br", "anonymous");
    ASSERT_EQ(servicos.Boxes.size(), 3u);
    EXPECT_EQ(servicos.Boxes[2].Text,
              "Não foi possível a conexão com o FTP: ftp1.mirelo.org.br\r"
              "Tente fazer a configuração de Proxy, ou\rdeseja conectar com o Orva ?");
}

}  // namespace
