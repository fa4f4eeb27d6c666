#include "download/ExecucaoDownload.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "catalogue/InstallRules.h"
#include "catalogue/TextHelpers.h"
#include "download/ArquivoLocal.h"
#include "download/DataDisponibilizacao.h"
#include "download/NomesArquivo.h"
#include "download/SessaoDownloader.h"
#include "ftp/FtpRetry.h"
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
constexpr const char* kPastaSuporte = "/suporte/";
constexpr std::int64_t kMaxDiscos = 999;
// The progress window closes as soon as it is told the file has ended; this only bounds a
// window that would never close.
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
    // The session has told the user why it could not log on again (or the user gave up).
    if (!Sessao.IsControlOpen() && !Sessao.GaranteConexao())
        return Resultado;

    EmExecucao_ = true;
    try {
        ChamaBaixarArquivo();
    } catch (const EFimExecucao& fim) {
        Resultado.Fim = fim.Fim;
        if (!fim.Texto.empty()) {
            if (fim.Fim == FimExecucao::Cancelada)
                Sessao.Servicos().ShowMessage(kAtencao, fim.Texto, Icon::None);
            else if (!fim.Mostrada)
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
    Transferindo = false;
    return Resultado;
}

void TExecucaoDownload::ChamaBaixarArquivo()
{
    Sessao.Cancelado = false;
    // The session may have changed directories since the last run.
    DiretorioServidor.clear();
    // The catalogue's values are checked before anything is asked or written, so a broken
    // catalogue cannot stop the run halfway.
    const std::vector<Plano> planos = PlanejaComponentes();

    if (!Sessao.Servicos().AskYesNo(
            "Atenção", "Você está preste a instalar:\r" + ParaUtf8(ListaEscolhidos) + "Confirma ?",
            Icon::Question))
        return;

    // The folder of the previous run is proposed again (empty at the first: the default one).
    Sessao.PastaDestino = ComBarraFinal(Janelas.EscolhePasta(Sessao.PastaDestino));
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
    VerificaCancelado();
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
    VerificaCancelado();
    const Alvo alvo{Sessao.DiretorioSite + plano.Componente->DiretorioRemoto, nome, Local(nome)};
    // The size is asked in the file's own directory: the server's current one may be another
    // component's, whose answer would make a complete copy look incomplete (or the reverse).
    const bool diretorioOk = NoServidor(alvo, &TFtpClient::CwdStep);
    std::optional<std::string> semPasta;
    if (!diretorioOk)
        // Without its directory the server would hand out a namesake from another one.
        semPasta = "a pasta " + ParaUtf8(alvo.Diretorio) + " não foi encontrada no servidor (" +
                   MotivoFalha() + ")";
    const std::optional<std::int64_t> tamanho = diretorioOk ? Tamanho(alvo) : std::nullopt;
    VerificaCancelado();

    // Without the server's size nothing tells a complete copy from a cut one: fetch.
    if (tamanho && !PrecisaBaixar(alvo.Local, *tamanho, plano.Disponibilizacao)) {
        Resultado.Mantidos.push_back(nome);
        Janelas.ArquivoMantido(nome);
        return;
    }
    if (const std::optional<std::string> falha =
            MostraBaixando(alvo, tamanho, plano.Disponibilizacao, semPasta))
        Resultado.Falhas.push_back(nome + ": " + *falha);
    else
        Resultado.Baixados.push_back(nome);
    VerificaCancelado();
}

std::optional<std::string> TExecucaoDownload::MostraBaixando(
    const Alvo& alvo, std::optional<std::int64_t> tamanho, std::time_t naoAntesDe,
    const std::optional<std::string>& semPasta)
{
    const std::unique_ptr<TelaBaixando> tela = Janelas.MostraBaixando([this] { Cancela(); });
    tela->Inicia(Sessao.ftpDownloader().HostName(), alvo.Nome);
    std::optional<std::string> falha = semPasta;
    if (!falha) {
        tela->DefineTotal(tamanho.value_or(0));
        falha = Transfere(alvo, tamanho, naoAntesDe, tela.get());
    }
    tela->Termina(falha.value_or(std::string()));

    const auto limite = platform::EventLoop::Clock::now() + kEsperaFechar;
    while (tela->Aberta() && !Sessao.Loop().QuitRequested() &&
           platform::EventLoop::Clock::now() < limite)
        Sessao.Loop().WaitAndDispatch(limite);
    return falha;
}

std::optional<std::string> TExecucaoDownload::Transfere(const Alvo& alvo,
                                                        std::optional<std::int64_t> tamanho,
                                                        std::time_t naoAntesDe, TelaBaixando* tela)
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    const std::string parcial = NomeParcial(alvo.Local, tamanho);
    const Alvo alvoParcial{alvo.Diretorio, alvo.Nome, parcial};
    const auto conclui = [&]() -> std::optional<std::string> {
        if (ConcluiParcial(parcial, alvo.Local))
            return std::nullopt;
        return "o arquivo não pôde ser gravado na pasta de download (" +
               std::string(std::strerror(errno)) + ")";
    };
    // The most bytes the temporary has held: a try "moved bytes" only when it went beyond, so a
    // server that starts again from zero and breaks at the same place cannot keep the tries
    // going for ever.
    std::int64_t maisLonge = PreparaParcial(alvo.Local, tamanho, naoAntesDe);
    // A whole temporary whose rename an earlier run did not live to do.
    if (tamanho && *tamanho > 0 && maisLonge == *tamanho)
        return conclui();

    TFtpRetrySchedule tentativas;
    for (;;) {
        VerificaCancelado();
        Transferindo = true;
        // REST from the temporary's length, or a plain RETR when it is empty or missing.
        const bool ok = NoServidor(alvoParcial, &TFtpClient::ResumeGetFile);
        Transferindo = false;
        // Cancelar ended the try, or came just as it ended: the temporary stays for the next
        // run either way (a whole one is only renamed then).
        VerificaCancelado();
        const std::int64_t chegaram = std::max<std::int64_t>(TamanhoArquivo(parcial), 0);
        const bool moveu = chegaram > maisLonge;
        maisLonge = std::max(maisLonge, chegaram);

        std::string motivo;
        bool passageira = false;
        if (ok) {
            if (!tamanho || chegaram == *tamanho)
                return conclui();
            motivo = "chegaram " + std::to_string(chegaram) + " de " + std::to_string(*tamanho) +
                     " bytes";
            // More bytes than the server's size cannot be the file. Fewer, with the server
            // content, is worth a new try only while tries still bring bytes: a size that
            // lies would otherwise be asked for again and again.
            if (chegaram > *tamanho)
                std::remove(parcial.c_str());
            passageira = chegaram < *tamanho && moveu;
        } else {
            motivo = MotivoFalha();
            passageira = FtpFailureIsPassing(ftp.StatusCode()) ||
                         FtpFailureIsPassing(ftp.ReplyCode()) || !ftp.IsControlOpen();
        }
        if (!passageira)
            return motivo;
        const int espera = tentativas.NextWaitMs(moveu);
        if (espera < 0)
            return motivo;
        if (tela != nullptr)
            tela->TentaDeNovo(tentativas.IdleTries(), TFtpRetrySchedule::kMaxIdleTries, motivo);
        Espera(espera);
    }
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
    const Alvo alvo{hostDir, nome, local};
    std::optional<std::string> falha;
    if (!NoServidor(alvo, &TFtpClient::CwdStep))
        falha = MotivoFalha();
    else
        falha = Transfere(alvo, Tamanho(alvo), 0, nullptr);
    // An earlier copy in the folder stays, but never stands in for the rule file of this run.
    if (!falha && TamanhoArquivo(local) >= 0)
        return;
    throw EFimExecucao(FimExecucao::Interrompida,
                       "O arquivo de regras \"" + ParaUtf8(hostDir + nome) +
                           "\" não foi baixado do servidor (" +
                           falha.value_or("o arquivo não foi gravado na pasta de download") +
                           ").\rO download foi interrompido e o arquivo Regras.Ini não foi "
                           "gravado.");
}

