// The download run in the desktop program's windows, offscreen: the folder dialog, one progress
// dialog per file once the run has lasted its delay and Cancelar clicked while a file is on its
// way, on the Qt event loop against pyftpdlib.
#include "download/ExecucaoDownload.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "RecordingUserServices.h"
#include "SiteDownloadTeste.h"
#include "TempDir.h"
#include "download/PastaPadrao.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/JanelasQt.h"
#include "gui/uMireloDownloaderAsyncBaixando.h"
#include "gui/uMireloDownloaderAsyncPastaDownload.h"
#include "platform/Registry.h"
#include "qt/QtEventLoop.h"

namespace {

namespace fs = std::filesystem;
using mirelo_download::FimExecucao;
using mirelo_download::ResultadoExecucao;

template <class Janela>
Janela* Visivel()
{
    for (QWidget* janela : QApplication::topLevelWidgets()) {
        if (auto* procurada = dynamic_cast<Janela*>(janela); procurada && janela->isVisible())
            return procurada;
    }
    return nullptr;
}

class ExecucaoDownloadQt : public ::testing::Test {
protected:
    ExecucaoDownloadQt() : antes(fs::current_path())
    {
        QtTestApp();
        fs::current_path(trabalho.Path());
        servicos.Folder = destino.Path().substr(0, destino.Path().size() - 1);
        // Plays the user at the folder dialog: "Alterar" then "Ok".
        usuario.setInterval(10);
        QObject::connect(&usuario, &QTimer::timeout, [this] {
            if (auto* pasta = Visivel<TfMireloDownloaderPastaDownload>()) {
                PastaMostrada = pasta->edtPastaAtual->text().toStdString();
                pasta->Button2->click();
                pasta->Button1->click();
            }
        });
        usuario.start();
        qApp->installEventFilter(&fechamentos);
    }
    ~ExecucaoDownloadQt() override
    {
        qApp->removeEventFilter(&fechamentos);
        fs::current_path(antes);
    }

    // Notes each progress dialog as it goes, with the file it named: a dialog closes as soon as
    // its file has ended, too soon for any polling to be sure to see it.
    class Fechamentos : public QObject {
    public:
        explicit Fechamentos(std::vector<std::string>& dialogos) : Dialogos(dialogos) {}
        bool eventFilter(QObject* alvo, QEvent* evento) override
        {
            auto* baixando = dynamic_cast<TfrmMireloDownloaderAsyncBaixando*>(alvo);
            if (baixando && evento->type() == QEvent::Hide)
                Dialogos.push_back(baixando->lblSalvando->text().toStdString());
            return false;
        }

    private:
        std::vector<std::string>& Dialogos;
    };

    // `atraso`: how long the run fetches before its progress dialogs appear; none by default, so
    // that every file shows its dialog.
    void Seleciona(std::size_t form, std::size_t posicao,
                   std::chrono::milliseconds atraso = std::chrono::milliseconds(0))
    {
        sessao = std::make_unique<TSessaoDownloader>(
            loop, servicos, registro,
            std::vector<TServidorFtp>{{"127.0.0.1", std::to_string(site.Porta())}}, 0);
        sessao->ftpDownloader().SetTimeout(30);
        ASSERT_TRUE(sessao->Conectar()) << servicos.Texts();
        ASSERT_TRUE(sessao->PegaDownloadCfg(form, posicao)) << servicos.Texts();
        sessao->LeDownloadCfg();
        servicos.Boxes.clear();
        janelas = std::make_unique<mirelo_download::TJanelasDownloadQt>(*sessao, nullptr, atraso);
        execucao = std::make_unique<mirelo_download::TExecucaoDownload>(*sessao, *janelas);
    }

