#include "gui/uMireloDownloaderAsyncPastaDownload.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "download/NomesArquivo.h"
#include "download/PastaPadrao.h"
#include "platform/UserServices.h"

TfMireloDownloaderPastaDownload::TfMireloDownloaderPastaDownload(platform::UserServices& servicos,
                                                                 QWidget* parent)
    : QDialog(parent), Servicos(servicos)
{
    setWindowTitle(QStringLiteral("Pasta para Download"));
    setModal(true);
    resize(461, 147);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setReadOnly(true);
    Memo1->setPlainText(QStringLiteral(
        "A pasta para onde o Downloader irá salvar está sendo mostrada na caixa abaixo.\n"
        "Para mudar a pasta clique no botão \"Alterar\" e depois \"Ok\". Caso contrário "
        "Apenas Ok."));
    Memo1->setFrameShape(QFrame::NoFrame);
    Memo1->setFocusPolicy(Qt::NoFocus);

    Label1 = new QLabel(QStringLiteral("Pasta para Download:"), this);
    edtPastaAtual = new QLineEdit(this);
    edtPastaAtual->setReadOnly(true);
    // Screen readers name the box after its label.
    Label1->setBuddy(edtPastaAtual);
    Memo1->setAccessibleName(QStringLiteral("Instruções"));

    Button1 = new QPushButton(QStringLiteral("Ok"), this);
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Alterar"), this);
    connect(Button1, &QPushButton::clicked, this, [this] { accept(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });

    auto* linhaPasta = new QHBoxLayout;
    linhaPasta->addWidget(edtPastaAtual, 1);
    linhaPasta->addWidget(Button2);
    auto* botoes = new QHBoxLayout;
    botoes->addStretch(1);
    botoes->addWidget(Button1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Memo1, 1);
    layout->addWidget(Label1);
    layout->addLayout(linhaPasta);
    layout->addLayout(botoes);
}

std::string TfMireloDownloaderPastaDownload::EscolhePasta(const std::string& inicial)
{
    PastaEscolhida.clear();
    MostraPasta(inicial.empty() ? mirelo_download::PastaDownloadPadrao()
                                : mirelo_download::ComBarraFinal(inicial));
    exec();
    return PastaAtual();
}

void TfMireloDownloaderPastaDownload::Button2Click()
{
    const std::optional<std::string> escolhida = Servicos.ChooseFolder(
        "Selecione a Pasta onde serão baixados os Instaladores.", PastaAtual());
    // A cancelled chooser keeps the folder on show rather than falling back to the root.
    if (!escolhida || escolhida->empty())
        return;
    PastaEscolhida = mirelo_download::ComBarraFinal(*escolhida);
    MostraPasta(PastaEscolhida);
}

std::string TfMireloDownloaderPastaDownload::PastaAtual() const
{
    return QFile::encodeName(edtPastaAtual->text()).toStdString();
}

void TfMireloDownloaderPastaDownload::MostraPasta(const std::string& pasta)
{
    edtPastaAtual->setText(QFile::decodeName(QByteArray::fromStdString(pasta)));
}