void TExecucaoDownload::BaixaArquivoSuporte(const std::string& nome)
{
    VerificaCancelado();
    Executa(&TFtpClient::TypeBinaryStep);
    const Alvo alvo{Sessao.DiretorioSite + kPastaSuporte, nome, Local(nome)};
    const bool pastaOk = NoServidor(alvo, &TFtpClient::CwdStep);
    if (!pastaOk)
        Sessao.Servicos().ShowMessage(kTituloPrograma,
                                      "Não foi possível achar a pasta Suporte.\rEntre em contato "
                                      "com o Orva.",
                                      Icon::None);
    if (!catalogue::NomeArquivoSeguro(nome)) {
        Resultado.Falhas.push_back(nome + ": nome de arquivo inválido, não foi gravado");
        return;
    }
    std::optional<std::string> semPasta;
    if (!pastaOk)
        semPasta = "a pasta " + ParaUtf8(alvo.Diretorio) + " não foi encontrada no servidor";
    const std::optional<std::int64_t> tamanho = pastaOk ? Tamanho(alvo) : std::nullopt;
    VerificaCancelado();
    // The same length check as the components (support files carry no release date), so a
    // support file in the folder already is not fetched on every run.
    if (tamanho && ExisteArquivo(alvo.Local, *tamanho)) {
        Resultado.Mantidos.push_back(nome);
        Janelas.ArquivoMantido(nome);
        return;
    }
    if (const std::optional<std::string> falha = MostraBaixando(alvo, tamanho, 0, semPasta))
        Resultado.Falhas.push_back(nome + ": " + *falha);
    else
        Resultado.Baixados.push_back(nome);
    VerificaCancelado();
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

bool TExecucaoDownload::NoServidor(const Alvo& alvo, void (TFtpClient::*pedido)())
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    // A transfer's tries are counted by its caller; other requests get one more round when the
    // connection went away under them (a server that dropped an idle session, say).
    const bool transferencia = pedido == &TFtpClient::ResumeGetFile;
    for (int volta = 0;; ++volta) {
        const bool outraVolta = !transferencia && volta == 0;
        Conecta();
        if (DiretorioServidor != alvo.Diretorio) {
            ftp.SetHostDirName(alvo.Diretorio);
            if (!Executa(&TFtpClient::CwdStep)) {
                DiretorioServidor.clear();
                if (outraVolta && !ftp.IsControlOpen())
                    continue;
                return false;
            }
            DiretorioServidor = alvo.Diretorio;
        }
        if (pedido == &TFtpClient::CwdStep)
            return true;
        ftp.SetHostFileName(alvo.Nome);
        ftp.SetLocalFileName(alvo.Local);
        if (Executa(pedido))
            return true;
        if (!outraVolta || ftp.IsControlOpen())
            return false;
    }
}

