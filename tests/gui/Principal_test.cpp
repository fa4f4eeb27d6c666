// The main window against pyftpdlib on loopback, offscreen, as a user would drive it.
#include "gui/uMireloDownloaderAsyncPrincipal.h"

#include <QAccessible>
#include <QAction>
#include <QDir>
#include <QKeySequence>
#include <QAbstractItemView>
#include <QWheelEvent>
#include <QLockFile>
#include <QStandardPaths>
#include <QFileDialog>
#include <QMessageBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QLineEdit>
#include <QProgressBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "JanelaTeste.h"
#include "LoopbackPeer.h"
#include "app/HeadlessMode.h"
#include "app/PastaDoPrograma.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/uMireloDownloaderAsyncConexao.h"
#include "gui/uMireloDownloaderAsyncMsg.h"
#include "gui/uMireloDownloaderAsyncPastaDownload.h"
#include "gui/uMireloDownloaderAsyncProxy.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <sstream>
#include "qt/QtPortugues.h"
#include "qt/QtUserServices.h"

namespace {

// The options of a server that serves `raiz` to the anonymous account.
PyFtpdServer::Options Servindo(const std::string& raiz)
{
    PyFtpdServer::Options opcoes;
    opcoes.Root = raiz;
    return opcoes;
}


using Icon = platform::UserServices::Icon;
const std::string kErroConfiguracao =
    "Não foi possivel baixar o arquivo de configuração.\rContacte o Orva.";

QString Texto(const QLabel* rotulo)
{
    return rotulo->text();
}

QColor Cor(const QLabel* rotulo)
{
    return rotulo->palette().color(QPalette::WindowText);
}

class Principal : public JanelaTeste {
protected:
    void SetUp() override
    {
        EscreveSite(site.Path(), "/pub/mirelo");
        servidor = std::make_unique<PyFtpdServer>(Servindo(site.Path()));
    }

    // Starts the window as the program does, without waiting for a screen.
    void Inicia()
    {
        Abre(servidor->Port());
        janela->FormShow();
    }

    void Clica(QTreeWidgetItem* node, bool duplo = false)
    {
        janela->show();
        janela->treParent->scrollToItem(node);
        const QPoint ponto = janela->treParent->visualItemRect(node).center();
        // A double click reaches a widget as the press and release of a first click, then a
        // second press that comes as a double click, and its release.
        if (duplo) {
            QTest::mouseClick(janela->treParent->viewport(), Qt::LeftButton, {}, ponto);
            QTest::mouseDClick(janela->treParent->viewport(), Qt::LeftButton, {}, ponto);
        } else {
            QTest::mouseClick(janela->treParent->viewport(), Qt::LeftButton, {}, ponto);
        }
    }

