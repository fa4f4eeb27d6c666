#include "gui/uMireloDownloaderAsyncPrincipal.h"

#include <exception>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QLocale>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "catalogue/MirrorList.h"
#include "catalogue/TextFile.h"
#include "catalogue/TextHelpers.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/Imagens.h"
#include "gui/Jpeg.h"
#include "gui/Widgets.h"
#include "gui/Windows1252.h"
#include "gui/uMireloDownloaderAsyncConexao.h"
#include "gui/uMireloDownloaderAsyncMsg.h"
#include "gui/uMireloDownloaderAsyncProxy.h"
#include "platform/UserServices.h"

namespace {

using namespace mirelo_app;

const QString kSublinhado = QStringLiteral("______________________________");
const QString kDicaColapso =
    QStringLiteral("Clique duas vezes para marcar ou desmarcar os componentes.");
const QString kArvoreSemConexao =
    QStringLiteral("Sem conexão com o FTP: use Arquivo > Reconectar para tentar de novo.");
constexpr int kRoleImagem = Qt::UserRole + 1;

// The window's font is "MS Sans Serif" 8 pt; on a machine without it, the nearest sans serif.
QString FamiliaDisponivel(std::initializer_list<const char*> preferidas)
{
    const QStringList familias = QFontDatabase::families();
    for (const char* nome : preferidas)
        if (familias.contains(QLatin1String(nome), Qt::CaseInsensitive))
            return QLatin1String(nome);
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

QFont Fonte(std::initializer_list<const char*> preferidas, int pontos, bool negrito = false)
{
    QFont fonte(FamiliaDisponivel(preferidas), pontos);
    fonte.setBold(negrito);
    return fonte;
}

QFont FonteJanela(int pontos = 8, bool negrito = false)
{
    return Fonte({"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arimo",
                  "DejaVu Sans"},
                 pontos, negrito);
}

void CorDoTexto(QWidget* controle, const QColor& cor)
{
    QPalette paleta = controle->palette();
    paleta.setColor(QPalette::WindowText, cor);
    paleta.setColor(QPalette::Text, cor);
    controle->setPalette(paleta);
}

QLabel* RotuloValor(QWidget* parent)
{
    auto* rotulo = new QLabel(kSublinhado, parent);
    // Names and descriptions come from the server: never markup.
    rotulo->setTextFormat(Qt::PlainText);
    return rotulo;
}

QFrame* Linha(QWidget* parent)
{
    auto* linha = new QFrame(parent);
    linha->setFrameShape(QFrame::HLine);
    linha->setFrameShadow(QFrame::Sunken);
    return linha;
}

}  // namespace

std::string TfrmMireloDownloaderAsyncPrincipal::LinhaInstalacao(
    const catalogue::TEstruturaComp& componente, const QLocale& local)
{
    // The locale's separators as single bytes; one outside Windows-1252's Latin-1 half (a narrow
    // no-break space, say) becomes a blank.
    auto separador = [](const QString& texto) {
        const QChar c = texto.isEmpty() ? QChar(' ') : texto.front();
        return std::string(1, c.unicode() < 0x100 ? static_cast<char>(c.unicode()) : ' ');
    };
    return catalogue::LinhaInstalacao(componente, separador(local.decimalPoint()),
                                      separador(local.groupSeparator()));
}

// ---------------------------------------------------------------------------------------------
// Busy guard

TfrmMireloDownloaderAsyncPrincipal::TOcupado::TOcupado(TfrmMireloDownloaderAsyncPrincipal* janela)
    : Janela(janela)
{
    if (Janela->Ocupacoes++ == 0)
        Janela->HabilitaControles();
}

TfrmMireloDownloaderAsyncPrincipal::TOcupado::TOcupado(TOcupado&& outro) noexcept
    : Janela(outro.Janela)
{
    outro.Janela = nullptr;
}

TfrmMireloDownloaderAsyncPrincipal::TOcupado::~TOcupado()
{
    if (Janela != nullptr && --Janela->Ocupacoes == 0)
        Janela->HabilitaControles();
}

TfrmMireloDownloaderAsyncPrincipal::TOcupado TfrmMireloDownloaderAsyncPrincipal::Ocupa()
{
    return TOcupado(this);
}

void TfrmMireloDownloaderAsyncPrincipal::HabilitaControles()
{
    const bool livre = Ocupacoes == 0;
    if (!livre)
        GuardaFoco();
    treParent->setEnabled(livre);
    cbSiteReplicadores->setEnabled(livre);
    for (QWidget* legenda : {static_cast<QWidget*>(lblNome), static_cast<QWidget*>(lblVersao),
                             static_cast<QWidget*>(lblInstalacao),
                             static_cast<QWidget*>(lblVerificaVersao)})
        legenda->setEnabled(livre);
    Proxy1->setEnabled(livre);
    Reconectar1->setEnabled(livre);
    const int nivel = NivelDoNo(treParent->currentItem());
    // Without components read for the selected installation there is nothing to download.
    btnBaixar->setEnabled(livre && (nivel == 2 || nivel == 3) && Sessao.Componentes.Count() > 0);
    if (livre)
        DevolveFoco();
}

void TfrmMireloDownloaderAsyncPrincipal::GuardaFoco()
{
    if (FocoGuardado)
        return;
    FocoGuardado = true;
    QWidget* foco = focusWidget();
    FocoAntes = foco;
    // Disabling the control that has the focus hands it to the next one in the chain, the FTP
    // list among them, whose arrow keys would switch the server: the window holds it instead.
    const bool seraDesabilitado = foco == treParent || foco == cbSiteReplicadores ||
                                  foco == btnBaixar || pnlDados->isAncestorOf(foco);
    if (foco == nullptr || seraDesabilitado)
        setFocus(Qt::OtherFocusReason);
}

void TfrmMireloDownloaderAsyncPrincipal::DevolveFoco()
{
    if (!FocoGuardado)
        return;
    FocoGuardado = false;
    // The user may have moved on meanwhile (to the tool button, say): that stays.
    if (QWidget* agora = focusWidget(); agora != nullptr && agora != this)
        return;
    QWidget* volta = FocoAntes;
    if (volta == nullptr || !volta->isEnabled() || !volta->isVisibleTo(this) ||
        volta->focusPolicy() == Qt::NoFocus)
        volta = treParent;
    volta->setFocus(Qt::OtherFocusReason);
}

bool TfrmMireloDownloaderAsyncPrincipal::eventFilter(QObject* objeto, QEvent* evento)
{
    if (evento->type() == QEvent::KeyPress) {
        const int tecla = static_cast<QKeyEvent*>(evento)->key();
        const bool marca = tecla == Qt::Key_Space || tecla == Qt::Key_Return ||
                           tecla == Qt::Key_Enter || tecla == Qt::Key_Select;
        // Space and Enter do for the current component what a click does.
        if (objeto == treParent && marca) {
            Protegido([this] { treParentClick(); });
            return true;
        }
        // On the FTP list the keys that would step to the next server open the list instead,
        // so a server changes only when one is chosen there (Enter or a click).
        const bool passo = tecla == Qt::Key_Up || tecla == Qt::Key_Down ||
                           tecla == Qt::Key_PageUp || tecla == Qt::Key_PageDown ||
                           tecla == Qt::Key_Home || tecla == Qt::Key_End;
        if (objeto == cbSiteReplicadores && (passo || marca)) {
            if (cbSiteReplicadores->count() > 0)
                cbSiteReplicadores->showPopup();
            return true;
        }
    }
    // Nor does the mouse wheel passing over the list switch the server.
    if (objeto == cbSiteReplicadores && evento->type() == QEvent::Wheel) {
        evento->ignore();
        return true;
    }
    return QMainWindow::eventFilter(objeto, evento);
}

// ---------------------------------------------------------------------------------------------
// Creation

TfrmMireloDownloaderAsyncPrincipal::TfrmMireloDownloaderAsyncPrincipal(TSessaoDownloader& sessao)
    : Sessao(sessao)
{
    setWindowTitle(QStringLiteral("Downloader dos Formulários Eletrônicos Mirelo"));
    setFont(FonteJanela());
    setWindowIcon(IconeLogotipo());

    CriaMenu();
    CriaBandas();

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(CriaCabecalho());
    auto* divisor = new QSplitter(Qt::Horizontal, central);
    divisor->addWidget(CriaArvore());
    divisor->addWidget(CriaDetalhes());
    divisor->setStretchFactor(0, 0);
    divisor->setStretchFactor(1, 1);
    divisor->setSizes({260, 475});
    layout->addWidget(divisor, 1);
    setCentralWidget(central);
    CriaBarraDeStatus();
    resize(735, 505);
    Sessao.OnServidorEmUso = [this] { MostraServidor(); };

    // Tab goes through the controls as they stand on the screen, top to bottom.
    setTabOrder(ToolButton3, cbSiteReplicadores);
    setTabOrder(cbSiteReplicadores, Image1);
    setTabOrder(Image1, treParent);
    setTabOrder(treParent, btnBaixar);
    setTabOrder(btnBaixar, Panel2);

    HabilitaControles();
}

TfrmMireloDownloaderAsyncPrincipal::~TfrmMireloDownloaderAsyncPrincipal()
{
    Sessao.OnServidorEmUso = nullptr;
}

void TfrmMireloDownloaderAsyncPrincipal::SetConexao(TfMireloDownloaderAsyncConexao* dialogo)
{
    Conexao = dialogo;
    Sessao.OnMostraConexao = [this] {
        if (Conexao != nullptr)
            Conexao->Mostra(Sessao.UsaProxy, Sessao.HostName(), Sessao.UserName());
    };
    Sessao.OnFechaConexao = [this] {
        if (Conexao != nullptr)
            Conexao->Fecha();
    };
    if (Conexao != nullptr)
        Conexao->OnCancelar = [this] { Sessao.Desiste(); };
}

void TfrmMireloDownloaderAsyncPrincipal::SetDialogoProxy(TfMireloDownloaderAsyncProxy* dialogo)
{
    DialogoProxy = dialogo;
}

QIcon TfrmMireloDownloaderAsyncPrincipal::ImagemBarra(int indice)
{
    return indice == 1 ? IconeCancelar() : IconeSair();
}

void TfrmMireloDownloaderAsyncPrincipal::Dica(QWidget* controle, const QString& texto)
{
    controle->setToolTip(texto);
    controle->setStatusTip(texto);
}

void TfrmMireloDownloaderAsyncPrincipal::CriaMenu()
{
    QMenu* arquivo = menuBar()->addMenu(QStringLiteral("&Arquivo"));
    Reconectar1 = arquivo->addAction(QStringLiteral("Reconectar"));
    connect(Reconectar1, &QAction::triggered, this,
            [this] { Protegido([this] { Conectar(); }); });
    Proxy1 = arquivo->addAction(QStringLiteral("Proxy"));
    connect(Proxy1, &QAction::triggered, this, [this] { Protegido([this] { Proxy1Click(); }); });
    arquivo->addSeparator();
    Sair1 = arquivo->addAction(QStringLiteral("&Sair"));
    connect(Sair1, &QAction::triggered, this, [this] { close(); });
    QMenu* ajuda = menuBar()->addMenu(QStringLiteral("Ajuda"));
    Sobre1 = ajuda->addAction(QStringLiteral("&Sobre"));
    connect(Sobre1, &QAction::triggered, this, [this] { Protegido([this] { Sobre1Click(); }); });
}

void TfrmMireloDownloaderAsyncPrincipal::CriaBandas()
{
    auto* banda1 = addToolBar(QStringLiteral("Sair"));
    banda1->setMovable(false);
    ToolButton3 = new QToolButton(banda1);
    ToolButton3->setIcon(ImagemBarra(0));
    ToolButton3->setAutoRaise(true);
    ToolButton3->setToolButtonStyle(Qt::ToolButtonIconOnly);
    Dica(ToolButton3, QStringLiteral("Sair"));
    connect(ToolButton3, &QToolButton::clicked, this, [this] { close(); });
    banda1->addWidget(ToolButton3);

    auto* banda2 = addToolBar(QStringLiteral("Escolha aqui o endereço do FTP:"));
    banda2->setMovable(false);
    banda2->addWidget(new QLabel(QStringLiteral(" Escolha aqui o endereço do FTP: "), banda2));
    cbSiteReplicadores = new QComboBox(banda2);
    cbSiteReplicadores->setEditable(false);
    cbSiteReplicadores->setMinimumWidth(380);
    cbSiteReplicadores->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(cbSiteReplicadores, &QComboBox::activated, this,
            [this](int indice) { Protegido([this, indice] { cbSiteReplicadoresChange(indice); }); });
    cbSiteReplicadores->installEventFilter(this);
    cbSiteReplicadores->setAccessibleName(QStringLiteral("Endereço do FTP"));
    cbSiteReplicadores->setAccessibleDescription(
        QStringLiteral("Servidores espelho; Enter ou um clique num servidor conecta a ele."));
    banda2->addWidget(cbSiteReplicadores);
}

QWidget* TfrmMireloDownloaderAsyncPrincipal::CriaCabecalho()
{
    auto* cabecalho = new TPainelFundo(ArteCabecalho(735, 70, devicePixelRatioF()).toImage(), this);
    cabecalho->setFixedHeight(70);
    cabecalho->setAutoFillBackground(true);
    QPalette paleta = cabecalho->palette();
    paleta.setColor(QPalette::Window, kAzulCabecalho);
    cabecalho->setPalette(paleta);

    auto* logo = new TRotuloClicavel(cabecalho);
    Image1 = logo;
    Image1->setPixmap(Logotipo(devicePixelRatioF()));
    Image1->setCursor(Qt::PointingHandCursor);
    Dica(Image1, QStringLiteral("Clique aqui para abrir a página do Orva."));
    // A link like the help-desk strip: reached with Tab, opened with Enter or Space.
    Image1->setFocusPolicy(Qt::StrongFocus);
    Image1->setAccessibleName(QStringLiteral("Página do Orva"));
    Image1->setAccessibleDescription(
        QStringLiteral("Logotipo do Orva; abre a página ") + QString::fromUtf8(kPaginaOrva) +
        QStringLiteral(" no navegador."));
    logo->OnClick = [this] { Protegido([this] { Image1Click(); }); };

    auto* titulo = new QLabel(QStringLiteral("Downloader Mirelo"), cabecalho);
    titulo->setFont(Fonte({"Arial", "Liberation Sans", "Arimo", "DejaVu Sans"}, 18, true));
    CorDoTexto(titulo, Qt::white);
    auto* versao = new QLabel(QStringLiteral("Ver.: 2.0"), cabecalho);
    CorDoTexto(versao, Qt::white);

    auto* layout = new QHBoxLayout(cabecalho);
    layout->setContentsMargins(8, 3, 12, 3);
    layout->addWidget(Image1);
    layout->addSpacing(10);
    layout->addWidget(titulo);
    layout->addStretch(1);
    layout->addWidget(versao, 0, Qt::AlignBottom);
    return cabecalho;
}

QWidget* TfrmMireloDownloaderAsyncPrincipal::CriaArvore()
{
    auto* painel = new QWidget(this);
    auto* titulo = new QLabel(QStringLiteral("Produtos Disponíveis"), painel);
    titulo->setFont(FonteJanela(8, true));
    titulo->setAlignment(Qt::AlignCenter);
    titulo->setFrameShape(QFrame::Panel);
    titulo->setFrameShadow(QFrame::Raised);
    titulo->setMinimumHeight(20);

    treParent = new QTreeWidget(painel);
    treParent->setHeaderHidden(true);
    treParent->setColumnCount(1);
    treParent->setRootIsDecorated(false);
    treParent->setItemsExpandable(false);
    treParent->setExpandsOnDoubleClick(false);
    treParent->setIndentation(35);
    // No expand buttons and no lines: a branch opens by selecting it.
    treParent->setStyleSheet(QStringLiteral("QTreeView::branch { image: none; border-image: none; }"));
    treParent->setFrameShape(QFrame::NoFrame);
    treParent->setEditTriggers(QAbstractItemView::NoEditTriggers);
    treParent->setIconSize(QSize(kLadoImagemArvore, kLadoImagemArvore));
    treParent->setFont(FonteJanela(8, true));
    CorDoTexto(treParent, kAzulCabecalho);
    treParent->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    treParent->addTopLevelItem(new QTreeWidgetItem(treParent, QStringList(QString())));
    NoTopo()->setExpanded(true);
    connect(treParent, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem*, QTreeWidgetItem* anterior) {
                Protegido([this, anterior] { treParentChange(anterior); });
            });
    connect(treParent, &QTreeWidget::itemClicked, this,
            [this] { Protegido([this] { treParentClick(); }); });
    treParent->installEventFilter(this);
    treParent->setAccessibleName(QStringLiteral("Produtos Disponíveis"));
    treParent->setAccessibleDescription(QStringLiteral(
        "Produtos, instalações e componentes; Espaço ou Enter marca ou desmarca um componente."));
    // A double click needs no handler of its own: its first click has already toggled the mark,
    // and a second toggle would put it back where it was.
    connect(treParent, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* node) { treParentExpanded(node); });
    connect(treParent, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* node) { treParentCollapsed(node); });

    auto* layout = new QVBoxLayout(painel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(titulo);
    layout->addWidget(treParent, 1);
    return painel;
}

