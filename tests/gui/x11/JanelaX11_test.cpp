// The desktop program as a user meets it: the window under a real X server with a window manager
// (started by sessao-x11), the real message boxes and dialogs, and real input events sent through
// the X server with xdotool. It marks and unmarks components with the keyboard and the mouse,
// starts the download with Alt+I, answers the questions and checks the files against the sample
// site served by pyftpdlib.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "FtpServers.h"
#include "QtTestApp.h"
#include "TempDir.h"
#include "download/ExecucaoDownload.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/JanelasQt.h"
#include "gui/uMireloDownloaderAsyncConexao.h"
#include "gui/uMireloDownloaderAsyncMsg.h"
#include "gui/uMireloDownloaderAsyncPastaDownload.h"
#include "gui/uMireloDownloaderAsyncPrincipal.h"
#include "gui/uMireloDownloaderAsyncProxy.h"
#include "platform/Registry.h"
#include "qt/QtEventLoop.h"
#include "qt/QtPortugues.h"
#include "qt/QtUserServices.h"

namespace {

namespace fs = std::filesystem;
using Principal = TfrmMireloDownloaderAsyncPrincipal;

// Runs xdotool with `argumentos`; the events it sends arrive through the X server.
void Xdotool(const QStringList& argumentos)
{
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), argumentos), 0) << argumentos.join(' ').toStdString();
}

void Tecla(const QString& tecla)
{
    Xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), tecla});
}

// A left click on the middle of a tree node, where the user sees it.
void Clica(QTreeWidget* arvore, QTreeWidgetItem* node)
{
    arvore->scrollToItem(node);
    const QPoint ponto =
        arvore->viewport()->mapToGlobal(arvore->visualItemRect(node).center());
    Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(ponto.x()),
             QString::number(ponto.y()), QStringLiteral("click"), QStringLiteral("1")});
}

class JanelaX11 : public ::testing::Test {
protected:
    JanelaX11() : antes(fs::current_path())
    {
        // The user's folders: the download folder the dialog proposes lies in this home.
        ::setenv("HOME", casa.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (casa / ".config").c_str(), 1);
        fs::create_directories(casa / "Downloads");
        fs::current_path(trabalho.Path());
    }
    ~JanelaX11() override { fs::current_path(antes); }

    fs::path antes;
    TempDir casa;
    TempDir trabalho;
};

