#include "gui/uMireloDownloaderAsyncMsg.h"

#include <QFont>
#include <QIcon>
#include <QPlainTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "gui/Windows1252.h"

TfrmMireloDownloaderAsyncMsg::TfrmMireloDownloaderAsyncMsg(const QIcon& imagemFechar,
                                                           QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Mensagem do Orva para você."));

    auto* barra = new QToolBar(this);
    barra->setMovable(false);
    barra->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnFechar = new QToolButton(barra);
    btnFechar->setText(QStringLiteral("Fechar "));
    btnFechar->setIcon(imagemFechar);
    btnFechar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnFechar->setAutoRaise(true);
    barra->addWidget(btnFechar);
    connect(btnFechar, &QToolButton::clicked, this, [this] { close(); });

    mmMsg = new QPlainTextEdit(this);
    mmMsg->setReadOnly(true);
    mmMsg->setAccessibleName(QStringLiteral("Mensagem do Orva"));
    QFont fonte = mmMsg->font();
    fonte.setBold(true);
    fonte.setPixelSize(13);
    mmMsg->setFont(fonte);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(barra);
    layout->addWidget(mmMsg, 1);
    resize(474, 339);
}

void TfrmMireloDownloaderAsyncMsg::Mostra(const std::string& mensagem)
{
    // QPlainTextEdit never interprets markup, whatever the server wrote.
    mmMsg->setPlainText(DeWindows1252(mensagem));
    show();
    raise();
}