QWidget* TfrmMireloDownloaderAsyncPrincipal::CriaDetalhes()
{
    pnlDados = new TPainelFundo(FundoDetalhes(), this);
    auto* layout = new QVBoxLayout(pnlDados);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* conteudo = new QVBoxLayout;
    conteudo->setContentsMargins(14, 10, 14, 8);
    conteudo->setSpacing(3);
    layout->addLayout(conteudo, 1);

    const QFont negrito = FonteJanela(8, true);
    auto legenda = [&](TRotuloClicavel*& campo, const QString& texto) {
        campo = new TRotuloClicavel(texto, pnlDados);
        campo->setFont(negrito);
        campo->OnClick = [this] { Protegido([this] { Conectar(); }); };
        return campo;
    };
    auto legendaFixa = [&](const QString& texto) {
        auto* rotulo = new QLabel(texto, pnlDados);
        rotulo->setFont(negrito);
        return rotulo;
    };

    lblAviso = new QLabel(
        QStringLiteral("Escolha no frame ao lado esquerdo o sistema que deseja fazer download"),
        pnlDados);
    lblAviso->setFont(FonteJanela(12, true));
    lblAviso->setWordWrap(true);
    CorDoTexto(lblAviso, kAzulCabecalho);
    conteudo->addWidget(lblAviso);

    std::vector<QWidget*> escondidos;
    auto bloco = [&](QLabel* titulo, QLabel* valor, bool comLinha) {
        // A screen reader names each value after the caption above it.
        QString nome = titulo->text();
        while (nome.endsWith(QLatin1Char(':')) || nome.endsWith(QLatin1Char('.')))
            nome.chop(1);
        valor->setAccessibleDescription(nome);
        if (dynamic_cast<TRotuloClicavel*>(titulo) != nullptr)
            titulo->setAccessibleDescription(
                QStringLiteral("Clique para conectar de novo ao servidor."));
        conteudo->addWidget(titulo);
        conteudo->addWidget(valor);
        escondidos.push_back(titulo);
        escondidos.push_back(valor);
        if (comLinha) {
            QFrame* linha = Linha(pnlDados);
            conteudo->addWidget(linha);
            escondidos.push_back(linha);
        }
    };
    edtNome = RotuloValor(pnlDados);
    bloco(legenda(lblNome, QStringLiteral("Nome:")), edtNome, true);
    lblDescricao = legendaFixa(QStringLiteral("Descrição:"));
    edtDescricao = RotuloValor(pnlDados);
    edtDescricao->setWordWrap(true);
    edtDescricao->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    edtDescricao->setMinimumHeight(3 * edtDescricao->fontMetrics().lineSpacing());
    edtDescricao->setMaximumHeight(3 * edtDescricao->fontMetrics().lineSpacing() + 2);
    bloco(lblDescricao, edtDescricao, true);
    edtVersao = RotuloValor(pnlDados);
    bloco(legenda(lblVersao, QStringLiteral("Versão/Build:")), edtVersao, false);
    lblDisponibilizacao = legendaFixa(QStringLiteral("Disponibilização:"));
    edtDisponibilizacao = RotuloValor(pnlDados);
    bloco(lblDisponibilizacao, edtDisponibilizacao, true);
    edtInstalacao = RotuloValor(pnlDados);
    bloco(legenda(lblInstalacao, QStringLiteral("Instalação:")), edtInstalacao, true);
    edtVerificaVersao = new QLabel(pnlDados);
    edtVerificaVersao->setTextFormat(Qt::PlainText);
    edtVerificaVersao->setFont(FonteJanela(10, false));
    edtVerificaVersao->setWordWrap(true);
    bloco(legenda(lblVerificaVersao, QStringLiteral("Versão/Build do Sistema Instalado.")),
          edtVerificaVersao, true);
    for (QWidget* controle : escondidos)
        controle->setVisible(false);
    conteudo->addStretch(1);

    // Alt+I, as the menus' letters; the mnemonic marker is not part of the shown text.
    btnBaixar = new QPushButton(QStringLiteral("&Iniciar Download"), pnlDados);
    btnBaixar->setEnabled(false);
    connect(btnBaixar, &QPushButton::clicked, this,
            [this] { Protegido([this] { btnBaixarClick(); }); });
    auto* linhaBotao = new QHBoxLayout;
    linhaBotao->addStretch(1);
    linhaBotao->addWidget(btnBaixar);
    conteudo->addLayout(linhaBotao);

    auto* faixa = new TFaixaClicavel(pnlDados);
    Panel2 = faixa;
    faixa->setAutoFillBackground(true);
    QPalette paleta = faixa->palette();
    paleta.setColor(QPalette::Window, kAzulCabecalho);
    faixa->setPalette(paleta);
    faixa->setCursor(Qt::PointingHandCursor);
    Dica(faixa, QStringLiteral("Clique aqui para mandar um e-mail para a Central de Atendimento."));
    faixa->OnClick = [this] { Protegido([this] { Panel2Click(); }); };
    faixa->setFocusPolicy(Qt::StrongFocus);
    faixa->setAccessibleName(QStringLiteral("Central de Atendimento ") +
                             QString::fromUtf8(kTelefoneAtendimento));
    faixa->setAccessibleDescription(QStringLiteral("Escreve um e-mail para ") +
                                    QString::fromUtf8(kEmailAtendimento) + QStringLiteral("."));
    auto* atendimento = new QLabel(QStringLiteral("Central de Atendimento ") +
                                       QString::fromUtf8(kTelefoneAtendimento),
                                   faixa);
    atendimento->setFont(FonteJanela(7, false));
    CorDoTexto(atendimento, Qt::white);
    atendimento->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* layoutFaixa = new QHBoxLayout(faixa);
    layoutFaixa->setContentsMargins(8, 2, 8, 2);
    layoutFaixa->addWidget(atendimento);
    layout->addWidget(faixa);

    Detalhes = std::move(escondidos);
    return pnlDados;
}

