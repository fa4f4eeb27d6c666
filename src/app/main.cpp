// The program entry: the application, the session, the main window and its dialogs in their
// order, then the event loop; with arguments, the headless mode instead. MIRELO_FTP_HOSTS may
// name the servers, MIRELO_FTP_TRACE shows the FTP conversation on standard error, and
// MIRELO_SCREENSHOT names a PNG file into which the window is captured once a product's
// components are shown (for the README's picture), after which the program ends.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QTimer>
#include <QTreeWidget>

#include "app/HeadlessMode.h"
#include "app/PastaDoPrograma.h"
#include "download/ExecucaoDownload.h"
#include "download/Servidores.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/JanelasQt.h"
#include "gui/uMireloDownloaderAsyncConexao.h"
#include "gui/uMireloDownloaderAsyncPrincipal.h"
#include "gui/uMireloDownloaderAsyncProxy.h"
#include "platform/Registry.h"
#include "qt/QtEventLoop.h"
#include "qt/QtPortugues.h"
#include "qt/QtUserServices.h"

namespace {

// Shows the first product's first installation with its components, with one optional
// component unmarked so both marks are seen, then saves the window's picture and ends.
void Captura(TfrmMireloDownloaderAsyncPrincipal& janela, const QString& arquivo)
{
    QTreeWidgetItem* topo = janela.NoTopo();
    if (topo->childCount() > 0 && topo->child(0)->childCount() > 0) {
        QTreeWidgetItem* instalacao = topo->child(0)->child(0);
        janela.treParent->setCurrentItem(instalacao);
        for (int i = 0; i < instalacao->childCount(); ++i) {
            QTreeWidgetItem* componente = instalacao->child(i);
            if (TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(componente) == 1 && i > 0) {
                janela.treParent->setCurrentItem(componente);
                janela.treParentClick();
                break;
            }
        }
        if (instalacao->childCount() > 0)
            janela.treParent->setCurrentItem(instalacao->child(0));
    }
    // Let the layout settle before the picture is taken.
    QTimer::singleShot(300, &janela, [&janela, arquivo] {
        const bool salvo = janela.grab().save(arquivo, "PNG");
        QCoreApplication::exit(salvo ? 0 : 1);
    });
}

}  // namespace

int main(int argc, char** argv)
{
    // The program's own options run it without a window; any other arguments are Qt's (the
    // desktop's session restore starts the program with "-session ...").
    if (WantsHeadless(argc, argv))
        return RunHeadless(argc, argv);
    QApplication app(argc, argv);
    // Names the user's data folder (~/.local/share/mirelo-downloader) and ties the windows to
    // the launcher.
    QCoreApplication::setApplicationName(QStringLiteral("mirelo-downloader"));
    QGuiApplication::setDesktopFileName(QStringLiteral("br.org.orva.MireloDownloader"));
    mirelo_qt::UsaPortuguesDoBrasil(app);
    mirelo_qt::QtUserServices servicos;

    QString pasta = mirelo_app::EntraNaPastaDoPrograma();
    if (pasta.isEmpty())
        pasta = QDir::currentPath();
    std::string aviso;
    const std::unique_ptr<QLockFile> trava = mirelo_app::TravaPasta(pasta, aviso);
    if (!trava) {
        servicos.ShowMessage("Atenção.", aviso, platform::UserServices::Icon::Error);
        return 1;
    }

    platform::QtEventLoop loop;
    platform::WineRegistry registro;

    TSessaoDownloader sessao(loop, servicos, registro, ServidoresConfigurados());
    TfrmMireloDownloaderAsyncPrincipal janela(sessao);
    // The download run's windows stand where the download-folder dialog is created.
    mirelo_download::TJanelasDownloadQt janelasDownload(sessao, &janela);
    mirelo_download::TExecucaoDownload execucao(sessao, janelasDownload);
    janela.OnBaixar = [&execucao] { execucao.btnBaixarClick(); };
    TfMireloDownloaderAsyncConexao conexao(servicos,
                                           TfrmMireloDownloaderAsyncPrincipal::ImagemBarra(1),
                                           &janela);
    TfMireloDownloaderAsyncProxy proxy(servicos, "proxy.ini", &janela);
    janela.SetConexao(&conexao);
    janela.SetDialogoProxy(&proxy);

    // A developer's view of the conversation with the server.
    if (std::getenv("MIRELO_FTP_TRACE") != nullptr)
        sessao.ftpDownloader().OnDisplay = [](TObject*, std::string& texto) {
            std::fprintf(stderr, "%s\n", texto.c_str());
        };
    if (const char* captura = std::getenv("MIRELO_SCREENSHOT"); captura != nullptr) {
        const QString arquivo = QString::fromLocal8Bit(captura);
        janela.OnMostrado = [&janela, arquivo] { Captura(janela, arquivo); };
    }
    janela.show();
    return app.exec();
}
