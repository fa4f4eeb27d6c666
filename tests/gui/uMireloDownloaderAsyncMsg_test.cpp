#include "gui/uMireloDownloaderAsyncMsg.h"

#include <QIcon>
#include <QPlainTextEdit>
#include <QToolButton>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "gui/Windows1252.h"

namespace {

TEST(Windows1252, DecodesTheBytesThatDifferFromLatin1)
{
    EXPECT_EQ(DeWindows1252("Formul\xe1rios Eletr\xf4nicos"),
              QStringLiteral("Formulários Eletrônicos"));
    EXPECT_EQ(DeWindows1252("\x80 \x93x\x94 \x96 \x9f"), QString::fromUtf8("€ “x” – Ÿ"));
    // Holes of the code page stay control characters; nothing is dropped.
    EXPECT_EQ(DeWindows1252(std::string("\x81\x00z", 3)),
              QString(QChar(0x81)) + QChar(0) + QChar('z'));
}

TEST(Mensagem, ShowsTheServerTextAsPlainTextAndCloses)
{
    QtTestApp();
    TfrmMireloDownloaderAsyncMsg janela{QIcon()};
    janela.Mostra("Aten\xe7\xe3o: <b>nova vers\xe3o</b>\r\n<a href='x'>link</a>");
    EXPECT_TRUE(janela.isVisible());
    EXPECT_EQ(janela.windowTitle(), QStringLiteral("Mensagem do Orva para você."));
    EXPECT_EQ(janela.mmMsg->toPlainText(),
              QStringLiteral("Atenção: <b>nova versão</b>\n<a href='x'>link</a>"));
    EXPECT_TRUE(janela.mmMsg->isReadOnly());
    EXPECT_EQ(janela.btnFechar->text(), QStringLiteral("Fechar "));
    janela.btnFechar->click();
    EXPECT_FALSE(janela.isVisible());
}

}  // namespace