    std::unique_ptr<PyFtpdServer> servidor;
};

TEST_F(Principal, StartUpFillsTheTreeSelectsTheFirstProductAndShowsTheMessage)
{
    Inicia();
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    ASSERT_EQ(Topo()->childCount(), 3);
    EXPECT_EQ(No({0})->text(0), QStringLiteral("Declaração Anual"));
    EXPECT_EQ(ImagensDosFilhos(Topo()), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(ImagensDosFilhos(No({0})), (std::vector<int>{3, 3}));
    EXPECT_EQ(No({0, 1})->text(0), QStringLiteral("Atualização"));
    EXPECT_EQ(No({2})->childCount(), 0);

    EXPECT_EQ(janela->treParent->currentItem(), No({0}));
    EXPECT_EQ(Texto(janela->edtNome), QStringLiteral("Declaração Anual"));
    EXPECT_EQ(Texto(janela->edtVersao), QStringLiteral("2.1/34"));
    EXPECT_TRUE(Texto(janela->edtInstalacao).isEmpty());
    EXPECT_FALSE(janela->btnBaixar->isEnabled());
    EXPECT_FALSE(janela->lblAviso->isVisibleTo(janela.get()));
    EXPECT_TRUE(janela->edtNome->isVisibleTo(janela.get()));
    EXPECT_TRUE(janela->treParent->isEnabled());

    // The server's message was new: fetched, kept and shown as plain text.
    ASSERT_NE(janela->frmMsg, nullptr);
    EXPECT_TRUE(janela->frmMsg->isVisible());
    EXPECT_EQ(janela->frmMsg->mmMsg->toPlainText(),
              QStringLiteral("Mensagem de teste: <b>prazo</b> até 30/04.\n"));
    EXPECT_TRUE(std::filesystem::exists("mensagem.txt"));
}

TEST_F(Principal, AKnownMessageIsNotShownAgainAndAnEmptyCopySilencesIt)
{
    Inicia();
    ASSERT_NE(janela->frmMsg, nullptr);
    Fecha();

    Inicia();
    EXPECT_EQ(janela->frmMsg, nullptr);

    // A new message as long as the one kept is still new.
    Fecha();
    EscreveCp1252(site / "pub/mirelo/mensagem.txt", "Mensagem de teste: <b>prazo</b> até 31/05.\n");
    Inicia();
    ASSERT_NE(janela->frmMsg, nullptr);
    EXPECT_EQ(janela->frmMsg->mmMsg->toPlainText(),
              QStringLiteral("Mensagem de teste: <b>prazo</b> até 31/05.\n"));
    Fecha();
    Inicia();
    EXPECT_EQ(janela->frmMsg, nullptr);

    Fecha();
    trabalho.Write("mensagem.txt", "");
    Inicia();
    EXPECT_EQ(janela->frmMsg, nullptr);
}

TEST_F(Principal, ServerTextIsNeverMarkup)
{
    Inicia();
    janela->treParent->setCurrentItem(No({2}));
    EXPECT_EQ(Texto(janela->edtNome), QStringLiteral("<b>Negrito</b>"));
    EXPECT_EQ(janela->edtNome->textFormat(), Qt::PlainText);
    EXPECT_EQ(janela->edtDescricao->textFormat(), Qt::PlainText);
    EXPECT_EQ(No({2})->text(0), QStringLiteral("<b>Negrito</b>"));
}

TEST_F(Principal, AnInstallationLoadsItsComponentsFixedAndMarked)
{
    Inicia();
    janela->treParent->setCurrentItem(No({0, 0}));
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    ASSERT_EQ(No({0, 0})->childCount(), 3);
    EXPECT_EQ(ImagensDosFilhos(No({0, 0})), (std::vector<int>{5, 1, 1}));
    EXPECT_EQ(No({0, 0, 1})->text(0), QStringLiteral("Manual do usuário"));
    EXPECT_EQ(sessao->Componentes.Count(), 3u);
    EXPECT_TRUE(janela->btnBaixar->isEnabled());
    // Expanded, so its picture is the open folder.
    EXPECT_TRUE(No({0, 0})->isExpanded());
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0})), 4);
    EXPECT_EQ(Texto(janela->edtNome), QStringLiteral("Declaração Anual"));

    // A component shows its own details; the size with one decimal and the locale's grouping.
    janela->treParent->setCurrentItem(No({0, 0, 1}));
    EXPECT_EQ(Texto(janela->edtNome), QStringLiteral("Manual do usuário"));
    EXPECT_EQ(Texto(janela->edtVersao), QStringLiteral("2.1/35"));
    EXPECT_EQ(Texto(janela->edtDisponibilizacao), QStringLiteral("16/03/2024 09:00:00"));
    EXPECT_EQ(Texto(janela->edtInstalacao),
              QStringLiteral("manual.pdf - ") + QLocale().toString(2048.0, 'f', 1) +
                  QStringLiteral("kb - 1 disco"));

    // A size that is not a number stops the update with a clear message, after the version.
    janela->treParent->setCurrentItem(No({0, 0, 2}));
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_NE(servicos.Boxes[0].Text.find("x12"), std::string::npos);
    EXPECT_EQ(Texto(janela->edtNome), QStringLiteral("Tabelas"));
    EXPECT_TRUE(Texto(janela->edtInstalacao).isEmpty());

    // The other installation collapses this one's branch and shows the double-click hint.
    janela->treParent->setCurrentItem(No({0, 1}));
    EXPECT_FALSE(No({0, 0})->isExpanded());
    EXPECT_TRUE(No({0})->isExpanded());
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0})), 3);
    EXPECT_EQ(janela->treParent->toolTip(),
              QStringLiteral("Clique duas vezes para marcar ou desmarcar os componentes."));
    // Another product collapses the product too, which turns the hints off.
    janela->treParent->setCurrentItem(No({1}));
    EXPECT_FALSE(No({0})->isExpanded());
    EXPECT_TRUE(janela->treParent->toolTip().isEmpty());
    EXPECT_FALSE(janela->btnBaixar->isEnabled());
}

TEST_F(Principal, ClicksToggleTheMarkOfOptionalComponentsOnly)
{
    Inicia();
    janela->treParent->setCurrentItem(No({0, 0}));
    ASSERT_EQ(No({0, 0})->childCount(), 3);

    Clica(No({0, 0, 1}));
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 1})), 2);
    EXPECT_EQ(sessao->Componentes.Slot(2)->Marcado, "0");
    Clica(No({0, 0, 1}));
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 1})), 1);
    EXPECT_EQ(sessao->Componentes.Slot(2)->Marcado, "1");
    // A double click, as the tree's hint asks for, changes the mark once.
    Clica(No({0, 0, 1}), true);
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 1})), 2);
    EXPECT_EQ(sessao->Componentes.Slot(2)->Marcado, "0");
    Clica(No({0, 0, 1}), true);
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 1})), 1);
    EXPECT_EQ(sessao->Componentes.Slot(2)->Marcado, "1");

    // The fixed component cannot be unmarked.
    Clica(No({0, 0, 0}));
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 0})), 5);
    EXPECT_EQ(sessao->Componentes.Slot(1)->Marcado, "1");

    // A click on the empty area below the last node toggles nothing.
    janela->treParent->setCurrentItem(No({0, 0, 2}));
    const QPoint vazio(5, janela->treParent->viewport()->height() - 3);
    ASSERT_EQ(janela->treParent->itemAt(vazio), nullptr);
    QTest::mouseClick(janela->treParent->viewport(), Qt::LeftButton, {}, vazio);
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 2})), 1);

    // Selecting the installation again reads the catalogue again: every mark back to "1".
    Clica(No({0, 0, 2}));
    ASSERT_EQ(sessao->Componentes.Slot(3)->Marcado, "0");
    janela->treParent->setCurrentItem(No({0}));
    janela->treParent->setCurrentItem(No({0, 0}));
    EXPECT_EQ(sessao->Componentes.Slot(3)->Marcado, "1");
    EXPECT_EQ(ImagensDosFilhos(No({0, 0})), (std::vector<int>{5, 1, 1}));
}

