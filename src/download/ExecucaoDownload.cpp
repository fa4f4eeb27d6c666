#include "download/ExecucaoDownload.h"

#include <algorithm>
#include <cstdio>

#include "catalogue/InstallRules.h"
#include "catalogue/TextHelpers.h"
#include "download/ArquivoLocal.h"
#include "download/DataDisponibilizacao.h"
#include "download/NomesArquivo.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "platform/EventLoop.h"
#include "platform/ProgramStart.h"
#include "platform/Registry.h"
#include "platform/UserServices.h"

namespace mirelo_download {

using Icon = platform::UserServices::Icon;

namespace {

constexpr const char* kAtencao = "Atenção.";
constexpr const char* kTituloPrograma = "Downloader dos Formulários Eletrônicos Mirelo";
constexpr const char* kConexaoCaiu = "A Conexão caiu por Time-out";
constexpr const char* kPastaSuporte = "/suporte/";
constexpr std::int64_t kMaxDiscos = 999;
// The progress window closes at its next one-second tick; this only bounds a window that
// would never close.
constexpr auto kEsperaFechar = std::chrono::seconds(5);

// Why the installer at `caminho` did not start, and where the user finds the files to start it
// by hand. The installers are Windows programs: without Wine nothing here can run them.
std::string InstaladorNaoIniciado(const std::string& caminho, const std::string& pasta)
{
    const std::string motivo =
        platform::WineMissingFor(caminho)
            ? "O Wine não foi encontrado, e sem ele o instalador \"" + ParaUtf8(caminho) +
                  "\" não pode ser iniciado.\rInstale o Wine e execute o instalador."
            : "Não foi possível iniciar o instalador \"" + ParaUtf8(caminho) + "\".";
    return motivo + "\rOs arquivos baixados estão na pasta " + ParaUtf8(pasta) + ".";
}

}  // namespace

const char* const TExecucaoDownload::kPerguntaInstalar =
    "Os arquivos foram baixados com sucesso.\rDeseja executar a instalação agora ?";

// Ends the run from deep inside it. The text has been shown already when `mostrada` is set.
class TExecucaoDownload::EFimExecucao {
public:
    EFimExecucao(FimExecucao fim, std::string texto, bool mostrada = false)
        : Fim(fim), Texto(std::move(texto)), Mostrada(mostrada)
    {
    }
    FimExecucao Fim;
    std::string Texto;
    bool Mostrada;
};

TExecucaoDownload::TExecucaoDownload(TSessaoDownloader& sessao, JanelasDownload& janelas)
    : Sessao(sessao), Janelas(janelas)
{
}

TExecucaoDownload::~TExecucaoDownload() = default;

std::string TExecucaoDownload::LinhaEscolhido(const catalogue::TEstruturaComp& componente)
{
    return componente.Descricao + ", Ver.:" + componente.Versao + "/" + componente.Build + "\r";
}

std::string TExecucaoDownload::EscolheInstalador(const catalogue::TabelaComponentes& componentes)
{
    for (std::size_t k = 1; k <= componentes.Count(); ++k) {
        const catalogue::TEstruturaComp& componente = *componentes.Slot(k);
        if (componente.Marcado != "0" && componente.Arquivo.find("exe") != std::string::npos)
            return componente.Arquivo;
    }
    return {};
}

ResultadoExecucao TExecucaoDownload::btnBaixarClick()
{
    if (EmExecucao_)
        return {};
    ListaEscolhidos.clear();
    const catalogue::TabelaComponentes& componentes = Sessao.Componentes;
    for (std::size_t k = 1; k <= componentes.Count(); ++k) {
        if (componentes.Slot(k)->Marcado == "1")
            ListaEscolhidos += LinhaEscolhido(*componentes.Slot(k));
    }
    Resultado = {};
    if (ListaEscolhidos.empty()) {
        Aviso("Nenhum componente foi escolhido.");
        return Resultado;
    }
    if (!Sessao.IsControlOpen()) {
        Aviso(kConexaoCaiu);
        return Resultado;
    }

    EmExecucao_ = true;
    try {
        ChamaBaixarArquivo();
    } catch (const EFimExecucao& fim) {
        Resultado.Fim = fim.Fim;
        if (!fim.Texto.empty()) {
            if (!fim.Mostrada)
                Aviso(fim.Texto);
            Resultado.Mensagem = fim.Texto;
        }
    } catch (const std::exception& erro) {
        // Input/output, conversion and registry errors of the platform services: the run ends
        // and the user learns which file or value failed.
        Resultado.Fim = FimExecucao::Interrompida;
        Aviso(std::string("O download foi interrompido.\r") + erro.what());
    }
    // Closed in every case, so a failed run leaves no open collection file behind.
    if (ArquivoRegras)
        ArquivoRegras->Close();
    ArquivoRegras.reset();
    EmExecucao_ = false;
    return Resultado;
}

void TExecucaoDownload::ChamaBaixarArquivo()
{
    Sessao.Cancelado = false;
    // The catalogue's values are checked before anything is asked or written, so a broken
    // catalogue cannot stop the run halfway.
    const std::vector<Plano> planos = PlanejaComponentes();

    if (!Sessao.Servicos().AskYesNo(
            "Atenção", "Você está preste a instalar:\r" + ParaUtf8(ListaEscolhidos) + "Confirma ?",
            Icon::Question))
        return;

    Sessao.PastaDestino = ComBarraFinal(Janelas.EscolhePasta(""));
    Resultado.Pasta = Sessao.PastaDestino;
    ArquivoRegras = std::make_unique<catalogue::TextFileWriter>(
        catalogue::AbreArquivoRegras(Sessao.PastaDestino));

    Executa(&TFtpClient::TypeBinaryStep);
    Instalador = EscolheInstalador(Sessao.Componentes);
    Resultado.Instalador = Instalador;

    for (const Plano& plano : planos) {
        BaixaComponente(plano);
        GravaRegras(*plano.Componente);
    }

    Resultado.Suportes = catalogue::LeRegrasIni(
        *ArquivoRegras, Sessao.PastaDestino, Sessao.Registro(),
        [this](const std::string& suporte) { BaixaArquivoSuporte(suporte); });
    Encerramento();
}

std::vector<TExecucaoDownload::Plano> TExecucaoDownload::PlanejaComponentes()
{
    std::vector<Plano> planos;
    const catalogue::TabelaComponentes& componentes = Sessao.Componentes;
    for (std::size_t k = 1; k <= componentes.Count(); ++k) {
        const catalogue::TEstruturaComp& componente = *componentes.Slot(k);
        if (componente.Marcado == "0")
            continue;
        const std::string nome = ParaUtf8(componente.Nome);

        if (!catalogue::NomeArquivoSeguro(componente.Arquivo))
            throw EFimExecucao(FimExecucao::Interrompida,
                               MensagemNomeInvalido(componente.Arquivo));

        std::int64_t discos = 0;
        try {
            discos = catalogue::StrToInt(componente.Discos);
        } catch (const catalogue::EConvertError&) {
            throw EFimExecucao(FimExecucao::Interrompida,
                               "O número de arquivos \"" + ParaUtf8(componente.Discos) +
                                   "\" do componente \"" + nome + "\" não é um número válido.");
        }
        // Part names have room for any count; this only keeps a typing slip from asking the
        // server for millions of files.
        if (discos > kMaxDiscos)
            throw EFimExecucao(FimExecucao::Interrompida,
                               "O número de arquivos \"" + ParaUtf8(componente.Discos) +
                                   "\" do componente \"" + nome + "\" é grande demais (o máximo é " +
                                   std::to_string(kMaxDiscos) + ").");

        const std::optional<std::time_t> data = LeDisponibilizacao(componente.Disponibilizacao);
        if (!data)
            throw EFimExecucao(FimExecucao::Interrompida,
                               "A data de disponibilização \"" +
                                   ParaUtf8(componente.Disponibilizacao) + "\" do componente \"" +
                                   nome + "\" não pôde ser lida.\rO formato esperado é "
                                   "dd/mm/aaaa hh:mm:ss.");

        for (int j = 1;; ++j) {
            const std::string regra = catalogue::CampoSeparado(componente.Regra, '|', j);
            if (regra.empty())
                break;
            const std::string arquivo = catalogue::SeparaCaminhoRegra(regra).Nome;
            if (!catalogue::NomeArquivoSeguro(arquivo))
                throw EFimExecucao(FimExecucao::Interrompida, MensagemNomeInvalido(regra));
        }
        planos.push_back(
            {&componente, static_cast<int>(std::max<std::int64_t>(discos, 0)), *data});
    }
    return planos;
}

void TExecucaoDownload::BaixaComponente(const Plano& plano)
{
    const catalogue::TEstruturaComp& componente = *plano.Componente;
    BaixaSeNecessario(plano, componente.Arquivo);
    for (int k = 2; k <= plano.Discos; ++k)
        BaixaSeNecessario(plano, NomeParte(componente.Arquivo, k));
}

void TExecucaoDownload::BaixaSeNecessario(const Plano& plano, const std::string& nome)
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    VerificaCancelado();
    // The size is asked in the file's own directory: the server's current one may be another
    // component's, whose answer would make a complete copy look incomplete (or the reverse).
    ftp.SetHostDirName(Sessao.DiretorioSite + plano.Componente->DiretorioRemoto);
    const bool diretorioOk = Executa(&TFtpClient::CwdStep);
    ftp.SetHostFileName(nome);
    ftp.SetLocalFileName(Local(nome));
    const bool tamanhoOk = diretorioOk && Executa(&TFtpClient::SizeStep);
    const std::int64_t tamanho = tamanhoOk ? ftp.RemoteFileSize() : 0;
    VerificaCancelado();

