#include "gui/uMireloDownloaderAsyncProxy.h"

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

TEST_F(Proxy, OkAcceptsOnlyAPortFrom1To65535)
{
    pasta.Write("proxy.ini", "S\r\nproxy.interno\r\n3128\r\n");
    TfMireloDownloaderAsyncProxy dialogo(servicos, pasta / "proxy.ini");
    dialogo.show();
    for (const char* ruim : {"", "0", "65536", "99999", "8o80", "-1", "+80", " 80"}) {
        servicos.Boxes.clear();
        dialogo.edtPorta->setText(QString::fromUtf8(ruim));
        dialogo.btnOK->click();
        ASSERT_EQ(servicos.Boxes.size(), 1u) << ruim;
        EXPECT_EQ(servicos.Boxes[0].Text, "A porta do proxy deve ser um número de 1 a 65535.");
        EXPECT_TRUE(dialogo.isVisible()) << ruim;
        EXPECT_EQ(pasta.Read("proxy.ini"), "S\r\nproxy.interno\r\n3128\r\n") << ruim;
    }
    servicos.Boxes.clear();
    for (const char* boa : {"1", "65535", "21"}) {
        dialogo.show();
        dialogo.edtPorta->setText(QString::fromUtf8(boa));
        dialogo.btnOK->click();
        EXPECT_FALSE(dialogo.isVisible()) << boa;
        EXPECT_EQ(pasta.Read("proxy.ini"), "S\r\nproxy.interno\r\n" + std::string(boa) + "\r\n");
    }
    EXPECT_TRUE(servicos.Boxes.empty()) << servicos.Texts();
}

TEST_F(Proxy, AFileThatCannotBeWrittenIsReportedAndTheDialogStays)
{
    TfMireloDownloaderAsyncProxy dialogo(servicos, pasta / "proxy.ini");
    // A folder in the file's place cannot be written, not even by root.
    std::filesystem::remove(pasta / "proxy.ini");
    std::filesystem::create_directory(pasta / "proxy.ini");
    dialogo.show();
    dialogo.cbProxy->setChecked(true);
    dialogo.edtPorta->setText(QStringLiteral("3128"));
    dialogo.btnOK->click();
    ASSERT_EQ(servicos.Boxes.size(), 1u);
    EXPECT_EQ(servicos.Boxes[0].Caption, "Atenção.");
    EXPECT_NE(servicos.Boxes[0].Text.find("proxy.ini"), std::string::npos) << servicos.Texts();
    EXPECT_TRUE(dialogo.isVisible());
    dialogo.hide();
}

}  // namespace