// The whole job from the keyboard: Tab reaches every control in screen order, Space and Enter
// mark and unmark, Alt+I starts the download, and the focus that a request took from the tree
// comes back to it instead of landing on the FTP list, whose arrow keys switch the server.
TEST_F(Principal, TheKeyboardDoesTheWholeJob)
{
    Inicia();
    int baixar = 0;
    janela->OnBaixar = [&] { ++baixar; };
    janela->show();
    janela->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(janela.get()));
    janela->treParent->setFocus();
    ASSERT_EQ(janela->treParent->currentItem(), No({0}));

    // Down selects the installation, whose catalogue request disables the tree for a moment.
    QWidget* focoDurante = nullptr;
    QTimer::singleShot(0, janela.get(), [&] { focoDurante = QApplication::focusWidget(); });
    QTest::keyClick(janela->treParent, Qt::Key_Down);
    ASSERT_EQ(janela->treParent->currentItem(), No({0, 0}));
    ASSERT_EQ(No({0, 0})->childCount(), 3);
    EXPECT_NE(focoDurante, janela->cbSiteReplicadores);
    EXPECT_EQ(QApplication::focusWidget(), janela->treParent);

    QTest::keyClick(janela->treParent, Qt::Key_Down);
    QTest::keyClick(janela->treParent, Qt::Key_Space);
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 0})), 5);
    QTest::keyClick(janela->treParent, Qt::Key_Down);
    ASSERT_EQ(janela->treParent->currentItem(), No({0, 0, 1}));
    QTest::keyClick(janela->treParent, Qt::Key_Space);
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 1})), 2);
    EXPECT_EQ(sessao->Componentes.Slot(2)->Marcado, "0");
    QTest::keyClick(janela->treParent, Qt::Key_Return);
    EXPECT_EQ(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(No({0, 0, 1})), 1);
    EXPECT_EQ(sessao->Componentes.Slot(2)->Marcado, "1");

    // Tab from the first control visits every one in screen order and comes round again.
    janela->ToolButton3->setFocus();
    std::vector<QWidget*> visitados{QApplication::focusWidget()};
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visitados.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(visitados, (std::vector<QWidget*>{janela->ToolButton3, janela->cbSiteReplicadores,
                                                 janela->Image1, janela->treParent,
                                                 janela->btnBaixar, janela->Panel2,
                                                 janela->ToolButton3}));
    // The links open from the keyboard too.
    janela->Image1->setFocus();
    QTest::keyClick(janela->Image1, Qt::Key_Return);
    janela->Panel2->setFocus();
    QTest::keyClick(janela->Panel2, Qt::Key_Space);
    EXPECT_EQ(servicos.Opened.size(), 2u);

    // "Iniciar Download" as it was written, with Alt+I as its mnemonic (pressed for real in the
    // X session's test); Enter on the focused button starts the download.
    EXPECT_EQ(janela->btnBaixar->text().remove(QLatin1Char('&')), QStringLiteral("Iniciar Download"));
    EXPECT_EQ(QKeySequence::mnemonic(janela->btnBaixar->text()),
              QKeySequence(Qt::ALT | Qt::Key_I));
    janela->btnBaixar->setFocus();
    QTest::keyClick(janela->btnBaixar, Qt::Key_Space);
    EXPECT_EQ(baixar, 1);
}

// What a screen reader hears: each tree node's name with its kind and, for a component, its
// mark in words; the detail values named after their captions; the links and the dialogs' boxes.
TEST_F(Principal, ScreenReadersHearNamesMarksAndDescriptions)
{
    Inicia();
    janela->show();
    janela->treParent->setCurrentItem(No({0, 0}));
    ASSERT_EQ(No({0, 0})->childCount(), 3);
    Clica(No({0, 0, 1}));
    janela->treParent->setCurrentItem(No({0, 0, 2}));

    std::map<QString, QString> nos;
    QAccessibleInterface* arvore = QAccessible::queryAccessibleInterface(janela->treParent);
    ASSERT_NE(arvore, nullptr);
    EXPECT_EQ(arvore->text(QAccessible::Name), QStringLiteral("Produtos Disponíveis"));
    for (int i = 0; i < arvore->childCount(); ++i)
        if (QAccessibleInterface* no = arvore->child(i))
            nos[no->text(QAccessible::Name)] = no->text(QAccessible::Description);
    EXPECT_EQ(nos[QStringLiteral("Declaração Anual")], QStringLiteral("Produto"));
    EXPECT_EQ(nos[QStringLiteral("Completa")], QStringLiteral("Instalação"));
    EXPECT_TRUE(nos.count(QStringLiteral("Programa principal, fixo")));
    EXPECT_TRUE(nos.count(QStringLiteral("Manual do usuário, desmarcado")));
    EXPECT_TRUE(nos.count(QStringLiteral("Tabelas, marcado")));
    EXPECT_FALSE(nos[QStringLiteral("Tabelas, marcado")].isEmpty());

    auto nome = [](QObject* objeto) {
        return QAccessible::queryAccessibleInterface(objeto)->text(QAccessible::Name);
    };
    auto descricao = [](QObject* objeto) {
        return QAccessible::queryAccessibleInterface(objeto)->text(QAccessible::Description);
    };
    EXPECT_EQ(nome(janela->edtNome), QStringLiteral("Tabelas"));
    EXPECT_EQ(descricao(janela->edtNome), QStringLiteral("Nome"));
    EXPECT_EQ(descricao(janela->edtVerificaVersao),
              QStringLiteral("Versão/Build do Sistema Instalado"));
    EXPECT_EQ(nome(janela->Image1), QStringLiteral("Página do Orva"));
    EXPECT_FALSE(descricao(janela->Image1).isEmpty());
    EXPECT_TRUE(nome(janela->Panel2).startsWith(QStringLiteral("Central de Atendimento")));
    EXPECT_EQ(nome(janela->btnBaixar), QStringLiteral("Iniciar Download"));
    EXPECT_EQ(nome(janela->cbSiteReplicadores), QStringLiteral("Endereço do FTP"));

    TfMireloDownloaderPastaDownload pasta(servicos);
    EXPECT_EQ(nome(pasta.edtPastaAtual), QStringLiteral("Pasta para Download:"));
    EXPECT_EQ(nome(proxy->edtProxy), QStringLiteral("Proxy:"));
    EXPECT_EQ(nome(conexao->ProgressBar1), QStringLiteral("Conectando"));
}

