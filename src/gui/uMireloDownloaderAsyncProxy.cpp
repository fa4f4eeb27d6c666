#include "gui/uMireloDownloaderAsyncProxy.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "catalogue/ProxySettings.h"
#include "catalogue/TextFile.h"
#include "gui/Windows1252.h"
#include "platform/UserServices.h"

namespace {

// The file keeps single-byte text; what the user typed goes back in Windows-1252's Latin-1 half.
std::string ParaArquivo(const QString& texto)
{
    return texto.toLatin1().toStdString();
}

}  // namespace

TfMireloDownloaderAsyncProxy::TfMireloDownloaderAsyncProxy(platform::UserServices& servicos,
                                                           std::string caminho, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      Servicos(servicos),
      Caminho(std::move(caminho))
{
    setWindowTitle(QStringLiteral("Configuração de Proxy."));

    cbProxy = new QCheckBox(QStringLiteral("Usar Proxy"), this);
    // The label stands on the left of the box.
    cbProxy->setLayoutDirection(Qt::RightToLeft);
    auto* Label1 = new QLabel(QStringLiteral("Proxy:"), this);
    edtProxy = new QLineEdit(this);
    auto* Label2 = new QLabel(QStringLiteral("Port:"), this);
    edtPorta = new QLineEdit(QStringLiteral("3128"), this);
    // Screen readers name each box after its label.
    Label1->setBuddy(edtProxy);
    Label2->setBuddy(edtPorta);
    // Only digits can be typed; OK checks the range.
    edtPorta->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,5}")), edtPorta));
    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnCancelar = new QPushButton(QStringLiteral("Cancelar"), this);
    connect(btnOK, &QPushButton::clicked, this, [this] { btnOKClick(); });
    connect(btnCancelar, &QPushButton::clicked, this, [this] { btnCancelarClick(); });

    auto* grade = new QGridLayout;
    grade->addWidget(cbProxy, 0, 0, 1, 2, Qt::AlignLeft);
    grade->addWidget(Label1, 1, 0);
    grade->addWidget(edtProxy, 1, 1);
    grade->addWidget(Label2, 2, 0);
    grade->addWidget(edtPorta, 2, 1);
    auto* botoes = new QHBoxLayout;
    botoes->addStretch(1);
    botoes->addWidget(btnOK);
    botoes->addWidget(btnCancelar);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grade);
    layout->addStretch(1);
    layout->addLayout(botoes);
    setFixedSize(300, 143);

    try {
        const catalogue::ConfiguracaoProxy configuracao = catalogue::LeProxyDoDialogo(Caminho);
        cbProxy->setChecked(configuracao.UsaProxy == "S");
        edtProxy->setText(DeWindows1252(configuracao.ProxyServidor));
        edtPorta->setText(DeWindows1252(configuracao.ProxyPorta));
    } catch (const catalogue::EInOutError& erro) {
        Servicos.ShowMessage("Atenção.", erro.what(), platform::UserServices::Icon::Error);
    }
}

bool TfMireloDownloaderAsyncProxy::PortaValida(const QString& texto)
{
    if (texto.isEmpty() || texto.size() > 5)
        return false;
    for (const QChar c : texto)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    const int porta = texto.toInt();
    return porta >= 1 && porta <= 65535;
}

void TfMireloDownloaderAsyncProxy::btnOKClick()
{
    if (!PortaValida(edtPorta->text())) {
        // Nothing is saved: the user corrects the port or cancels.
        Servicos.ShowMessage("Atenção.", "A porta do proxy deve ser um número de 1 a 65535.",
                             platform::UserServices::Icon::Error);
        edtPorta->setFocus();
        edtPorta->selectAll();
        return;
    }
    catalogue::ConfiguracaoProxy configuracao;
    configuracao.UsaProxy = cbProxy->isChecked() ? "S" : "N";
    configuracao.ProxyServidor = ParaArquivo(edtProxy->text());
    configuracao.ProxyPorta = ParaArquivo(edtPorta->text());
    try {
        catalogue::GravaProxyIni(Caminho, configuracao);
    } catch (const catalogue::EInOutError& erro) {
        // Nothing was saved: the dialog stays open so the user can try again or cancel.
        Servicos.ShowMessage("Atenção.", erro.what(), platform::UserServices::Icon::Error);
        return;
    }
    accept();
}

void TfMireloDownloaderAsyncProxy::btnCancelarClick()
{
    // The edits keep what was typed: the next showing displays it, not the file.
    reject();
}