    fs::path antes;
    SiteDownloadTeste site;
    TempDir trabalho;
    TempDir destino;
    platform::QtEventLoop loop;
    RecordingUserServices servicos;
    platform::RegistryHive registro;
    QTimer usuario;
    std::string PastaMostrada;
    std::vector<std::string> Dialogos;
    Fechamentos fechamentos{Dialogos};
    std::unique_ptr<TSessaoDownloader> sessao;
    std::unique_ptr<mirelo_download::TJanelasDownloadQt> janelas;
    std::unique_ptr<mirelo_download::TExecucaoDownload> execucao;
};

TEST_F(ExecucaoDownloadQt, FolderDialogAndOneProgressDialogPerFile)
{
    Seleciona(1, 1);
    const ResultadoExecucao resultado = execucao->btnBaixarClick();
    ASSERT_EQ(resultado.Fim, FimExecucao::Concluida) << servicos.Texts();
    // The dialog proposed the default folder; "Alterar" chose the test's.
    EXPECT_EQ(PastaMostrada, mirelo_download::PastaDownloadPadrao());
    EXPECT_EQ(sessao->PastaDestino, destino.Path());
    EXPECT_EQ(Dialogos, (std::vector<std::string>{"Salvando: leitor.zip", "Salvando: vazio.txt"}));
    EXPECT_EQ(Visivel<TfrmMireloDownloaderAsyncBaixando>(), nullptr);
    EXPECT_EQ(destino.Read("leitor.zip"), SiteDownloadTeste::Conteudo("leitor.zip", 4000));
    EXPECT_EQ(destino.Read("vazio.txt"), "");
    ASSERT_EQ(servicos.Boxes.size(), 2u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[1].Text, "Os arquivos foram baixados com sucesso.");
}

// A run over before its delay shows no dialog at all and still fetches every file; in a run that
// outlasts it, the file on its way when the delay ends shows its dialog then, named, and the next
// file at once. (The server answers slowly enough that the first file starts before the delay
// ends and lasts beyond it.)
TEST_F(ExecucaoDownloadQt, ProgressDialogsAppearOnlyOnceTheRunHasLastedItsDelay)
{
    Seleciona(1, 1, std::chrono::minutes(1));
    ASSERT_EQ(execucao->btnBaixarClick().Fim, FimExecucao::Concluida) << servicos.Texts();
    EXPECT_TRUE(Dialogos.empty());
    EXPECT_EQ(destino.Read("leitor.zip"), SiteDownloadTeste::Conteudo("leitor.zip", 4000));
    EXPECT_EQ(destino.Read("vazio.txt"), "");

    site.Serve(0.15);
    fs::remove(destino / "leitor.zip");
    fs::remove(destino / "vazio.txt");
    Seleciona(1, 1, std::chrono::milliseconds(600));
    ASSERT_EQ(execucao->btnBaixarClick().Fim, FimExecucao::Concluida) << servicos.Texts();
    EXPECT_EQ(Dialogos, (std::vector<std::string>{"Salvando: leitor.zip", "Salvando: vazio.txt"}));
    EXPECT_EQ(destino.Read("leitor.zip"), SiteDownloadTeste::Conteudo("leitor.zip", 4000));
}

TEST_F(ExecucaoDownloadQt, CancelarClickedDuringAFileStopsTheRun)
{
    Seleciona(1, 0);
    bool clicado = false;
    sessao->OnProgresso = [&] {
        auto* dialogo = Visivel<TfrmMireloDownloaderAsyncBaixando>();
        if (!clicado && dialogo && dialogo->lblSalvando->text() == "Salvando: ajuda.zip") {
            clicado = true;
            dialogo->Cancelar->click();
        }
    };
    const ResultadoExecucao resultado = execucao->btnBaixarClick();
    EXPECT_TRUE(clicado);
    EXPECT_EQ(resultado.Fim, FimExecucao::Cancelada) << servicos.Texts();
    // What arrived of the file stays under its temporary name only.
    EXPECT_FALSE(fs::exists(destino / "ajuda.zip"));
    EXPECT_FALSE(fs::exists(destino / "tabelas.dat"));
    EXPECT_FALSE(fs::exists(destino / "Regras.Ini"));
    EXPECT_TRUE(fs::exists(destino / "TempRegras.Ini"));
    // The confirmation, then the word that the download was interrupted.
    ASSERT_EQ(servicos.Boxes.size(), 2u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[1].Text.rfind("O download foi interrompido.", 0), 0u);
    EXPECT_TRUE(servicos.Started.empty());
    EXPECT_EQ(Visivel<TfrmMireloDownloaderAsyncBaixando>(), nullptr);

    // The transfer was ended with its connection; the next click logs on again and goes to the
    // end (where only the support file that this empty registry asks for and the site lacks is
    // missing).
    sessao->OnProgresso = nullptr;
    const ResultadoExecucao segunda = execucao->btnBaixarClick();
    EXPECT_EQ(segunda.Fim, FimExecucao::ComFalhas) << servicos.Texts();
    ASSERT_EQ(segunda.Falhas.size(), 1u) << servicos.Texts();
    EXPECT_EQ(segunda.Falhas[0].rfind("naoprecisa.dll: ", 0), 0u);
    EXPECT_EQ(destino.Read("ajuda.zip"), SiteDownloadTeste::Conteudo("ajuda.zip", 5000));
}

}  // namespace
