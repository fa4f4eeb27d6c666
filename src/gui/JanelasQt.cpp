#include "gui/JanelasQt.h"

#include "download/SessaoDownloader.h"
#include "gui/uMireloDownloaderAsyncBaixando.h"
#include "gui/uMireloDownloaderAsyncPastaDownload.h"
#include "platform/UserServices.h"

namespace mirelo_download {
namespace {

class TelaQt : public TelaBaixando {
public:
    TelaQt(TSessaoDownloader& sessao, QWidget* pai, std::function<void()> cancelar)
        : Dialogo(std::make_unique<TfrmMireloDownloaderAsyncBaixando>(
              [&sessao] { return sessao.BytesRecebidos; },
              [&sessao] { return sessao.TransferenciaConcluida; }, pai))
    {
        Dialogo->OnCancelar = std::move(cancelar);
        Dialogo->show();
    }

    void Inicia(const std::string& hostName, const std::string& nomeArquivo) override
    {
        Dialogo->Inicia(hostName, nomeArquivo);
    }
    void DefineTotal(std::int64_t tamanho) override { Dialogo->DefineTotal(tamanho); }
    void TentaDeNovo(int tentativa, int maximo, const std::string&) override
    {
        Dialogo->TentaDeNovo(tentativa, maximo);
    }
    void Termina(const std::string&) override { Dialogo->Termina(); }
    bool Aberta() const override { return Dialogo->Aberta(); }

private:
    std::unique_ptr<TfrmMireloDownloaderAsyncBaixando> Dialogo;
};

}  // namespace

TJanelasDownloadQt::TJanelasDownloadQt(TSessaoDownloader& sessao, QWidget* pai)
    : Sessao(sessao), Pai(pai)
{
}

std::string TJanelasDownloadQt::EscolhePasta(const std::string& inicial)
{
    TfMireloDownloaderPastaDownload dialogo(Sessao.Servicos(), Pai);
    return dialogo.EscolhePasta(inicial);
}

std::unique_ptr<TelaBaixando> TJanelasDownloadQt::MostraBaixando(std::function<void()> cancelar)
{
    return std::make_unique<TelaQt>(Sessao, Pai, std::move(cancelar));
}

bool TJanelasDownloadQt::PerguntaInstalar(const std::string& caption, const std::string& texto)
{
    return Sessao.Servicos().AskYesNo(caption, texto, platform::UserServices::Icon::Question);
}

}  // namespace mirelo_download