TEST_F(Principal, InstalledVersionStatusInItsColours)
{
    trabalho.Write("system.reg",
                   "WINE REGISTRY Version 2\n"
                   "[Software\\\\Mirelo\\\\Declaracao] 1700000000\n"
                   "\"Versao\"=\"2.1\"\n"
                   "[Software\\\\Mirelo\\\\Cadastro] 1700000000\n"
                   "\"Versao\"=\"1.3\"\n"
                   "[Software\\\\Mirelo\\\\Nada] 1700000000\n"
                   "\"Versao\"=hex:03,00\n");
    Inicia();
    // A value that is no text and no number reads as not installed, without a word.
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    EXPECT_EQ(Texto(janela->edtVerificaVersao),
              QStringLiteral("2.1,Sistema Atualizado com a última Versão Disponivel."));
    EXPECT_EQ(Cor(janela->edtVerificaVersao), QColor(0, 128, 0));

    janela->treParent->setCurrentItem(No({1}));
    EXPECT_EQ(Texto(janela->edtVerificaVersao), QStringLiteral("1.3, Sistema desatualizado."));
    EXPECT_EQ(Cor(janela->edtVerificaVersao), QColor(128, 0, 0));

    janela->treParent->setCurrentItem(No({2}));
    EXPECT_EQ(Texto(janela->edtVerificaVersao), QStringLiteral("Sistema não Instalado"));
    EXPECT_EQ(Cor(janela->edtVerificaVersao), QColor(128, 0, 0));
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();

    // An installation that ended in Wine while the user was away shows when the window is
    // active again, with the same selection.
    trabalho.Write("system.reg",
                   "WINE REGISTRY Version 2\n"
                   "[Software\\\\Wow6432Node\\\\Mirelo\\\\Nada] 1700000001\n"
                   "\"Versao\"=\"3.0\"\n");
    QEvent ativada(QEvent::WindowActivate);
    QCoreApplication::sendEvent(janela.get(), &ativada);
    EXPECT_EQ(Texto(janela->edtVerificaVersao),
              QStringLiteral("3.0,Sistema Atualizado com a última Versão Disponivel."));
    EXPECT_EQ(Cor(janela->edtVerificaVersao), QColor(0, 128, 0));
}

TEST_F(Principal, TheMirrorSwitchReconnectsAndLaterFetchesUseTheMirrorsDirectory)
{
    TempDir espelho;
    EscreveSite(espelho.Path(), "/espelho", "Manual do espelho");
    PyFtpdServer::Options opcoes;
    opcoes.Root = espelho.Path();
    opcoes.LogFile = trabalho / "espelho.log";
    PyFtpdServer servidorEspelho(opcoes);
    const std::string host = "127.0.0.1:" + std::to_string(servidorEspelho.Port());
    EscreveCp1252("sitesreplicacao.cfg", host + "|Espelho|Sul|/espelho\n|sem host|x|/y\n");

    Inicia();
    ASSERT_EQ(janela->cbSiteReplicadores->count(), 1);
    EXPECT_EQ(janela->cbSiteReplicadores->currentIndex(), 0);
    EXPECT_EQ(janela->cbSiteReplicadores->itemText(0),
              QString::fromStdString("Espelho/Sul (" + host + ")|/espelho|"));

    // The arrow keys and the wheel on the list open it or pass: only a choice switches.
    janela->show();
    janela->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(janela.get()));
    janela->cbSiteReplicadores->setFocus();
    janela->cbSiteReplicadores->setCurrentIndex(-1);
    QTest::keyClick(janela->cbSiteReplicadores, Qt::Key_Down);
    EXPECT_TRUE(janela->cbSiteReplicadores->view()->isVisible());
    janela->cbSiteReplicadores->hidePopup();
    QWheelEvent roda(QPointF(5, 5), janela->cbSiteReplicadores->mapToGlobal(QPointF(5, 5)),
                     QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                     false);
    QApplication::sendEvent(janela->cbSiteReplicadores, &roda);
    EXPECT_EQ(janela->cbSiteReplicadores->currentIndex(), -1);
    EXPECT_EQ(sessao->DiretorioSite, "/pub/mirelo");

    janela->cbSiteReplicadoresChange(0);
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    EXPECT_EQ(sessao->DiretorioSite, "/espelho");
    EXPECT_EQ(sessao->HostName(), "127.0.0.1");
    EXPECT_TRUE(sessao->IsControlOpen());
    ASSERT_EQ(Topo()->childCount(), 3);

    janela->treParent->setCurrentItem(No({0, 0}));
    EXPECT_EQ(No({0, 0, 1})->text(0), QStringLiteral("Manual do espelho"));
    const std::string log = trabalho.Read("espelho.log");
    EXPECT_NE(log.find("CWD /pub/mirelo"), std::string::npos) << log;
    EXPECT_NE(log.find("RETR /espelho/decl/completa/download.cfg"), std::string::npos) << log;
    EXPECT_EQ(log.find("RETR /pub/mirelo/decl"), std::string::npos) << log;
}

TEST_F(Principal, TheProxyFileIsCreatedOnFirstStart)
{
    Inicia();
    EXPECT_EQ(trabalho.Read("proxy.ini"), "N\r\nservidor proxy\r\n3128\r\n");
}

