#include "gui/uMireloDownloaderAsyncBaixando.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "QtTestApp.h"

namespace {

void Clica(QWidget* alvo)
{
    // A mouse of the test's own: the default one Qt would make lives until after the
    // application object is gone and crashes the program's exit.
    const QPointingDevice mouse(QStringLiteral("mouse de teste"), 1000,
                                QInputDevice::DeviceType::Mouse,
                                QPointingDevice::PointerType::Generic,
                                QInputDevice::Capability::Position, 1, 3);
    const QPointF ponto(alvo->width() / 2.0, alvo->height() / 2.0);
    const QPointF global = alvo->mapToGlobal(ponto);
    QMouseEvent aperta(QEvent::MouseButtonPress, ponto, ponto, global, Qt::LeftButton,
                       Qt::LeftButton, Qt::NoModifier, &mouse);
    QMouseEvent solta(QEvent::MouseButtonRelease, ponto, ponto, global, Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier, &mouse);
    QApplication::sendEvent(alvo, &aperta);
    QApplication::sendEvent(alvo, &solta);
}

struct Estado {
    std::int64_t Bytes = 0;
    bool Concluida = false;
    std::function<std::int64_t()> LeBytes() { return [this] { return Bytes; }; }
    std::function<bool()> LeConcluida() { return [this] { return Concluida; }; }
};

TEST(Baixando, StartsWithTheDesignValuesAndNamesServerAndFile)
{
    QtTestApp();
    Estado estado;
    TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
    EXPECT_EQ(dialogo.windowTitle(), QStringLiteral("Salvando arquivo ..."));
    EXPECT_EQ(dialogo.lblKbAtual->text(), QStringLiteral("0000 kb"));
    EXPECT_EQ(dialogo.lblVelocidade->text(), QStringLiteral("0 kbs"));
    EXPECT_EQ(dialogo.pbBaixando->value(), 50);
    EXPECT_EQ(dialogo.Timer1->interval(), 1000);
    EXPECT_TRUE(dialogo.Timer1->isActive());

    dialogo.Inicia("127.0.0.1", "Formul\xe1rio.exe");
    EXPECT_EQ(dialogo.lblLocal->text(), QStringLiteral("Local:    127.0.0.1"));
    EXPECT_EQ(dialogo.lblSalvando->text(), QStringLiteral("Salvando: Formulário.exe"));
}

TEST(Baixando, TicksShowKilobytesSpeedAndPercentThenCloseAfterTheEnd)
{
    QtTestApp();
    Estado estado;
    TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
    dialogo.show();
    dialogo.DefineTotal(3'000'000);
    EXPECT_EQ(dialogo.lblTotal->text(), QStringLiteral("2929 kb"));

    estado.Bytes = 50;  // the bar starts at 50, so the first second counts from there
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblVelocidade->text(), QStringLiteral("??? kbs"));
    estado.Bytes = 150'050;
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblVelocidade->text(), QStringLiteral("146 kbs"));
    EXPECT_EQ(dialogo.lblKbAtual->text(), QStringLiteral("146 kb"));
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("5%"));
    EXPECT_TRUE(dialogo.Aberta());

    estado.Bytes = 3'000'000;
    estado.Concluida = true;
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblKbAtual->text(), QStringLiteral("2929 kb"));
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("100%"));
    EXPECT_EQ(dialogo.pbBaixando->value(), dialogo.pbBaixando->maximum());
    EXPECT_FALSE(dialogo.Aberta());
    EXPECT_FALSE(dialogo.isVisible());
}

TEST(Baixando, TheOwnTimerClosesTheDialogOnceTheTransferHasEnded)
{
    QtTestApp();
    Estado estado;
    estado.Bytes = 10;
    estado.Concluida = true;
    TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
    dialogo.DefineTotal(10);
    dialogo.show();
    QElapsedTimer relogio;
    relogio.start();
    while (dialogo.Aberta() && relogio.elapsed() < 10'000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_FALSE(dialogo.Aberta());
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("100%"));
}