void TfrmMireloDownloaderAsyncPrincipal::CriaBarraDeStatus()
{
    StatusPainel1 = new QLabel(this);
    StatusPainel1->setFixedWidth(600);
    StatusPainel1->setTextFormat(Qt::PlainText);
    StatusPainel2 = new QLabel(this);
    StatusPainel2->setFixedWidth(50);
    statusBar()->addWidget(StatusPainel1);
    statusBar()->addWidget(StatusPainel2);
    StatusServidor = new QLabel(this);
    StatusServidor->setTextFormat(Qt::PlainText);
    statusBar()->addPermanentWidget(StatusServidor);
}

void TfrmMireloDownloaderAsyncPrincipal::MostraServidor()
{
    // Says which server answers, so a user whose usual server was down knows it is another.
    StatusServidor->setText(
        Sessao.IsControlOpen()
            ? QStringLiteral("Servidor: ") + QString::fromStdString(Sessao.ServidorEmUso()) +
                  QStringLiteral(" — ") + QString::fromStdString(Sessao.TextoCriptografia())
            : QStringLiteral("Sem conexão (") + QString::fromStdString(Sessao.ServidorEmUso()) +
                  QStringLiteral(")"));
}

bool TfrmMireloDownloaderAsyncPrincipal::event(QEvent* event)
{
    // Automatic hints: the long hint of the control under the pointer goes to the first panel,
    // and nothing else writes to the status bar.
    if (event->type() == QEvent::StatusTip) {
        StatusPainel1->setText(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    // An installer started from here runs in Wine beside the window; when the user comes back,
    // the installed version it wrote shows without a new selection.
    if (event->type() == QEvent::WindowActivate && !Ocupado() && !Fechado)
        Protegido([this] { MostraStatusInstalado(); });
    return QMainWindow::event(event);
}

// ---------------------------------------------------------------------------------------------
// Start, connection, close

void TfrmMireloDownloaderAsyncPrincipal::Protegido(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& erro) {
        Sessao.Servicos().ShowMessage(windowTitle().toStdString(), erro.what(),
                                      platform::UserServices::Icon::Error);
    }
}

void TfrmMireloDownloaderAsyncPrincipal::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // The sequence runs once the window is on the screen, not inside the show.
    if (!Mostrado)
        QTimer::singleShot(0, this, [this] { Protegido([this] { FormShow(); }); });
}