    if (!PrecisaBaixar(Local(nome), tamanho, plano.Disponibilizacao)) {
        Resultado.Mantidos.push_back(nome);
        Janelas.ArquivoMantido(nome);
        return;
    }
    if (const std::optional<std::string> falha =
            MostraBaixando(plano.Componente->DiretorioRemoto, nome))
        Resultado.Falhas.push_back(nome + ": " + *falha);
    else
        Resultado.Baixados.push_back(nome);
    VerificaCancelado();
}

std::optional<std::string> TExecucaoDownload::MostraBaixando(const std::string& diretorioRemoto,
                                                             const std::string& nome)
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    const std::unique_ptr<TelaBaixando> tela = Janelas.MostraBaixando([this] { Cancela(); });
    std::optional<std::string> falha;

    ftp.SetHostDirName(Sessao.DiretorioSite + diretorioRemoto);
    const bool diretorioOk = Executa(&TFtpClient::CwdStep);
    ftp.SetHostFileName(nome);
    ftp.SetLocalFileName(Local(nome));
    tela->Inicia(ftp.HostName(), nome);
    if (!diretorioOk) {
        // Without its directory the server would hand out a namesake from another one.
        falha = "a pasta " + ParaUtf8(Sessao.DiretorioSite + diretorioRemoto) +
                " não foi encontrada no servidor (" + MotivoFalha() + ")";
    } else {
        const bool tamanhoOk = Executa(&TFtpClient::SizeStep);
        const std::int64_t tamanho = tamanhoOk ? ftp.RemoteFileSize() : 0;
        tela->DefineTotal(tamanho);
        if (!Executa(&TFtpClient::GetFile)) {
            falha = MotivoFalha();
        } else {
            const std::int64_t chegaram = TamanhoArquivo(Local(nome));
            if (chegaram < 0)
                falha = "o arquivo não foi gravado na pasta de download";
            else if (tamanhoOk && chegaram != tamanho)
                falha = "chegaram " + std::to_string(chegaram) + " de " +
                        std::to_string(tamanho) + " bytes";
        }
    }
    tela->Termina(falha.value_or(std::string()));

    const auto limite = platform::EventLoop::Clock::now() + kEsperaFechar;
    while (tela->Aberta() && !Sessao.Loop().QuitRequested() &&
           platform::EventLoop::Clock::now() < limite)
        Sessao.Loop().WaitAndDispatch(limite);
    return falha;
}