TEST_F(Principal, TheConnectingDialogNamesTheProxiedHost)
{
    trabalho.Write("proxy.ini",
                   "S\r\n127.0.0.1:" + std::to_string(servidor->Port()) + "\r\n3128\r\n");
    Abre({{"ftp1.mirelo.org.br", "ftp"}, {"ftp2.mirelo.org.br", "ftp"}});
    EXPECT_EQ(sessao->HostName(), "127.0.0.1");
    EXPECT_EQ(sessao->UserName(), "anonymous@ftp1.mirelo.org.br");
    EXPECT_TRUE(sessao->ftpDownloader().PassiveMode());
    QString nome;
    bool controlesDesabilitados = false;
    QTimer::singleShot(0, conexao.get(), [&] {
        nome = conexao->lblFTP->text();
        controlesDesabilitados =
            !janela->treParent->isEnabled() && !janela->cbSiteReplicadores->isEnabled() &&
            !janela->Proxy1->isEnabled() && !janela->lblNome->isEnabled() &&
            !janela->lblVerificaVersao->isEnabled() && !janela->btnBaixar->isEnabled();
    });
    janela->FormShow();
    EXPECT_EQ(nome, QStringLiteral("ftp1.mirelo.org.br"));
    EXPECT_TRUE(controlesDesabilitados);
    EXPECT_TRUE(janela->treParent->isEnabled());
    EXPECT_TRUE(janela->Proxy1->isEnabled());
    EXPECT_TRUE(janela->lblNome->isEnabled());
}

TEST_F(Principal, TheExitQuestionComesOnlyWhileConnected)
{
    Inicia();
    janela->show();
    servicos.Answers = {false};
    janela->close();
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção.");
    EXPECT_EQ(servicos.Boxes[0].Text,
              "O Downloader está conectado com FTP: 127.0.0.1\rDeseja sair ?");
    EXPECT_EQ(servicos.Boxes[0].BoxIcon, Icon::Question);
    EXPECT_TRUE(janela->isVisible());
    EXPECT_TRUE(sessao->IsControlOpen());

    servicos.Answers = {true};
    janela->close();
    EXPECT_EQ(servicos.Boxes.size(), 2u);
    EXPECT_FALSE(janela->isVisible());
}

TEST_F(Principal, ARefusedConnectionSaysSoAndAsksNothingOnExit)
{
    const std::uint16_t porta = FreeLoopbackPort();
    Abre(porta);
    janela->FormShow();
    ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[0].Caption, "Erro");
    EXPECT_EQ(servicos.Boxes[0].Text, "Não foi possível conectar ao FTP:\r127.0.0.1");
    EXPECT_EQ(Topo()->childCount(), 0);
    EXPECT_FALSE(sessao->IsControlOpen());
    EXPECT_TRUE(janela->treParent->isEnabled());

    janela->show();
    janela->close();
    EXPECT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_FALSE(janela->isVisible());
}

// A server that accepts the connection and never greets: Cancelar gives up the log-on for good
// (nothing connects behind the user's back later), with no message, and the window stays usable.
TEST_F(Principal, CancelarGivesUpALogOnThatNeverGetsItsGreeting)
{
    loopback::Listener mudo;
    Abre(mudo.Port());

    bool mostrado = false;
    // The user gives up while the dialog waits for the greeting.
    QTimer::singleShot(0, conexao.get(), [&] {
        mostrado = conexao->isVisible();
        conexao->btnCancelar->click();
    });
    janela->FormShow();
    EXPECT_TRUE(mostrado);
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    EXPECT_FALSE(sessao->IsControlOpen());
    EXPECT_EQ(sessao->ftpDownloader().EngineState(), fesReady);
    EXPECT_TRUE(janela->treParent->isEnabled());
}

// Behind the connecting dialog too, a host that never answers holds the log-on only for its limit
// (here the Timeout, 1 s): the dialog closes, the next server logs on and fills the tree, and no
// error is shown.
TEST_F(Principal, AHostThatNeverAnswersGivesWayToTheNextServer)
{
    loopback::UnansweredPort surdo;
    Abre({{"127.0.0.1", std::to_string(surdo.Port())},
          {"127.0.0.1", std::to_string(servidor->Port())}});
    sessao->ftpDownloader().SetTimeout(1);
    janela->FormShow();
    EXPECT_EQ(Topo()->childCount(), 3);
    EXPECT_EQ(sessao->ServidorEmUso(), "127.0.0.1:" + std::to_string(servidor->Port()));
    EXPECT_FALSE(conexao->isVisible());
    for (const RecordingUserServices::Box& box : servicos.Boxes)
        EXPECT_NE(box.BoxIcon, Icon::Error) << box.Text;
}

TEST_F(Principal, AMissingCatalogueSaysSoAndLeavesTheTreeAsItWas)
{
    Inicia();
    ASSERT_EQ(Topo()->childCount(), 3);
    std::filesystem::remove(site / "pub/mirelo/formularios.cfg");
    // The caption "Nome:" reconnects.
    janela->Conectar();
    ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção.");
    EXPECT_EQ(servicos.Boxes[0].Text, kErroConfiguracao);
    EXPECT_EQ(servicos.Boxes[0].BoxIcon, Icon::Error);
    EXPECT_EQ(Topo()->childCount(), 3);

    // So does a missing component catalogue: the installation stays empty.
    janela->treParent->setCurrentItem(No({1, 0}));
    ASSERT_EQ(servicos.Boxes.size(), 2u);
    EXPECT_EQ(servicos.Boxes[1].Text, kErroConfiguracao);
    EXPECT_EQ(No({1, 0})->childCount(), 0);
}