// The run says the file has ended: the final figures show and the dialog is gone at once, not at
// its next tick, so the run does not lose a second per file. A new try is noted until data moves.
TEST(Baixando, TerminaShowsTheFinalFiguresAndClosesAtOnce)
{
    QtTestApp();
    Estado estado;
    TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
    dialogo.show();
    dialogo.DefineTotal(100);
    dialogo.Timer1Timer();
    estado.Bytes = 29;
    dialogo.Timer1Timer();
    // 71 bytes left at 29 a second.
    EXPECT_EQ(dialogo.lblTempo->text(), QStringLiteral("0:03"));
    dialogo.TentaDeNovo(2, 5);
    EXPECT_EQ(dialogo.lblAviso->text(), QStringLiteral("Tentando novamente (2 de 5)..."));
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblAviso->text(), QStringLiteral("Tentando novamente (2 de 5)..."));
    estado.Bytes = 40;
    dialogo.Timer1Timer();
    EXPECT_TRUE(dialogo.lblAviso->text().isEmpty());

    estado.Bytes = 100;
    dialogo.Termina();
    EXPECT_FALSE(dialogo.Aberta());
    EXPECT_FALSE(dialogo.isVisible());
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("100%"));
    EXPECT_EQ(dialogo.pbBaixando->value(), dialogo.pbBaixando->maximum());
    EXPECT_EQ(dialogo.lblTempo->text(), QStringLiteral("0:00"));
}

TEST(Baixando, SizeZeroShowsZeroUntilTheEndThenHundredAndStillCloses)
{
    QtTestApp();
    Estado estado;
    TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
    dialogo.show();
    dialogo.DefineTotal(0);
    EXPECT_EQ(dialogo.lblTotal->text(), QStringLiteral("0 kb"));
    estado.Bytes = 4096;
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("0%"));
    EXPECT_EQ(dialogo.lblKbAtual->text(), QStringLiteral("4 kb"));
    // Not a busy indicator: a bar with a range.
    EXPECT_GT(dialogo.pbBaixando->maximum(), 0);
    estado.Concluida = true;
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("100%"));
    EXPECT_FALSE(dialogo.Aberta());
}

TEST(Baixando, CancelarAndAClickOnTheSpeedStopTheRunOnce)
{
    QtTestApp();
    for (int jeito = 0; jeito < 3; ++jeito) {
        Estado estado;
        TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
        int cancelamentos = 0;
        dialogo.OnCancelar = [&] { ++cancelamentos; };
        dialogo.show();
        if (jeito == 0)
            dialogo.Cancelar->click();
        else if (jeito == 1)
            Clica(dialogo.lblVelocidade);
        else
            dialogo.close();  // the close box
        EXPECT_EQ(cancelamentos, 1) << jeito;
        EXPECT_FALSE(dialogo.Aberta()) << jeito;
        dialogo.Cancelar->click();
        dialogo.Timer1Timer();
        EXPECT_EQ(cancelamentos, 1) << jeito;
    }
}

TEST(Baixando, FilesBeyondTheBarsRangeAreShownInProportion)
{
    QtTestApp();
    Estado estado;
    TfrmMireloDownloaderAsyncBaixando dialogo(estado.LeBytes(), estado.LeConcluida());
    const std::int64_t seisGiga = 6LL * 1024 * 1024 * 1024;
    dialogo.DefineTotal(seisGiga);
    EXPECT_EQ(dialogo.lblTotal->text(), QStringLiteral("6291456 kb"));
    estado.Bytes = seisGiga / 2;
    dialogo.Timer1Timer();
    EXPECT_EQ(dialogo.lblPer->text(), QStringLiteral("50%"));
    EXPECT_NEAR(double(dialogo.pbBaixando->value()) / dialogo.pbBaixando->maximum(), 0.5, 0.01);
}

}  // namespace