TEST_F(JanelaX11, AWholeDownloadWithTheKeyboardAndTheMouse)
{
    if (qEnvironmentVariable("QT_QPA_PLATFORM") != QLatin1String("xcb"))
        GTEST_SKIP() << "needs the X session that sessao-x11 starts";
    QApplication& app = QtTestApp();
    mirelo_qt::UsaPortuguesDoBrasil(app);
    PyFtpdServer::Options opcoes;
    opcoes.Root = TestSupportDir() + "/../../demo/site";
    PyFtpdServer servidor(opcoes);

    platform::QtEventLoop loop;
    mirelo_qt::QtUserServices servicos;
    platform::WineRegistry registro(trabalho / "system.reg");
    TSessaoDownloader sessao(loop, servicos, registro,
                             {{"127.0.0.1", std::to_string(servidor.Port())}}, 0);
    sessao.ftpDownloader().SetTimeout(30);
    Principal janela(sessao);
    mirelo_download::TJanelasDownloadQt janelasDownload(sessao, &janela);
    mirelo_download::TExecucaoDownload execucao(sessao, janelasDownload);
    bool terminou = false;
    janela.OnBaixar = [&] {
        execucao.btnBaixarClick();
        terminou = true;
    };
    TfMireloDownloaderAsyncConexao conexao(servicos, Principal::ImagemBarra(1), &janela);
    TfMireloDownloaderAsyncProxy proxy(servicos, "proxy.ini", &janela);
    janela.SetConexao(&conexao);
    janela.SetDialogoProxy(&proxy);

    // The questions are answered as a user would, with keys, as each one comes up: Yes (the
    // default button) to the confirmation, Ok to the proposed folder, No to starting the
    // installer, which would need Wine.
    std::vector<QString> perguntas;
    bool sair = false;
    QTimer respostas;
    QObject::connect(&respostas, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isActiveWindow() || modal->property("respondida").toBool())
            return;
        modal->setProperty("respondida", true);
        if (auto* caixa = qobject_cast<QMessageBox*>(modal)) {
            perguntas.push_back(caixa->text());
            const bool confirma = caixa->text().contains(QStringLiteral("Confirma ?")) ||
                                  (sair && caixa->text().contains(QStringLiteral("Deseja sair ?")));
            Tecla(confirma || caixa->button(QMessageBox::No) == nullptr ? QStringLiteral("Return")
                                                                         : QStringLiteral("Escape"));
        } else if (dynamic_cast<TfMireloDownloaderPastaDownload*>(modal) != nullptr) {
            perguntas.push_back(modal->windowTitle());
            Tecla(QStringLiteral("Return"));
        }
    });
    respostas.start(100);

    janela.show();
    janela.FormShow();
    ASSERT_GT(janela.NoTopo()->childCount(), 0);
    if (janela.frmMsg != nullptr)
        janela.frmMsg->close();
    Xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"),
             QString::number(janela.winId())});
    QTRY_VERIFY_WITH_TIMEOUT(janela.isActiveWindow(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), janela.treParent, 5000);

    // The keyboard: down to the first installation, whose components load, then to the manual.
    QTreeWidgetItem* instalacao = janela.NoTopo()->child(0)->child(0);
    Tecla(QStringLiteral("Down"));
    QTRY_COMPARE_WITH_TIMEOUT(instalacao->childCount(), 3, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(janela.treParent->isEnabled(), 10000);
    QTreeWidgetItem* manual = instalacao->child(1);
    QTreeWidgetItem* tabelas = instalacao->child(2);
    Tecla(QStringLiteral("Down"));
    Tecla(QStringLiteral("Down"));
    QTRY_COMPARE_WITH_TIMEOUT(janela.treParent->currentItem(), manual, 5000);
    Tecla(QStringLiteral("space"));
    QTRY_COMPARE_WITH_TIMEOUT(Principal::ImagemDoNo(manual), 2, 5000);
    Tecla(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(Principal::ImagemDoNo(manual), 1, 5000);
    Tecla(QStringLiteral("space"));
    QTRY_COMPARE_WITH_TIMEOUT(Principal::ImagemDoNo(manual), 2, 5000);

    // The mouse: a click unmarks the tables, another marks them again; the fixed program stays.
    Clica(janela.treParent, tabelas);
    QTRY_COMPARE_WITH_TIMEOUT(Principal::ImagemDoNo(tabelas), 2, 5000);
    Clica(janela.treParent, tabelas);
    QTRY_COMPARE_WITH_TIMEOUT(Principal::ImagemDoNo(tabelas), 1, 5000);
    Clica(janela.treParent, instalacao->child(0));
    QTRY_COMPARE_WITH_TIMEOUT(janela.treParent->currentItem(), instalacao->child(0), 5000);
    EXPECT_EQ(Principal::ImagemDoNo(instalacao->child(0)), 5);

    Tecla(QStringLiteral("alt+i"));
    QTRY_VERIFY_WITH_TIMEOUT(terminou, 60000);

    ASSERT_GE(perguntas.size(), 3u);
    EXPECT_TRUE(perguntas[0].contains(QStringLiteral("Confirma ?")));
    EXPECT_FALSE(perguntas[0].contains(QStringLiteral("Manual do usuário")));
    EXPECT_EQ(perguntas[1], QStringLiteral("Pasta para Download"));
    const fs::path pasta = casa / "Downloads";
    EXPECT_EQ(sessao.PastaDestino, pasta.string() + "/");
    EXPECT_TRUE(fs::exists(pasta / "setup.exe"));
    EXPECT_TRUE(fs::exists(pasta / "tabelas.zip"));
    EXPECT_TRUE(fs::exists(pasta / "Regras.Ini"));
    EXPECT_FALSE(fs::exists(pasta / "manual.pdf"));
    const std::string site = TestSupportDir() + "/../../demo/site/pub/mirelo/declaracao/arquivos/";
    EXPECT_EQ(fs::file_size(pasta / "tabelas.zip"), fs::file_size(site + "tabelas.zip"));


    // Closing from the keyboard asks whether to leave the connected server: Yes.
    sair = true;
    Tecla(QStringLiteral("alt+F4"));
    QTRY_VERIFY_WITH_TIMEOUT(!janela.isVisible(), 10000);
    EXPECT_TRUE(perguntas.back().contains(QStringLiteral("Deseja sair ?")));
    respostas.stop();
}

}  // namespace