void TfrmMireloDownloaderAsyncPrincipal::FormShow()
{
    if (Mostrado)
        return;
    Mostrado = true;
    {
        auto ocupado = Ocupa();
        Conectar();
        if (Fechado)
            return;
        if (catalogue::FileExists(catalogue::kSitesReplicacaoCfg))
            LeSiteReplicadores();
        if (Sessao.IsControlOpen()) {
            MostraMsg();
            if (cbSiteReplicadores->count() > 0)
                cbSiteReplicadores->setCurrentIndex(0);
        }
    }
    if (OnMostrado && !Fechado)
        OnMostrado();
}

void TfrmMireloDownloaderAsyncPrincipal::Conectar()
{
    auto ocupado = Ocupa();
    if (Sessao.Conectar() && !Fechado)
        ReconstroiArvore();
    if (!Fechado)
        TextoDaArvoreVazia();
}

void TfrmMireloDownloaderAsyncPrincipal::TextoDaArvoreVazia()
{
    QTreeWidgetItem* topo = NoTopo();
    const bool vazia = topo->childCount() == 0 && !Sessao.IsControlOpen();
    topo->setText(0, vazia ? kArvoreSemConexao : QString());
}

void TfrmMireloDownloaderAsyncPrincipal::ReconstroiArvore()
{
    QTreeWidgetItem* topo = NoTopo();
    LeFormulariosCfg(topo);
    topo->setExpanded(true);
    // The node at absolute index 1: the first form.
    if (topo->childCount() > 0)
        treParent->setCurrentItem(topo->child(0));
}

