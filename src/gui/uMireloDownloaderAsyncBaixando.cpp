#include "gui/uMireloDownloaderAsyncBaixando.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <climits>

#include "download/ContaBaixando.h"
#include "gui/Widgets.h"
#include "gui/Windows1252.h"

namespace {

constexpr int kIntervaloMs = 1000;

QLabel* Rotulo(const QString& texto, QWidget* parent)
{
    auto* rotulo = new QLabel(texto, parent);
    rotulo->setTextFormat(Qt::PlainText);
    return rotulo;
}

}  // namespace

TfrmMireloDownloaderAsyncBaixando::TfrmMireloDownloaderAsyncBaixando(
    std::function<std::int64_t()> bytesRecebidos, std::function<bool()> transferenciaConcluida,
    QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      BytesRecebidos(std::move(bytesRecebidos)),
      TransferenciaConcluida(std::move(transferenciaConcluida))
{
    setWindowTitle(QStringLiteral("Salvando arquivo ..."));
    setWindowModality(Qt::ApplicationModal);
    setFixedSize(345, 175);

    lblLocal = Rotulo(QStringLiteral("Local:"), this);
    lblSalvando = Rotulo(QStringLiteral("Salvando:"), this);
    lblKbAtual = Rotulo(QStringLiteral("0000 kb"), this);
    lblTotal = Rotulo(QStringLiteral("0000 kb"), this);
    // The speed label doubles as a stop button.
    auto* velocidade = new TRotuloClicavel(QStringLiteral("0 kbs"), this);
    velocidade->setCursor(Qt::PointingHandCursor);
    velocidade->OnClick = [this] { CancelarClick(); };
    lblVelocidade = velocidade;
    lblPer = Rotulo(QStringLiteral("0%"), this);
    lblTempo = Rotulo(QString(), this);
    lblAviso = Rotulo(QString(), this);

    pbBaixando = new QProgressBar(this);
    pbBaixando->setTextVisible(false);
    pbBaixando->setRange(0, 100);
    pbBaixando->setValue(50);
    pbBaixando->setAccessibleName(QStringLiteral("Progresso do arquivo"));

    Cancelar = new QPushButton(QStringLiteral("Cancelar"), this);
    connect(Cancelar, &QPushButton::clicked, this, [this] { CancelarClick(); });

    auto* status = new QHBoxLayout;
    status->addWidget(Rotulo(QStringLiteral("Status:"), this));
    status->addWidget(lblKbAtual);
    status->addWidget(Rotulo(QStringLiteral("de"), this));
    status->addWidget(lblTotal);
    status->addWidget(Rotulo(QStringLiteral("a"), this));
    status->addWidget(lblVelocidade);
    status->addStretch(1);

    auto* barra = new QHBoxLayout;
    barra->addWidget(pbBaixando, 1);
    barra->addWidget(lblPer);

    auto* tempo = new QHBoxLayout;
    tempo->addWidget(Rotulo(QStringLiteral("Tempo Restante:"), this));
    tempo->addWidget(lblTempo);
    tempo->addStretch(1);

    auto* botoes = new QHBoxLayout;
    botoes->addWidget(lblAviso);
    botoes->addStretch(1);
    botoes->addWidget(Cancelar);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblLocal);
    layout->addWidget(lblSalvando);
    layout->addLayout(status);
    layout->addLayout(tempo);
    layout->addLayout(barra);
    layout->addLayout(botoes);

    Timer1 = new QTimer(this);
    Timer1->setInterval(kIntervaloMs);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    Timer1->start();
}

void TfrmMireloDownloaderAsyncBaixando::Inicia(const std::string& hostName,
                                               const std::string& nomeArquivo)
{
    lblLocal->setText(QStringLiteral("Local:    ") + QString::fromStdString(hostName));
    lblSalvando->setText(QStringLiteral("Salvando: ") + DeWindows1252(nomeArquivo));
}

void TfrmMireloDownloaderAsyncBaixando::DefineTotal(std::int64_t tamanho)
{
    Maximo_ = std::max<std::int64_t>(tamanho, 0);
    Posicao_ = std::min(Posicao_, Maximo_);
    lblTotal->setText(QString::fromStdString(mirelo_download::TextoTotal(tamanho)));
    MostraPosicao();
}

void TfrmMireloDownloaderAsyncBaixando::Timer1Timer()
{
    if (!Aberta_)
        return;
    Media.Registra(BytesRecebidos());
    MostraLeitura();
    if (Concluida())
        accept();
}

void TfrmMireloDownloaderAsyncBaixando::Termina()
{
    Terminada = true;
    if (!Aberta_)
        return;
    MostraLeitura();
    accept();
}

void TfrmMireloDownloaderAsyncBaixando::TentaDeNovo(int tentativa, int maximo)
{
    ContagemDoAviso = BytesRecebidos();
    lblAviso->setText(QString::fromStdString(mirelo_download::TextoTentativa(tentativa, maximo)));
}

void TfrmMireloDownloaderAsyncBaixando::MostraLeitura()
{
    const std::int64_t contagem = BytesRecebidos();
    const mirelo_download::LeituraBaixando leitura =
        mirelo_download::CalculaTick(contagem, Maximo_, Concluida(), Media);
    Posicao_ = leitura.Posicao;
    lblKbAtual->setText(QString::fromStdString(leitura.KbAtual));
    lblVelocidade->setText(QString::fromStdString(leitura.Velocidade));
    lblPer->setText(QString::fromStdString(leitura.Percentual));
    lblTempo->setText(QString::fromStdString(leitura.TempoRestante));
    if (ContagemDoAviso >= 0 && contagem > ContagemDoAviso) {
        ContagemDoAviso = -1;
        lblAviso->clear();
    }
    MostraPosicao();
}

void TfrmMireloDownloaderAsyncBaixando::CancelarClick()
{
    if (!Aberta_ || Cancelando)
        return;
    Cancelando = true;
    if (OnCancelar)
        OnCancelar();
    QDialog::reject();
}

void TfrmMireloDownloaderAsyncBaixando::reject()
{
    // The close box and Escape stop the run like Cancelar rather than hide the window while
    // the run goes on with the next file behind the user's back.
    CancelarClick();
}

void TfrmMireloDownloaderAsyncBaixando::done(int resultado)
{
    Timer1->stop();
    Aberta_ = false;
    QDialog::done(resultado);
}

void TfrmMireloDownloaderAsyncBaixando::MostraPosicao()
{
    // The bar's range is an int: files beyond it are shown in proportion.
    const std::int64_t escala = Maximo_ > INT_MAX ? Maximo_ / INT_MAX + 1 : 1;
    const int maximo = static_cast<int>(Maximo_ / escala);
    // A bar with the range 0 … 0 turns into a busy indicator; an empty one is a plain bar.
    pbBaixando->setRange(0, maximo > 0 ? maximo : 1);
    pbBaixando->setValue(maximo > 0 ? static_cast<int>(Posicao_ / escala)
                                    : (Concluida() ? 1 : 0));
}