void TExecucaoDownload::GravaRegras(const catalogue::TEstruturaComp& componente)
{
    for (int j = 1;; ++j) {
        const std::string regra = catalogue::CampoSeparado(componente.Regra, '|', j);
        if (regra.empty())
            break;
        VerificaCancelado();
        catalogue::GravaRegrasIni(regra, j, Sessao.DiretorioSite, Sessao.PastaDestino,
                                  *ArquivoRegras, [this](const catalogue::ArquivoABaixar& arquivo) {
                                      BaixaArquivoRegra(arquivo.HostDirName, arquivo.HostFileName,
                                                        arquivo.LocalFileName);
                                  });
    }
}

void TExecucaoDownload::BaixaArquivoRegra(const std::string& hostDir, const std::string& nome,
                                          const std::string& local)
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    ftp.SetHostDirName(hostDir);
    ftp.SetHostFileName(nome);
    ftp.SetLocalFileName(local);
    // An old copy in the folder must not pass for the rule file of this run.
    std::remove(local.c_str());
    if (Executa(&TFtpClient::CwdStep) && Executa(&TFtpClient::GetFile) &&
        TamanhoArquivo(local) >= 0)
        return;
    throw EFimExecucao(FimExecucao::Interrompida,
                       "O arquivo de regras \"" + ParaUtf8(hostDir + nome) +
                           "\" não foi baixado do servidor (" + MotivoFalha() +
                           ").\rO download foi interrompido e o arquivo Regras.Ini não foi "
                           "gravado.");
}

