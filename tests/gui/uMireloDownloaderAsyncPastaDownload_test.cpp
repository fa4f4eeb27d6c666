#include "gui/uMireloDownloaderAsyncPastaDownload.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "RecordingUserServices.h"
#include "download/PastaPadrao.h"

namespace {

// Runs `acoes` once the dialog's modal loop is up.
std::string EscolheCom(TfMireloDownloaderPastaDownload& dialogo, const std::string& inicial,
                       std::function<void()> acoes)
{
    QTimer::singleShot(0, &dialogo, acoes);
    return dialogo.EscolhePasta(inicial);
}

TEST(PastaDownload, OkKeepsTheFolderShown)
{
    QtTestApp();
    RecordingUserServices servicos;
    TfMireloDownloaderPastaDownload dialogo(servicos);
    EXPECT_EQ(dialogo.windowTitle(), QStringLiteral("Pasta para Download"));
    const std::string pasta = EscolheCom(dialogo, "/dados/inst", [&] {
        EXPECT_EQ(dialogo.edtPastaAtual->text(), QStringLiteral("/dados/inst/"));
        dialogo.Button1->click();
    });
    EXPECT_EQ(pasta, "/dados/inst/");
    EXPECT_TRUE(servicos.FolderCaptions.empty());
}

TEST(PastaDownload, AlterarShowsAndReturnsTheChosenFolder)
{
    QtTestApp();
    RecordingUserServices servicos;
    servicos.Folder = "/mnt/D/Dados";
    TfMireloDownloaderPastaDownload dialogo(servicos);
    const std::string pasta = EscolheCom(dialogo, "/dados/inst/", [&] {
        dialogo.Button2->click();
        EXPECT_EQ(dialogo.edtPastaAtual->text(), QStringLiteral("/mnt/D/Dados/"));
        dialogo.Button1->click();
    });
    EXPECT_EQ(pasta, "/mnt/D/Dados/");
    EXPECT_EQ(dialogo.PastaEscolhida, "/mnt/D/Dados/");
    ASSERT_EQ(servicos.FolderCaptions.size(), 1u);
    EXPECT_EQ(servicos.FolderCaptions[0], "Selecione a Pasta onde serão baixados os Instaladores.");
}

TEST(PastaDownload, CancelledChooserKeepsTheFolderInsteadOfTheRoot)
{
    QtTestApp();
    RecordingUserServices servicos;
    servicos.Folder = std::nullopt;
    TfMireloDownloaderPastaDownload dialogo(servicos);
    const std::string pasta = EscolheCom(dialogo, "/dados/inst/", [&] {
        dialogo.Button2->click();
        dialogo.close();  // the close box returns the folder shown, like Ok
    });
    EXPECT_EQ(pasta, "/dados/inst/");
    // A chosen root stays a single "/".
    servicos.Folder = "/";
    EXPECT_EQ(EscolheCom(dialogo, "/dados/", [&] {
                  dialogo.Button2->click();
                  dialogo.Button1->click();
              }),
              "/");
}

TEST(PastaDownload, NoInitialFolderProposesTheDefaultOne)
{
    QtTestApp();
    RecordingUserServices servicos;
    TfMireloDownloaderPastaDownload dialogo(servicos);
    const std::string pasta = EscolheCom(dialogo, "", [&] { dialogo.Button1->click(); });
    EXPECT_EQ(pasta, mirelo_download::PastaDownloadPadrao());
    // The test program's folder is writable, yet a program's own folder is never proposed.
    EXPECT_NE(pasta, mirelo_download::PastaExecutavel());
}

}  // namespace