// A retrieval that fails after the size was known (here the local copy cannot be written) says
// so and keeps the tree and the tables as they were, instead of reading a stale copy.
TEST_F(Principal, AFailedRetrievalIsReportedAndShowsNothingStale)
{
    Inicia();
    janela->treParent->setCurrentItem(No({0, 0}));
    ASSERT_EQ(No({0, 0})->childCount(), 3);
    EscreveCp1252(site / "pub/mirelo/formularios.cfg",
                  "[Formulario 1]\nnome=Só um\ninstalacoes=A|/a/\n");
    std::filesystem::remove("formularios.cfg");
    std::filesystem::create_directory("formularios.cfg");
    janela->Conectar();
    ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[0].Text, kErroConfiguracao);
    EXPECT_EQ(Topo()->childCount(), 3);
    EXPECT_EQ(sessao->Formularios.Count(), 3u);

    std::filesystem::remove("download.cfg");
    std::filesystem::create_directory("download.cfg");
    janela->treParent->setCurrentItem(No({0, 1}));
    ASSERT_EQ(servicos.Boxes.size(), 2u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[1].Text, kErroConfiguracao);
    EXPECT_EQ(No({0, 1})->childCount(), 0);
    // Nothing is left that "Iniciar Download" could take for this installation's components.
    EXPECT_EQ(sessao->Componentes.Count(), 0u);
    EXPECT_FALSE(janela->btnBaixar->isEnabled());

    // The installation read before, selected again while its catalogue is gone: its old
    // components go as well.
    std::filesystem::remove(site / "pub/mirelo/decl/completa/download.cfg");
    janela->treParent->setCurrentItem(No({0, 0}));
    ASSERT_EQ(servicos.Boxes.size(), 3u) << servicos.Texts();
    EXPECT_EQ(No({0, 0})->childCount(), 0);
    EXPECT_FALSE(janela->btnBaixar->isEnabled());
}

// Servers drop a session left idle ("421" and a close; here after 2 s): the next click logs on
// again by itself, in binary, and gets what it asked for, with no word to the user.
TEST_F(Principal, AnIdleDropBetweenTwoClicksIsInvisible)
{
    PyFtpdServer::Options opcoes = Servindo(site.Path());
    opcoes.IdleTimeoutSeconds = 2;
    opcoes.LogFile = trabalho / "servidor.log";
    servidor = std::make_unique<PyFtpdServer>(opcoes);
    Inicia();
    ASSERT_EQ(Topo()->childCount(), 3);
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sessao->IsControlOpen() && std::chrono::steady_clock::now() < limite)
        loop.WaitAndDispatch(limite);
    ASSERT_FALSE(sessao->IsControlOpen());

    janela->treParent->setCurrentItem(No({0, 0}));
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    ASSERT_EQ(No({0, 0})->childCount(), 3);
    EXPECT_TRUE(sessao->IsControlOpen());
    const std::string log = trabalho.Read("servidor.log");
    auto conta = [&log](const std::string& trecho) {
        int vezes = 0;
        for (auto pos = log.find(trecho); pos != std::string::npos; pos = log.find(trecho, pos + 1))
            ++vezes;
        return vezes;
    };
    EXPECT_EQ(conta("] USER anonymous"), 2) << log;
    EXPECT_EQ(conta("] TYPE I"), 2) << log;
    EXPECT_EQ(conta("RETR /pub/mirelo/decl/completa/download.cfg"), 1) << log;
}

// A first log-on that failed (no server yet) leaves an empty tree that says what to do, and
// "Reconectar" in "Arquivo" does it once the server is there.
TEST_F(Principal, AFailedFirstLogOnIsTriedAgainFromTheMenu)
{
    const std::uint16_t porta = FreeLoopbackPort();
    const QString servidorTexto = QStringLiteral("127.0.0.1:") + QString::number(porta);
    Abre(porta);
    janela->FormShow();
    ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    EXPECT_EQ(servicos.Boxes[0].Text, "Não foi possível conectar ao FTP:\r127.0.0.1");
    EXPECT_EQ(Topo()->childCount(), 0);
    EXPECT_NE(Topo()->text(0).indexOf(QStringLiteral("Arquivo > Reconectar")), -1);
    EXPECT_EQ(janela->StatusServidor->text(), QStringLiteral("Sem conexão (") + servidorTexto + ")");

    QMenu* arquivo = janela->menuBar()->actions().at(0)->menu();
    ASSERT_NE(arquivo, nullptr);
    EXPECT_EQ(arquivo->title(), QStringLiteral("&Arquivo"));
    ASSERT_TRUE(arquivo->actions().contains(janela->Reconectar1));
    EXPECT_EQ(janela->Reconectar1->text(), QStringLiteral("Reconectar"));
    ASSERT_TRUE(janela->Reconectar1->isEnabled());

    PyFtpdServer::Options opcoes = Servindo(site.Path());
    opcoes.Port = porta;
    PyFtpdServer agora(opcoes);
    janela->Reconectar1->trigger();
    EXPECT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
    ASSERT_EQ(Topo()->childCount(), 3);
    EXPECT_TRUE(Topo()->text(0).isEmpty());
    // pyftpdlib without TLS: the session goes on in the clear, and the status bar says so.
    EXPECT_EQ(janela->StatusServidor->text(),
              QStringLiteral("Servidor: ") + servidorTexto + QStringLiteral(" — Conexão não criptografada"));
}

// The first server refuses the connection: after its second try the session moves to the next
// server of the list, silently, and the status bar names the server in use.
TEST_F(Principal, ARefusedServerGivesWayToTheNextAndTheStatusBarSaysWhich)
{
    const std::string fechada = std::to_string(FreeLoopbackPort());
    const std::string aberta = std::to_string(servidor->Port());
    Abre({{"127.0.0.1", fechada}, {"127.0.0.1", aberta}});
    janela->FormShow();
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
    ASSERT_EQ(Topo()->childCount(), 3);
    EXPECT_TRUE(sessao->IsControlOpen());
    EXPECT_EQ(janela->StatusServidor->text(),
              QString::fromStdString("Servidor: 127.0.0.1:" + aberta + " — Conexão não criptografada"));
}

