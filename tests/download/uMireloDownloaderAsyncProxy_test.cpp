#include "download/uMireloDownloaderAsyncProxy.h"

#include <filesystem>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "RecordingUserServices.h"
#include "TempDir.h"

namespace {

class Proxy : public ::testing::Test {
protected:
    Proxy() { QtTestApp(); }
    TempDir pasta;
    RecordingUserServices servicos;
};

TEST_F(Proxy, AMissingFileIsCreatedWithNAndTwoEmptyLines)
{
    TfMireloDownloaderAsyncProxy dialogo(servicos, pasta / "proxy.ini");
    EXPECT_EQ(pasta.Read("proxy.ini"), "N\r\n\r\n\r\n");
    EXPECT_FALSE(dialogo.cbProxy->isChecked());
    EXPECT_TRUE(dialogo.edtProxy->text().isEmpty());
    EXPECT_EQ(dialogo.windowTitle(), QStringLiteral("Configuração de Proxy."));
    EXPECT_TRUE(servicos.Boxes.empty());
}

TEST_F(Proxy, ShowsTheFileAndOnlyAnExactSTicksTheBox)
{
    pasta.Write("proxy.ini", "s\r\nproxy.interno\r\n8021\r\n");
    TfMireloDownloaderAsyncProxy minusculo(servicos, pasta / "proxy.ini");
    EXPECT_FALSE(minusculo.cbProxy->isChecked());
    EXPECT_EQ(minusculo.edtProxy->text(), QStringLiteral("proxy.interno"));
    EXPECT_EQ(minusculo.edtPorta->text(), QStringLiteral("8021"));

    pasta.Write("proxy.ini", "S\r\nproxy.interno\r\n");
    TfMireloDownloaderAsyncProxy ligado(servicos, pasta / "proxy.ini");
    EXPECT_TRUE(ligado.cbProxy->isChecked());
    EXPECT_TRUE(ligado.edtPorta->text().isEmpty());
}

TEST_F(Proxy, OkWritesTheThreeLinesAndCancelarKeepsTheEdits)
{
    TfMireloDownloaderAsyncProxy dialogo(servicos, pasta / "proxy.ini");
    dialogo.cbProxy->setChecked(true);
    dialogo.edtProxy->setText(QStringLiteral("proxy.sé"));
    dialogo.edtPorta->setText(QStringLiteral("3128"));
    dialogo.btnOK->click();
    EXPECT_EQ(pasta.Read("proxy.ini"), "S\r\nproxy.s\xe9\r\n3128\r\n");
    EXPECT_EQ(dialogo.result(), QDialog::Accepted);

    dialogo.edtProxy->setText(QStringLiteral("outro"));
    dialogo.btnCancelar->click();
    EXPECT_EQ(dialogo.result(), QDialog::Rejected);
    EXPECT_EQ(pasta.Read("proxy.ini"), "S\r\nproxy.s\xe9\r\n3128\r\n");
    EXPECT_EQ(dialogo.edtProxy->text(), QStringLiteral("outro"));
}

TEST_F(Proxy, AFileThatCannotBeWrittenIsReportedAndTheDialogStays)
{
    TfMireloDownloaderAsyncProxy dialogo(servicos, pasta / "proxy.ini");
    // A folder in the file's place cannot be written, not even by root.
    std::filesystem::remove(pasta / "proxy.ini");
    std::filesystem::create_directory(pasta / "proxy.ini");
    dialogo.show();
    dialogo.cbProxy->setChecked(true);
    dialogo.btnOK->click();
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção.");
    EXPECT_NE(servicos.Boxes[0].Text.find("proxy.ini"), std::string::npos) << servicos.Texts();
    EXPECT_TRUE(dialogo.isVisible());
    dialogo.hide();
}

}  // namespace
