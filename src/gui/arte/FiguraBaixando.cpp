// Draws the README's picture of the progress dialog as it stands in the middle of a file:
//   mirelo-figura-baixando SAIDA.png
// Run by scripts/screenshot, without a display (Qt's offscreen platform).
#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "gui/uMireloDownloaderAsyncBaixando.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mirelo-figura-baixando OUTPUT.png\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::int64_t recebidos = 0;
    TfrmMireloDownloaderAsyncBaixando dialogo([&recebidos] { return recebidos; },
                                              [] { return false; });
    dialogo.Inicia("ftp.orva.org.br", "setup.exe");
    dialogo.DefineTotal(300000);
    dialogo.show();
    // Two ticks a second apart in the dialog's eyes: the figures of a file two thirds on its way.
    dialogo.Timer1Timer();
    recebidos = 200000;
    dialogo.Timer1Timer();
    // The labels' new widths take effect once the layout has run.
    QCoreApplication::processEvents();
    const bool salvo = dialogo.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    dialogo.Termina();
    return salvo ? 0 : 1;
}