TEST_F(Principal, TheLinksGoToThePageAndTheHelpDesk)
{
    Abre(servidor->Port());
    janela->Image1Click();
    janela->Panel2Click();
    ASSERT_EQ(servicos.Opened.size(), 2u);
    EXPECT_EQ(servicos.Opened[0], kPaginaOrva);
    EXPECT_EQ(servicos.Opened[1],
              std::string("mailto:") + kEmailAtendimento + "?subject=Downloader");
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();

    // Nothing on this desktop takes the address: the user is told, and where to go instead.
    servicos.OpenResult = false;
    janela->Image1Click();
    janela->Panel2Click();
    ASSERT_EQ(servicos.Boxes.size(), 2u);
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção.");
    EXPECT_EQ(servicos.Boxes[0].Text, std::string("Não foi possível abrir a página ") +
                                          kPaginaOrva + ".\rAbra esse endereço no seu navegador.");
    EXPECT_NE(servicos.Boxes[1].Text.find(kEmailAtendimento), std::string::npos);
    EXPECT_EQ(servicos.Boxes[1].BoxIcon, Icon::Error);

    // "Sobre" tells the name, the version and how to reach the help desk.
    janela->Sobre1->trigger();
    ASSERT_EQ(servicos.Boxes.size(), 3u);
    EXPECT_EQ(servicos.Boxes[2].Caption, "Sobre o Downloader Mirelo");
    EXPECT_EQ(servicos.Boxes[2].Text,
              std::string("Downloader dos Formulários Eletrônicos Mirelo\rVersão 2.0\r\r"
                          "Central de Atendimento: ") +
                  kTelefoneAtendimento + "\r" + kEmailAtendimento + "\r" + kPaginaOrva);
}

// A copy started in a folder that another copy uses says so and ends, with the window and
// without: the headless run below is told before it connects.
TEST_F(Principal, ASecondCopyInTheSameFolderSaysSoAndEnds)
{
    const QString pasta = QDir::currentPath();
    std::string mensagem;
    std::unique_ptr<QLockFile> primeira = mirelo_app::TravaPasta(pasta, mensagem);
    ASSERT_NE(primeira, nullptr) << mensagem;
    EXPECT_EQ(mirelo_app::TravaPasta(pasta, mensagem), nullptr);
    EXPECT_EQ(mensagem, "O Downloader já está aberto usando a pasta " + pasta.toStdString() +
                            ".\rFeche a outra cópia antes de abrir uma nova.");

    qputenv("MIRELO_FTP_HOSTS", QByteArray::number(servidor->Port()).prepend("127.0.0.1:"));
    std::ostringstream saida;
    std::ostringstream erros;
    std::streambuf* coutAntes = std::cout.rdbuf(saida.rdbuf());
    std::streambuf* cerrAntes = std::cerr.rdbuf(erros.rdbuf());
    char programa[] = "mirelo-downloader";
    char listar[] = "--list";
    char* argv[] = {programa, listar, nullptr};
    const int status = RunHeadless(2, argv);
    std::cout.rdbuf(coutAntes);
    std::cerr.rdbuf(cerrAntes);
    qunsetenv("MIRELO_FTP_HOSTS");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(saida.str().empty()) << saida.str();
    EXPECT_NE(erros.str().find("já está aberto usando a pasta " + pasta.toStdString()),
              std::string::npos)
        << erros.str();
    EXPECT_FALSE(std::filesystem::exists("formularios.cfg"));

    // Once the first copy has gone, the folder is free again.
    primeira.reset();
    EXPECT_NE(mirelo_app::TravaPasta(pasta, mensagem), nullptr);
}

// A copy that ended without unlocking (killed, or its machine lost power) does not lock the
// folder for ever.
TEST_F(Principal, ALockLeftByACopyThatEndedIsTakenOver)
{
    const QString pasta = QDir::currentPath();
    const pid_t filho = ::fork();
    ASSERT_GE(filho, 0);
    if (filho == 0) {
        std::string mensagem;
        auto trava = mirelo_app::TravaPasta(pasta, mensagem);
        ::_exit(trava != nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(filho, &status, 0), filho);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string mensagem;
    EXPECT_NE(mirelo_app::TravaPasta(pasta, mensagem), nullptr) << mensagem;
}

// Started from a folder that holds the program's files, the program keeps using it; from any
// other (the launcher starts in the home folder) it moves into the user's data folder.
TEST_F(Principal, TheFilesLiveInTheFolderThatHoldsThemElseInTheUsersDataFolder)
{
    TempDir dados;
    const QByteArray antesXdg = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dados.Path()));
    const QString esperada =
        QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    ASSERT_TRUE(esperada.startsWith(QString::fromStdString(dados.Path())));

    trabalho.Write("proxy.ini", "N\r\nservidor proxy\r\n3128\r\n");
    EXPECT_EQ(mirelo_app::EntraNaPastaDoPrograma(), QDir::currentPath());
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(trabalho.Path()).parent_path());

    TempDir casa;
    std::filesystem::current_path(casa.Path());
    EXPECT_EQ(mirelo_app::EntraNaPastaDoPrograma(), esperada);
    EXPECT_EQ(QDir::currentPath(), esperada);
    // The first start there writes its files there, so the next start stays.
    Abre(servidor->Port());
    janela->FormShow();
    EXPECT_TRUE(QFileInfo(esperada + "/proxy.ini").isFile());
    EXPECT_TRUE(QFileInfo(esperada + "/formularios.cfg").isFile());
    EXPECT_FALSE(std::filesystem::exists(casa / "proxy.ini"));
    EXPECT_TRUE(mirelo_app::TemArquivosDoPrograma(esperada));

    qputenv("XDG_DATA_HOME", antesXdg);
    if (antesXdg.isEmpty())
        qunsetenv("XDG_DATA_HOME");
}