void TfrmMireloDownloaderAsyncPrincipal::closeEvent(QCloseEvent* event)
{
    if (!Fechado && !Sessao.PodeFechar()) {
        event->ignore();
        return;
    }
    Fechado = true;
    // Every wait still running in a handler below us ends now, its request aborted.
    Sessao.Encerra();
    if (Conexao != nullptr)
        Conexao->Fecha();
    if (frmMsg != nullptr)
        frmMsg->close();
    event->accept();
}

void TfrmMireloDownloaderAsyncPrincipal::Image1Click()
{
    Sessao.AbrePagina();
}

void TfrmMireloDownloaderAsyncPrincipal::Panel2Click()
{
    Sessao.EscreveEmail();
}

void TfrmMireloDownloaderAsyncPrincipal::Sobre1Click()
{
    Sessao.Servicos().ShowMessage(
        "Sobre o Downloader Mirelo",
        std::string("Downloader dos Formulários Eletrônicos Mirelo\rVersão 2.0\r\r"
                    "Central de Atendimento: ") +
            kTelefoneAtendimento + "\r" + kEmailAtendimento + "\r" + kPaginaOrva,
        platform::UserServices::Icon::None);
}

void TfrmMireloDownloaderAsyncPrincipal::Proxy1Click()
{
    if (DialogoProxy != nullptr)
        DialogoProxy->exec();
}