std::optional<std::int64_t> TExecucaoDownload::Tamanho(const Alvo& alvo)
{
    if (!NoServidor(alvo, &TFtpClient::SizeStep))
        return std::nullopt;
    const std::int64_t tamanho = Sessao.ftpDownloader().RemoteFileSize();
    if (tamanho < 0)
        return std::nullopt;
    return tamanho;
}

void TExecucaoDownload::Conecta()
{
    if (Sessao.IsControlOpen())
        return;
    // A new log-on starts wherever the server puts it.
    DiretorioServidor.clear();
    if (!Sessao.GaranteConexao() || !Sessao.IsControlOpen())
        throw EFimExecucao(FimExecucao::Interrompida, Sessao.TextoConexaoPerdida());
}

bool TExecucaoDownload::Executa(void (TFtpClient::*pedido)())
{
    TFtpClient& ftp = Sessao.ftpDownloader();
    Conecta();
    try {
        (ftp.*pedido)();
    } catch (const FtpException& erro) {
        if (!ftp.IsControlOpen())
            throw EFimExecucao(FimExecucao::Interrompida, Sessao.TextoConexaoPerdida());
        throw EFimExecucao(FimExecucao::Interrompida,
                           std::string("O download foi interrompido.\r") + erro.what());
    }
    if (!Sessao.FtpPronto()) {
        // Closing the program: leave quietly. A time-out: FtpPronto has said so already.
        if (Sessao.Encerrando() || Sessao.Loop().QuitRequested())
            throw EFimExecucao(FimExecucao::Interrompida, std::string());
        throw EFimExecucao(FimExecucao::Interrompida, Sessao.TextoConexaoPerdida(), true);
    }
    return ftp.StatusCode() == 0;
}

void TExecucaoDownload::Espera(int milissegundos)
{
    platform::EventLoop& loop = Sessao.Loop();
    const auto limite =
        platform::EventLoop::Clock::now() + std::chrono::milliseconds(milissegundos);
    while (!Sessao.Cancelado && !Sessao.Encerrando() && !loop.QuitRequested() &&
           platform::EventLoop::Clock::now() < limite)
        loop.WaitAndDispatch(limite);
    if (Sessao.Encerrando() || loop.QuitRequested())
        throw EFimExecucao(FimExecucao::Interrompida, std::string());
    VerificaCancelado();
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
        throw EFimExecucao(FimExecucao::Cancelada,
                           "O download foi interrompido.\rOs arquivos que já chegaram estão em " +
                               ParaUtf8(Sessao.PastaDestino) +
                               ". Clique em \"Iniciar Download\" novamente para continuar de "
                               "onde parou.");
}

void TExecucaoDownload::Cancela()
{
    Sessao.Cancelado = true;
    if (ArquivoRegras)
        ArquivoRegras->Close();
    if (!Transferindo)
        return;
    // Posted: Cancelar may come from inside one of the FTP client's own handlers, which must not
    // have the connections torn down under them. The session outlives the run.
    TSessaoDownloader& sessao = Sessao;
    Sessao.Loop().Post([&sessao] {
        TFtpClient& ftp = sessao.ftpDownloader();
        if (sessao.Cancelado && ftp.EngineState() != fesReady && ftp.EngineState() != fesClosed)
            ftp.AbortAll();
    });
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