// The desktop's opener tells whether anything took the address: its exit status, not merely
// whether it could be started, decides what the window reports.
TEST(Enderecos, AnAddressIsOpenedOnlyWhenTheDesktopsOpenerTakesIt)
{
    QtTestApp();
    TempDir bin;
    bin.Write("xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > " + (bin / "pedido") + "\nexit $(cat " +
                              (bin / "codigo") + ")\n");
    ASSERT_EQ(::chmod((bin / "xdg-open").c_str(), 0755), 0);
    const QByteArray caminho = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin.Path()) + ":" + caminho);
    mirelo_qt::QtUserServices servicos;

    bin.Write("codigo", "3");
    EXPECT_FALSE(servicos.OpenAddress(kPaginaOrva));
    EXPECT_EQ(bin.Read("pedido"), std::string("http://") + kPaginaOrva);
    bin.Write("codigo", "0");
    EXPECT_TRUE(servicos.OpenAddress(std::string("mailto:") + kEmailAtendimento));
    EXPECT_EQ(bin.Read("pedido"), std::string("mailto:") + kEmailAtendimento);
    qputenv("PATH", caminho);
}

// Qt's own buttons and the folder chooser speak Portuguese whatever the locale of the test run.
TEST(Portugues, QtsOwnButtonsAndTheFolderChooserArePortuguese)
{
    QApplication& app = QtTestApp();
    const QLocale antes;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ASSERT_TRUE(mirelo_qt::UsaPortuguesDoBrasil(app));
    EXPECT_EQ(QLocale().name(), QStringLiteral("pt_BR"));

    QMessageBox pergunta(QMessageBox::Question, QStringLiteral("Atenção"), QStringLiteral("?"),
                         QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(pergunta.button(QMessageBox::Yes)->text().remove('&'), QStringLiteral("Sim"));
    EXPECT_EQ(pergunta.button(QMessageBox::No)->text().remove('&'), QStringLiteral("Não"));

    QFileDialog escolha;
    escolha.setOption(QFileDialog::DontUseNativeDialog);
    escolha.setFileMode(QFileDialog::Directory);
    const QLabel* procurar = escolha.findChild<QLabel*>(QStringLiteral("lookInLabel"));
    ASSERT_NE(procurar, nullptr);
    EXPECT_EQ(procurar->text(), QStringLiteral("Procurar em:"));
    QLocale::setDefault(antes);
}

// The server holds every reply back for seconds; the wait gives up after the client's Timeout
// without progress instead of waiting for ever, and the request is aborted.
TEST(PrincipalLento, FtpProntoEndsWithTheRequestAbortedWhenTheTimeoutPasses)
{
    QtTestApp();
    TempDir raiz;
    PyFtpdServer::Options opcoes;
    opcoes.Root = raiz.Path();
    opcoes.ReplyDelaySeconds = 5;
    PyFtpdServer lento(opcoes);
    platform::QtEventLoop loop;
    RecordingUserServices servicos;
    platform::RegistryHive registro;
    const auto antes = std::filesystem::current_path();
    TempDir trabalho;
    std::filesystem::current_path(trabalho.Path());
    {
        TSessaoDownloader sessao(loop, servicos, registro,
                                 {{"127.0.0.1", std::to_string(lento.Port())}}, 0);
        sessao.ftpDownloader().SetTimeout(1);
        EXPECT_FALSE(sessao.Conectar());
        EXPECT_FALSE(sessao.IsControlOpen());
        EXPECT_EQ(sessao.ftpDownloader().EngineState(), fesReady);
        ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
        EXPECT_EQ(servicos.Boxes[0].Text, "A Conexão caiu por Time-out");
    }
    std::filesystem::current_path(antes);
}

// Closing the window while a step waits on a slow server ends the wait at once: the request is
// aborted and the sequence stops, instead of the window going while its handler still runs.
TEST(PrincipalLento, ClosingTheWindowEndsAWaitingSequence)
{
    QtTestApp();
    const auto antes = std::filesystem::current_path();
    TempDir trabalho;
    std::filesystem::current_path(trabalho.Path());
    {
        TempDir raiz;
        PyFtpdServer::Options opcoes;
        opcoes.Root = raiz.Path();
        opcoes.ReplyDelaySeconds = 30;
        PyFtpdServer lento(opcoes);
        platform::QtEventLoop loop;
        RecordingUserServices servicos;
        platform::RegistryHive registro;
        TSessaoDownloader sessao(loop, servicos, registro,
                                 {{"127.0.0.1", std::to_string(lento.Port())}}, 0);
        TfrmMireloDownloaderAsyncPrincipal janela(sessao);
        TfMireloDownloaderAsyncConexao conexao(servicos, QIcon(), &janela);
        janela.SetConexao(&conexao);
        janela.show();
        // Once the greeting has closed the connecting dialog, the reply to USER is held back.
        sessao.OnFechaConexao = [&] {
            conexao.Fecha();
            QTimer::singleShot(0, &janela, [&] { janela.close(); });
        };
        servicos.Answers = {true};
        janela.FormShow();
        ASSERT_EQ(servicos.Boxes.size(), 1u) << servicos.Texts();
        EXPECT_EQ(servicos.Boxes[0].Text,
                  "O Downloader está conectado com FTP: 127.0.0.1\rDeseja sair ?");
        EXPECT_FALSE(janela.isVisible());
        EXPECT_FALSE(sessao.IsControlOpen());
        EXPECT_NE(sessao.ftpDownloader().ReplyCode(), 331);
        EXPECT_EQ(janela.NoTopo()->childCount(), 0);
    }
    std::filesystem::current_path(antes);
}

}  // namespace
