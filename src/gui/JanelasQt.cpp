#include "gui/JanelasQt.h"

#include <QTimer>

#include <optional>

#include "download/SessaoDownloader.h"
#include "gui/uMireloDownloaderAsyncBaixando.h"
#include "gui/uMireloDownloaderAsyncPastaDownload.h"
#include "platform/UserServices.h"

namespace mirelo_download {
namespace {

using Clock = std::chrono::steady_clock;

// One file's progress window. Until `mostrarEm` it only keeps what the run tells it; then it
// builds and shows the dialog with those figures, unless the file has ended by then.
class TelaQt : public TelaBaixando {
public:
    TelaQt(TSessaoDownloader& sessao, QWidget* pai, std::function<void()> cancelar,
           Clock::time_point mostrarEm)
        : Sessao(sessao), Pai(pai), Cancelar(std::move(cancelar))
    {
        const auto falta =
            std::chrono::ceil<std::chrono::milliseconds>(mostrarEm - Clock::now());
        if (falta.count() <= 0) {
            Mostra();
            return;
        }
        Relogio.setSingleShot(true);
        QObject::connect(&Relogio, &QTimer::timeout, [this] { Mostra(); });
        Relogio.start(falta);
    }

    void Inicia(const std::string& hostName, const std::string& nomeArquivo) override
    {
        HostName = hostName;
        NomeArquivo = nomeArquivo;
        if (Dialogo)
            Dialogo->Inicia(hostName, nomeArquivo);
    }
    void DefineTotal(std::int64_t tamanho) override
    {
        Total = tamanho;
        if (Dialogo)
            Dialogo->DefineTotal(tamanho);
    }
    void TentaDeNovo(int tentativa, int maximo, const std::string&) override
    {
        Tentativa = {tentativa, maximo};
        if (Dialogo)
            Dialogo->TentaDeNovo(tentativa, maximo);
    }
    void Termina(const std::string&) override
    {
        Relogio.stop();
        if (Dialogo)
            Dialogo->Termina();
    }
    bool Aberta() const override { return Dialogo && Dialogo->Aberta(); }

private:
    void Mostra()
    {
        Dialogo = std::make_unique<TfrmMireloDownloaderAsyncBaixando>(
            [this] { return Sessao.BytesRecebidos; },
            [this] { return Sessao.TransferenciaConcluida; }, Pai);
        Dialogo->OnCancelar = Cancelar;
        if (NomeArquivo)
            Dialogo->Inicia(HostName, *NomeArquivo);
        if (Total)
            Dialogo->DefineTotal(*Total);
        if (Tentativa)
            Dialogo->TentaDeNovo(Tentativa->first, Tentativa->second);
        Dialogo->show();
    }

    TSessaoDownloader& Sessao;
    QWidget* Pai;
    std::function<void()> Cancelar;
    QTimer Relogio;
    std::string HostName;
    std::optional<std::string> NomeArquivo;
    std::optional<std::int64_t> Total;
    std::optional<std::pair<int, int>> Tentativa;
    std::unique_ptr<TfrmMireloDownloaderAsyncBaixando> Dialogo;
};

}  // namespace

TJanelasDownloadQt::TJanelasDownloadQt(TSessaoDownloader& sessao, QWidget* pai,
                                       std::chrono::milliseconds atrasoDoProgresso)
    : Sessao(sessao), Pai(pai), AtrasoDoProgresso(atrasoDoProgresso)
{
}

std::string TJanelasDownloadQt::EscolhePasta(const std::string& inicial)
{
    TfMireloDownloaderPastaDownload dialogo(Sessao.Servicos(), Pai);
    std::string pasta = dialogo.EscolhePasta(inicial);
    MostrarDesde = Clock::now() + AtrasoDoProgresso;
    return pasta;
}

std::unique_ptr<TelaBaixando> TJanelasDownloadQt::MostraBaixando(std::function<void()> cancelar)
{
    return std::make_unique<TelaQt>(Sessao, Pai, std::move(cancelar), MostrarDesde);
}

bool TJanelasDownloadQt::PerguntaInstalar(const std::string& caption, const std::string& texto)
{
    return Sessao.Servicos().AskYesNo(caption, texto, platform::UserServices::Icon::Question);
}

}  // namespace mirelo_download
