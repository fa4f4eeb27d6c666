// The main window: menu, tool bands, header, the product tree and the detail panel, the status
// bar with automatic hints. It wraps the session (TSessaoDownloader), which owns the FTP client
// and the catalogues; the window owns the widgets, turns tree events into session steps and shows
// what the session read. While a sequence runs, the controls that would start a request are
// disabled. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QPointer>

#include "catalogue/ComponentCatalogue.h"
#include "catalogue/FormsCatalogue.h"
#include "gui/Widgets.h"

class QAction;
class QLocale;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TSessaoDownloader;
class TfMireloDownloaderAsyncConexao;
class TfMireloDownloaderAsyncProxy;
class TfrmMireloDownloaderAsyncMsg;

class TfrmMireloDownloaderAsyncPrincipal : public QMainWindow {
public:
    // The session must outlive the window.
    explicit TfrmMireloDownloaderAsyncPrincipal(TSessaoDownloader& sessao);
    ~TfrmMireloDownloaderAsyncPrincipal() override;

    // The dialogs, created by the program entry after the window, in its order.
    void SetConexao(TfMireloDownloaderAsyncConexao* dialogo);
    void SetDialogoProxy(TfMireloDownloaderAsyncProxy* dialogo);

    // The toolbar images: 1 is the cancel/close picture that the dialogs borrow.
    static QIcon ImagemBarra(int indice);

    // Handlers, named after their controls; public so tests can drive them as a user would.
    void FormShow();
    void Conectar();
    // `anterior` is the node selected before, whose branch collapses.
    void treParentChange(QTreeWidgetItem* anterior = nullptr);
    void treParentClick();
    void treParentExpanded(QTreeWidgetItem* node);
    void treParentCollapsed(QTreeWidgetItem* node);
    void cbSiteReplicadoresChange(int indice);
    void Proxy1Click();
    void Image1Click();
    void Panel2Click();
    void Sobre1Click();
    void btnBaixarClick();

    // "Iniciar Download" runs this when assigned (the download run is its own unit).
    std::function<void()> OnBaixar;
    // Fired once the start-up sequence (FormShow) has ended, whatever its outcome.
    std::function<void()> OnMostrado;

    // Whether a sequence (or a download) is running and the request controls are disabled.
    bool Ocupado() const { return Ocupacoes > 0; }
    // Disables the request controls until the returned guard goes; nests.
    class TOcupado;
    TOcupado Ocupa();

    // Controls, named as the window's design names them.
    QTreeWidget* treParent;
    QComboBox* cbSiteReplicadores;
    QPushButton* btnBaixar;
    QAction* Reconectar1;
    QAction* Proxy1;
    QAction* Sair1;
    QAction* Sobre1;
    QToolButton* ToolButton3;
    QLabel* Image1;
    QFrame* Panel2;
    TPainelFundo* pnlDados;
    QLabel* lblAviso;
    TRotuloClicavel* lblNome;
    TRotuloClicavel* lblVersao;
    TRotuloClicavel* lblInstalacao;
    TRotuloClicavel* lblVerificaVersao;
    QLabel* lblDescricao;
    QLabel* lblDisponibilizacao;
    QLabel* edtNome;
    QLabel* edtDescricao;
    QLabel* edtVersao;
    QLabel* edtDisponibilizacao;
    QLabel* edtInstalacao;
    QLabel* edtVerificaVersao;
    QLabel* StatusPainel1;
    QLabel* StatusPainel2;
    // The server in use, or that there is no connection.
    QLabel* StatusServidor;
    TfrmMireloDownloaderAsyncMsg* frmMsg = nullptr;

    // The image number of a node, as the tree's images are numbered.
    static int ImagemDoNo(const QTreeWidgetItem* node);
    static int NivelDoNo(const QTreeWidgetItem* node);
    QTreeWidgetItem* NoTopo() const;
    // The installation line of a component with the locale's separators, in Windows-1252.
    static std::string LinhaInstalacao(const catalogue::TEstruturaComp& componente,
                                       const QLocale& local);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* objeto, QEvent* evento) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CriaMenu();
    void CriaBandas();
    QWidget* CriaCabecalho();
    QWidget* CriaArvore();
    QWidget* CriaDetalhes();
    void CriaBarraDeStatus();
    void Dica(QWidget* controle, const QString& texto);

    void LeFormulariosCfg(QTreeWidgetItem* parent);
    void CarregaInstalacoes(QTreeWidgetItem* formNode);
    void LeDownloadCfg(QTreeWidgetItem* installationNode);
    void PegaDescricaoForms();
    void PegaDescricaoComponentes();
    // The form of the selected node's branch (nullptr at the top node), and its installed-version
    // line, read from the registry each time.
    const catalogue::TEstruturaForm* FormularioSelecionado() const;
    void MostraStatusInstalado();
    void MostraObjetos();
    void ExpandeSoEsteRamo(QTreeWidgetItem* anterior, QTreeWidgetItem* node);
    void ReconstroiArvore();
    // An empty tree tells the user how to try the connection again.
    void TextoDaArvoreVazia();
    void MostraServidor();
    void SetImagem(QTreeWidgetItem* node, int imagem);
    void LeSiteReplicadores();
    void MostraMsg();
    void HabilitaControles();
    // While the request controls are disabled the focus waits on the window; it goes back where
    // it was when they are enabled again.
    void GuardaFoco();
    void DevolveFoco();
    // Runs a handler and turns an escaped exception into an error box instead of ending the
    // program: Qt cannot carry exceptions through its event loop.
    void Protegido(const std::function<void()>& handler);

    TSessaoDownloader& Sessao;
    TfMireloDownloaderAsyncConexao* Conexao = nullptr;
    TfMireloDownloaderAsyncProxy* DialogoProxy = nullptr;
    QString DicaArvore;
    // The captions, value labels and lines that MostraObjetos shows.
    std::vector<QWidget*> Detalhes;
    int Ocupacoes = 0;
    QPointer<QWidget> FocoAntes;
    bool FocoGuardado = false;
    bool Mostrado = false;
    bool Fechado = false;
};

class TfrmMireloDownloaderAsyncPrincipal::TOcupado {
public:
    explicit TOcupado(TfrmMireloDownloaderAsyncPrincipal* janela);
    TOcupado(TOcupado&& outro) noexcept;
    TOcupado(const TOcupado&) = delete;
    TOcupado& operator=(const TOcupado&) = delete;
    TOcupado& operator=(TOcupado&&) = delete;
    ~TOcupado();

private:
    TfrmMireloDownloaderAsyncPrincipal* Janela;
};