void TfrmMireloDownloaderAsyncPrincipal::btnBaixarClick()
{
    if (!OnBaixar)
        return;
    auto ocupado = Ocupa();
    OnBaixar();
}

// ---------------------------------------------------------------------------------------------
// Mirrors and the server message

void TfrmMireloDownloaderAsyncPrincipal::LeSiteReplicadores()
{
    const std::string texto = catalogue::ReadTextFile(catalogue::kSitesReplicacaoCfg);
    for (const std::string& entrada : catalogue::LeSiteReplicadores(texto))
        cbSiteReplicadores->addItem(DeWindows1252(entrada),
                                    QByteArray::fromStdString(entrada));
    // Nothing is chosen until a connection is open.
    cbSiteReplicadores->setCurrentIndex(-1);
}

void TfrmMireloDownloaderAsyncPrincipal::cbSiteReplicadoresChange(int indice)
{
    if (indice < 0 || Ocupado())
        return;
    auto ocupado = Ocupa();
    const std::string entrada = cbSiteReplicadores->itemData(indice).toByteArray().toStdString();
    if (Sessao.TrocaSite(entrada) && !Fechado)
        ReconstroiArvore();
    if (!Fechado)
        TextoDaArvoreVazia();
}

void TfrmMireloDownloaderAsyncPrincipal::MostraMsg()
{
    const std::optional<std::string> mensagem = Sessao.MostraMsg();
    if (!mensagem || Fechado)
        return;
    if (frmMsg == nullptr)
        frmMsg = new TfrmMireloDownloaderAsyncMsg(ImagemBarra(1), this);
    frmMsg->Mostra(*mensagem);
}

// ---------------------------------------------------------------------------------------------
// The tree

QTreeWidgetItem* TfrmMireloDownloaderAsyncPrincipal::NoTopo() const
{
    return treParent->topLevelItem(0);
}

int TfrmMireloDownloaderAsyncPrincipal::NivelDoNo(const QTreeWidgetItem* node)
{
    if (node == nullptr)
        return -1;
    int nivel = 0;
    for (const QTreeWidgetItem* pai = node->parent(); pai != nullptr; pai = pai->parent())
        ++nivel;
    return nivel;
}

int TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(const QTreeWidgetItem* node)
{
    if (node == nullptr)
        return -1;
    const QVariant imagem = node->data(0, kRoleImagem);
    return imagem.isValid() ? imagem.toInt() : -1;
}