void TExecucaoDownload::BaixaArquivoSuporte(const std::string& nome)
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    Executa(&TFtpClient::TypeBinaryStep);
    ftp.SetHostDirName(Sessao.DiretorioSite + kPastaSuporte);
    if (!Executa(&TFtpClient::CwdStep))
        Sessao.Servicos().ShowMessage(kTituloPrograma,
                                      "Não foi possível achar a pasta Suporte.\rEntre em contato "
                                      "com o Orva.",
                                      Icon::None);
    if (!catalogue::NomeArquivoSeguro(nome)) {
        Resultado.Falhas.push_back(nome + ": nome de arquivo inválido, não foi gravado");
        return;
    }
    if (const std::optional<std::string> falha = MostraBaixando(kPastaSuporte, nome))
        Resultado.Falhas.push_back(nome + ": " + *falha);
    else
        Resultado.Baixados.push_back(nome);
}

void TExecucaoDownload::Encerramento()
{
    platform::UserServices& servicos = Sessao.Servicos();
    if (!Resultado.Falhas.empty()) {
        Resultado.Fim = FimExecucao::ComFalhas;
        std::string texto = "Alguns arquivos não foram baixados:\r";
        for (const std::string& falha : Resultado.Falhas)
            texto += "    " + ParaUtf8(falha) + "\r";
        texto += "Os arquivos que chegaram estão em " + ParaUtf8(Sessao.PastaDestino) +
                 ".\rTente o download novamente.";
        Aviso(texto);
        return;
    }
    Resultado.Fim = FimExecucao::Concluida;
    if (Instalador.empty()) {
        Resultado.Mensagem = "Os arquivos foram baixados com sucesso.";
        servicos.ShowMessage(kAtencao, Resultado.Mensagem, Icon::None);
        return;
    }
    Resultado.Mensagem = kPerguntaInstalar;
    if (!Janelas.PerguntaInstalar(kAtencao, kPerguntaInstalar))
        return;
    Resultado.InstaladorIniciado = servicos.StartProgram(Local(Instalador));
    if (!Resultado.InstaladorIniciado)
        Aviso(InstaladorNaoIniciado(Local(Instalador), Sessao.PastaDestino));
}

bool TExecucaoDownload::Executa(void (TFtpClient::*pedido)())
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    if (!ftp.IsControlOpen())
        throw EFimExecucao(FimExecucao::Interrompida, kConexaoCaiu);
    try {
        (ftp.*pedido)();
    } catch (const FtpException& erro) {
        if (!ftp.IsControlOpen())
            throw EFimExecucao(FimExecucao::Interrompida, kConexaoCaiu);
        throw EFimExecucao(FimExecucao::Interrompida,
                           std::string("O download foi interrompido.\r") + erro.what());
    }
    if (!Sessao.FtpPronto()) {
        // Closing the program: leave quietly. A time-out: FtpPronto has said so already.
        if (Sessao.Encerrando() || Sessao.Loop().QuitRequested())
            throw EFimExecucao(FimExecucao::Interrompida, std::string());
        throw EFimExecucao(FimExecucao::Interrompida, kConexaoCaiu, true);
    }
    return ftp.StatusCode() == 0;
}

std::string TExecucaoDownload::MotivoFalha() const
{
    const TFtpClient& ftp = Sessao.ftpDownloader();
    std::string motivo = ftp.ErrorMessage().empty() ? ftp.LastReply() : ftp.ErrorMessage();
    while (!motivo.empty() && (motivo.back() == '\r' || motivo.back() == '\n'))
        motivo.pop_back();
    if (motivo.empty())
        motivo = "erro " + std::to_string(ftp.StatusCode());
    return "servidor: " + ParaUtf8(motivo);
}

void TExecucaoDownload::VerificaCancelado() const
{
    if (Sessao.Cancelado)
        throw EFimExecucao(FimExecucao::Cancelada, std::string());
}

void TExecucaoDownload::Cancela()
{
    Sessao.Cancelado = true;
    if (ArquivoRegras)
        ArquivoRegras->Close();
}

std::string TExecucaoDownload::Local(const std::string& nome) const
{
    return Sessao.PastaDestino + catalogue::NomeEmDisco(nome);
}

void TExecucaoDownload::Aviso(const std::string& texto)
{
    Resultado.Mensagem = texto;
    Sessao.Servicos().ShowMessage(kAtencao, texto, Icon::Error);
}

}  // namespace mirelo_download
