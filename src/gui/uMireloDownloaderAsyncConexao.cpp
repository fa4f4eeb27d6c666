#include "gui/uMireloDownloaderAsyncConexao.h"

#include <QFont>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "platform/UserServices.h"

namespace {

constexpr int kIntervaloMs = 10;
constexpr int kVoltasAtePergunta = 300;
// The target server follows "anonymous@" in the proxy user name.
constexpr std::size_t kInicioAlvo = 10;
constexpr std::size_t kMaxAlvo = 50;

}  // namespace

TfMireloDownloaderAsyncConexao::TfMireloDownloaderAsyncConexao(platform::UserServices& servicos,
                                                               const QIcon& imagemCancelar,
                                                               QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      Servicos(servicos)
{
    setWindowTitle(QStringLiteral("Conectando..."));
    setModal(true);

    btnCancelar = new QToolButton(this);
    btnCancelar->setText(QStringLiteral("    Cancelar   "));
    btnCancelar->setIcon(imagemCancelar);
    btnCancelar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnCancelar->setAutoRaise(true);
    connect(btnCancelar, &QToolButton::clicked, this, [this] { btnCancelarClick(); });

    auto* Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setFrameShadow(QFrame::Raised);
    auto* legenda = new QLabel(QStringLiteral("Conectando com:"), Panel1);
    lblFTP = new QLabel(Panel1);
    lblFTP->setTextFormat(Qt::PlainText);
    QFont fonte = lblFTP->font();
    fonte.setBold(true);
    fonte.setPixelSize(16);
    lblFTP->setFont(fonte);
    QPalette paleta = lblFTP->palette();
    paleta.setColor(QPalette::WindowText, QColor(0, 0, 0x80));
    lblFTP->setPalette(paleta);
    auto* painel = new QHBoxLayout(Panel1);
    painel->setContentsMargins(6, 2, 6, 2);
    painel->addWidget(legenda);
    painel->addWidget(lblFTP, 1);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setMaximumHeight(14);
    ProgressBar1->setAccessibleName(QStringLiteral("Conectando"));
    lblFTP->setAccessibleDescription(QStringLiteral("Servidor FTP"));

    auto* topo = new QHBoxLayout;
    topo->addWidget(btnCancelar);
    topo->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addLayout(topo);
    layout->addWidget(Panel1, 1);
    layout->addWidget(ProgressBar1);
    resize(402, 85);

    Timer1 = new QTimer(this);
    Timer1->setInterval(kIntervaloMs);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

std::string TfMireloDownloaderAsyncConexao::NomeDoServidor(const std::string& usaProxy,
                                                           const std::string& hostName,
                                                           const std::string& userName)
{
    if (usaProxy != "S")
        return hostName;
    if (userName.size() <= kInicioAlvo)
        return std::string();
    return userName.substr(kInicioAlvo, kMaxAlvo);
}

std::string TfMireloDownloaderAsyncConexao::TextoPergunta(const std::string& hostName)
{
    return "Não foi possível a conexão com o FTP: " + hostName + "\r" +
           "Tente fazer a configuração de Proxy, ou" + "\r" + "deseja conectar com o Orva ?";
}

void TfMireloDownloaderAsyncConexao::Mostra(const std::string& usaProxy,
                                            const std::string& hostName,
                                            const std::string& userName)
{
    HostName = hostName;
    Fechando = false;
    lblFTP->setText(QString::fromStdString(NomeDoServidor(usaProxy, hostName, userName)));
    Timer1->start();
    exec();
    Timer1->stop();
}

void TfMireloDownloaderAsyncConexao::Fecha()
{
    Timer1->stop();
    if (isVisible())
        done(QDialog::Accepted);
}

void TfMireloDownloaderAsyncConexao::Timer1Timer()
{
    if (ProgressBar1->value() >= ProgressBar1->maximum()) {
        ProgressBar1->setValue(0);
        ++Voltas_;
        if (Voltas_ > kVoltasAtePergunta) {
            // No ticks while the question is open.
            Timer1->stop();
            const bool desiste = Servicos.AskYesNo("Atenção", TextoPergunta(HostName),
                                                   platform::UserServices::Icon::Error);
            // The dialog may have been closed while the question was open.
            if (!desiste && isVisible())
                Timer1->start();
        }
        return;
    }
    ProgressBar1->setValue(ProgressBar1->value() + 1);
}

void TfMireloDownloaderAsyncConexao::btnCancelarClick()
{
    if (Fechando)
        return;
    Fechando = true;
    Timer1->stop();
    if (OnCancelar)
        OnCancelar();
    if (isVisible())
        done(QDialog::Rejected);
}

void TfMireloDownloaderAsyncConexao::reject()
{
    // Escape and the close box give up like Cancelar.
    btnCancelarClick();
}