void TfrmMireloDownloaderAsyncPrincipal::SetImagem(QTreeWidgetItem* node, int imagem)
{
    // Image and selected image are one picture here, so they always change together.
    node->setData(0, kRoleImagem, imagem);
    node->setIcon(0, IconeArvore(imagem));
    // Screen readers cannot see the pictures: the kind of node, and a component's mark, in words.
    const QString nome = node->text(0);
    switch (imagem) {
    case imgFormulario:
        node->setData(0, Qt::AccessibleTextRole, nome);
        node->setData(0, Qt::AccessibleDescriptionRole, QStringLiteral("Produto"));
        break;
    case imgInstalacaoFechada:
    case imgInstalacaoAberta:
        node->setData(0, Qt::AccessibleTextRole, nome);
        node->setData(0, Qt::AccessibleDescriptionRole, QStringLiteral("Instalação"));
        break;
    case imgComponenteMarcado:
    case imgComponenteDesmarcado:
        node->setData(0, Qt::AccessibleTextRole,
                      nome + (imagem == imgComponenteMarcado ? QStringLiteral(", marcado")
                                                             : QStringLiteral(", desmarcado")));
        node->setData(0, Qt::AccessibleDescriptionRole,
                      QStringLiteral("Componente opcional; Espaço ou Enter marca ou desmarca."));
        break;
    case imgComponenteFixo:
        node->setData(0, Qt::AccessibleTextRole, nome + QStringLiteral(", fixo"));
        node->setData(0, Qt::AccessibleDescriptionRole,
                      QStringLiteral("Componente fixo; sempre faz parte do download."));
        break;
    default:
        break;
    }
}

namespace {

int Posicao(const QTreeWidgetItem* node)
{
    const QTreeWidgetItem* pai = node->parent();
    return pai != nullptr ? pai->indexOfChild(const_cast<QTreeWidgetItem*>(node))
                          : node->treeWidget()->indexOfTopLevelItem(
                                const_cast<QTreeWidgetItem*>(node));
}

// The positions of the node's branch from the top node down, for catalogue::Caminho.
std::vector<int> Posicoes(const QTreeWidgetItem* node)
{
    std::vector<int> posicoes;
    for (; node != nullptr; node = node->parent())
        posicoes.insert(posicoes.begin(), Posicao(node));
    return posicoes;
}

bool EhAncestral(const QTreeWidgetItem* talvez, const QTreeWidgetItem* node)
{
    for (; node != nullptr; node = node->parent())
        if (node == talvez)
            return true;
    return false;
}

}  // namespace

void TfrmMireloDownloaderAsyncPrincipal::LeFormulariosCfg(QTreeWidgetItem* parent)
{
    {
        const QSignalBlocker semSinais(treParent);
        treParent->setCurrentItem(parent);
        qDeleteAll(parent->takeChildren());
    }
    const std::size_t total = Sessao.Formularios.Count();
    for (std::size_t k = 1; k <= total; ++k) {
        const catalogue::TEstruturaForm& form = *Sessao.Formularios.Slot(k);
        auto* node = new QTreeWidgetItem(parent, QStringList(DeWindows1252(form.Nome)));
        SetImagem(node, imgFormulario);
        CarregaInstalacoes(node);
    }
    treParent->setCurrentItem(NoTopo());
}

void TfrmMireloDownloaderAsyncPrincipal::CarregaInstalacoes(QTreeWidgetItem* formNode)
{
    treParent->setCurrentItem(formNode);
    const catalogue::TEstruturaForm* form =
        Sessao.Formularios.Slot(static_cast<std::size_t>(Posicao(formNode)) + 1);
    if (form == nullptr)
        return;
    for (const catalogue::Instalacao& instalacao : catalogue::InstalacoesDe(*form)) {
        auto* node = new QTreeWidgetItem(formNode, QStringList(DeWindows1252(instalacao.Nome)));
        SetImagem(node, imgInstalacaoFechada);
    }
}

void TfrmMireloDownloaderAsyncPrincipal::ExpandeSoEsteRamo(QTreeWidgetItem* anterior,
                                                           QTreeWidgetItem* node)
{
    // Single-branch expansion: the branch of the node selected before collapses up to the
    // nearest node it shares with the new selection, and the new node expands.
    for (QTreeWidgetItem* velho = anterior; velho != nullptr; velho = velho->parent())
        if (!EhAncestral(velho, node) && velho->isExpanded())
            velho->setExpanded(false);
    if (node != nullptr && node->childCount() > 0)
        node->setExpanded(true);
}

void TfrmMireloDownloaderAsyncPrincipal::treParentChange(QTreeWidgetItem* anterior)
{
    QTreeWidgetItem* node = treParent->currentItem();
    if (node == nullptr)
        return;
    ExpandeSoEsteRamo(anterior, node);
    const int nivel = NivelDoNo(node);
    if (nivel > 0)
        PegaDescricaoForms();
    if (nivel == 2) {
        auto ocupado = Ocupa();
        const std::vector<int> posicoes = Posicoes(node);
        const auto formSlot = static_cast<std::size_t>(catalogue::Caminho(posicoes, 2)) + 1;
        if (!Sessao.PegaDownloadCfg(formSlot, static_cast<std::size_t>(posicoes.back()))) {
            // Components shown from an earlier reading would not be the ones downloaded.
            const QSignalBlocker semSinais(treParent);
            qDeleteAll(node->takeChildren());
        } else if (!Fechado) {
            LeDownloadCfg(node);
        }
    }
    if (nivel == 3)
        PegaDescricaoComponentes();
    HabilitaControles();
    MostraObjetos();
}

void TfrmMireloDownloaderAsyncPrincipal::LeDownloadCfg(QTreeWidgetItem* installationNode)
{
    const std::vector<int> imagens = Sessao.LeDownloadCfg();
    const QSignalBlocker semSinais(treParent);
    qDeleteAll(installationNode->takeChildren());
    for (std::size_t k = 1; k <= imagens.size(); ++k) {
        const catalogue::TEstruturaComp& componente = *Sessao.Componentes.Slot(k);
        auto* node = new QTreeWidgetItem(installationNode,
                                         QStringList(DeWindows1252(componente.Nome)));
        SetImagem(node, imagens[k - 1]);
    }
    installationNode->setExpanded(true);
    treParentExpanded(installationNode);
}

void TfrmMireloDownloaderAsyncPrincipal::PegaDescricaoForms()
{
    QTreeWidgetItem* node = treParent->currentItem();
    const int posicao = catalogue::Caminho(Posicoes(node), 2);
    const catalogue::TEstruturaForm* form =
        posicao < 0 ? nullptr : Sessao.Formularios.Slot(static_cast<std::size_t>(posicao) + 1);
    if (form == nullptr)
        return;
    edtDescricao->setText(DeWindows1252(form->Descricao));
    edtNome->setText(DeWindows1252(form->Nome));
    edtVersao->setText(DeWindows1252(form->Versao + "/" + form->Build));

    MostraStatusInstalado();
    edtDisponibilizacao->clear();
    edtInstalacao->clear();
}

const catalogue::TEstruturaForm* TfrmMireloDownloaderAsyncPrincipal::FormularioSelecionado() const
{
    QTreeWidgetItem* node = treParent->currentItem();
    if (NivelDoNo(node) < 1)
        return nullptr;
    const int posicao = catalogue::Caminho(Posicoes(node), 2);
    return posicao < 0 ? nullptr : Sessao.Formularios.Slot(static_cast<std::size_t>(posicao) + 1);
}

void TfrmMireloDownloaderAsyncPrincipal::MostraStatusInstalado()
{
    const catalogue::TEstruturaForm* form = FormularioSelecionado();
    if (form == nullptr)
        return;
    edtVerificaVersao->clear();
    const catalogue::StatusVersao status = Sessao.StatusDoFormulario(*form);
    CorDoTexto(edtVerificaVersao, QColor(status.Cor.Red, status.Cor.Green, status.Cor.Blue));
    edtVerificaVersao->setText(DeWindows1252(status.Texto));
}

void TfrmMireloDownloaderAsyncPrincipal::PegaDescricaoComponentes()
{
    QTreeWidgetItem* node = treParent->currentItem();
    const catalogue::TEstruturaComp* componente =
        Sessao.Componentes.Slot(static_cast<std::size_t>(Posicao(node)) + 1);
    if (componente == nullptr)
        return;
    edtDescricao->setText(DeWindows1252(componente->Descricao));
    edtNome->setText(DeWindows1252(componente->Nome));
    edtVersao->setText(DeWindows1252(componente->Versao + "/" + componente->Build));
    try {
        catalogue::StrToInt(componente->Tamanho);
    } catch (const catalogue::EConvertError&) {
        Sessao.Servicos().ShowMessage(
            "Atenção.",
            "O tamanho do componente não é um número inteiro válido: '" +
                DeWindows1252(componente->Tamanho).toStdString() + "'.",
            platform::UserServices::Icon::Error);
        return;
    }
    edtInstalacao->setText(DeWindows1252(LinhaInstalacao(*componente, QLocale())));
    edtDisponibilizacao->setText(DeWindows1252(componente->Disponibilizacao));
}

void TfrmMireloDownloaderAsyncPrincipal::MostraObjetos()
{
    for (QWidget* controle : Detalhes)
        controle->setVisible(true);
    lblAviso->setVisible(false);
}

void TfrmMireloDownloaderAsyncPrincipal::treParentClick()
{
    QTreeWidgetItem* node = treParent->currentItem();
    if (NivelDoNo(node) != 3)
        return;
    const int imagem = ImagemDoNo(node);
    if (imagem == imgComponenteFixo)
        return;
    catalogue::TEstruturaComp* componente =
        Sessao.Componentes.Slot(static_cast<std::size_t>(Posicao(node)) + 1);
    const bool marca = imagem == imgComponenteDesmarcado;
    SetImagem(node, marca ? imgComponenteMarcado : imgComponenteDesmarcado);
    if (componente != nullptr)
        componente->Marcado = marca ? "1" : "0";
}

void TfrmMireloDownloaderAsyncPrincipal::treParentExpanded(QTreeWidgetItem* node)
{
    if (NivelDoNo(node) == 2)
        SetImagem(node, imgInstalacaoAberta);
}

void TfrmMireloDownloaderAsyncPrincipal::treParentCollapsed(QTreeWidgetItem* node)
{
    if (NivelDoNo(node) == 2) {
        SetImagem(node, imgInstalacaoFechada);
        DicaArvore = kDicaColapso;
        Dica(treParent, DicaArvore);
    } else {
        // Hints off; the text is kept for the next collapse of an installation.
        Dica(treParent, QString());
    }
}
