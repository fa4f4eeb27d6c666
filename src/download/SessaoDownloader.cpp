#include "download/SessaoDownloader.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "catalogue/MirrorList.h"
#include "catalogue/ProxySettings.h"
#include "catalogue/TextFile.h"
#include "download/MemoriaTls.h"
#include "ftp/Ftpcli.h"
#include "platform/EventLoop.h"
#include "platform/UserServices.h"

namespace {

constexpr const char* kMensagemTxt = "mensagem.txt";
constexpr const char* kMensagemNova = "mensagem.txt.novo";
constexpr const char* kUsuarioAnonimo = "anonymous";
constexpr int kTimeoutSegundos = 900;
// A busy server (421) or a refused connection gets a second try before the next server of the
// list; a request that found the connection closed is tried once more after a new log-on.
constexpr int kTentativasPorServidor = 2;
constexpr int kPausaEntreTentativasMs = 1000;
constexpr int kTentativasAposQueda = 2;
// The wait gives the client's own stall check this long to end a stalled transfer first.
constexpr int kFolgaDaParadaSegundos = 5;
// A log-on that hears nothing from the server for this long (a host that drops the packets, a
// server that never greets) gives way to the next try and the next server, instead of holding
// the user for the whole Timeout.
constexpr int kLimiteLogOnSegundos = 30;

const char* const kQuedaPorTimeout = "A Conexão caiu por Time-out";
const char* const kConexaoFechada =
    "A conexão com o FTP foi fechada pelo servidor ou pela rede.\rTente de novo.";

const char* const kErroConfiguracao =
    "Não foi possivel baixar o arquivo de configuração.\rContacte o Orva.";

int Sorteia()
{
    std::mt19937 gerador(static_cast<std::mt19937::result_type>(
        std::chrono::system_clock::now().time_since_epoch().count()));
    return std::uniform_int_distribution<int>(0, 1)(gerador);
}

// The length of a local file, or -1 when there is none.
long long TamanhoLocal(const char* caminho)
{
    struct stat info {};
    if (::stat(caminho, &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<long long>(info.st_size);
}

// The host as the FTP client and the proxy user name take it: "host", or "host:port" when the
// server is not on the FTP port.
std::string HostComPorta(const TServidorFtp& servidor)
{
    return servidor.Porta == "ftp" ? servidor.Host : servidor.Host + ":" + servidor.Porta;
}

}  // namespace

TSessaoDownloader::TSessaoDownloader(platform::EventLoop& loop, platform::UserServices& servicos,
                                     const platform::RegistryService& registro,
                                     std::vector<TServidorFtp> servidores, int sorteio)
    : Loop_(loop),
      Servicos_(servicos),
      Registro_(registro),
      Servidores(std::move(servidores)),
      Ftp(std::make_unique<TFtpClient>(loop)),
      Vigia(std::make_unique<TFtpTimer>(loop, [this] { VigiaLogOn(); }))
{
    if (Servidores.empty())
        Servidores = ServidoresEmbutidos();
    const int r = sorteio < 0 ? Sorteia() : sorteio;
    Servidor = Servidores[static_cast<std::size_t>(r) % Servidores.size()];
    Usuario = kUsuarioAnonimo;
    Senha = kSenhaAnonima;

    Ftp->SetTimeout(kTimeoutSegundos);
    Ftp->SetMultiThreaded(false);
    Ftp->SetDisplayFileFlag(false);
    Ftp->SetBinary(true);
    Ftp->SetShareMode(ftpShareExclusive);
    Ftp->SetOptions({ftpAcceptLF});
    Ftp->SetConnectionType(ftpDirect);
    // Nearly every user sits behind a NAT router, which lets no server connect back to PORT.
    Ftp->SetPassiveMode(true);
    Ftp->OnSessionConnected = [this](auto*, std::uint16_t Error) {
        ftpDownloaderSessionConnected(Error);
    };
    Ftp->OnRequestDone = [this](TObject*, TFtpRequest RqType, std::uint16_t Error) {
        ftpDownloaderRequestDone(RqType, Error);
    };
    Ftp->OnStateChange = [this](TObject*) { ftpDownloaderStateChange(); };
    Ftp->OnProgress = [this](TObject*, std::int64_t Count, bool& Abort) {
        ftpDownloaderProgress(Count, Abort);
    };

    SetProxy();
    // A server or network that will not do passive still gets PORT, and keeps it; a proxy only
    // ever relays passive data connections.
    Ftp->SetPassiveFallback(UsaProxy != "S");
    Ftp->SetHostName(Servidor.Host);
    Ftp->SetPort(Servidor.Porta);
    Ftp->SetUserName(Usuario);
    Ftp->SetPassWord(Senha);
    // Through the proxy the user name names the first server, so the list starts there.
    MontaDestinos(UsaProxy == "S" ? 0 : static_cast<std::size_t>(r) % Servidores.size());
}

TSessaoDownloader::~TSessaoDownloader() = default;

void TSessaoDownloader::SetProxy()
{
    catalogue::SessaoFtp sessao{Servidor.Host, Usuario, Senha, false};
    try {
        const catalogue::ConfiguracaoProxy configuracao =
            catalogue::SetProxy(sessao, HostComPorta(Servidores.front()), kSenhaAnonima);
        UsaProxy = configuracao.UsaProxy;
        ProxyServidor = configuracao.ProxyServidor;
        ProxyPorta = configuracao.ProxyPorta;
    } catch (const catalogue::EInOutError& erro) {
        // The proxy is not applied: the connection goes direct.
        Servicos_.ShowMessage("Atenção.", erro.what(), platform::UserServices::Icon::Error);
        return;
    }
    if (UsaProxy != "S")
        return;
    // The proxy line may carry its port as "host:port"; otherwise the FTP port is used.
    const auto proxy = SeparaHostPorta(sessao.HostName);
    Servidor = proxy ? *proxy : TServidorFtp{sessao.HostName, "ftp"};
    Usuario = sessao.UserName;
    Senha = sessao.PassWord;
    Ftp->SetPassiveMode(sessao.PassiveMode);
}

void TSessaoDownloader::MontaDestinos(std::size_t escolhido)
{
    Destinos.push_back({Servidores[escolhido], kDiretorioProdutos});
    for (std::size_t i = 0; i < Servidores.size(); ++i)
        if (i != escolhido)
            Destinos.push_back({Servidores[i], kDiretorioProdutos});
    if (!catalogue::FileExists(catalogue::kSitesReplicacaoCfg))
        return;
    try {
        const std::string texto = catalogue::ReadTextFile(catalogue::kSitesReplicacaoCfg);
        for (const std::string& entrada : catalogue::LeSiteReplicadores(texto)) {
            const catalogue::SiteReplicador site = catalogue::InterpretaEntrada(entrada);
            if (const auto servidor = SeparaHostPorta(site.Host))
                DestinoDoSite({*servidor, site.Diretorio});
        }
    } catch (const std::exception&) {
        // An unreadable list only means no mirrors to fall back on; the window says why when
        // it reads the list for its drop-down.
    }
}

std::size_t TSessaoDownloader::DestinoDoSite(const TDestino& destino)
{
    for (std::size_t i = 0; i < Destinos.size(); ++i)
        if (Destinos[i].Servidor == destino.Servidor && Destinos[i].Diretorio == destino.Diretorio)
            return i;
    Destinos.push_back(destino);
    return Destinos.size() - 1;
}

void TSessaoDownloader::UsaDestino(std::size_t indice)
{
    DestinoAtual = indice;
    const TDestino& destino = Destinos[indice];
    DiretorioSite = destino.Diretorio;
    if (UsaProxy == "S") {
        // The proxy learns its target from the user name, as at the first log-on.
        Usuario = std::string(kUsuarioAnonimo) + "@" + HostComPorta(destino.Servidor);
        Ftp->SetUserName(Usuario);
    } else {
        Ftp->SetHostName(destino.Servidor.Host);
        Ftp->SetPort(destino.Servidor.Porta);
    }
    if (OnServidorEmUso)
        OnServidorEmUso();
}

std::string TSessaoDownloader::ServidorEmUso() const
{
    return HostComPorta(Destinos[DestinoAtual].Servidor);
}

std::string TSessaoDownloader::TextoConexaoPerdida() const
{
    return QuedaPorTimeout ? kQuedaPorTimeout : kConexaoFechada;
}

void TSessaoDownloader::MostraConexaoPerdida()
{
    Servicos_.ShowMessage("Atenção.", TextoConexaoPerdida(), platform::UserServices::Icon::Error);
}

bool TSessaoDownloader::IsControlOpen() const
{
    return Ftp->IsControlOpen();
}

std::string TSessaoDownloader::HostName() const
{
    return Ftp->HostName();
}

std::string TSessaoDownloader::UserName() const
{
    return Ftp->UserName();
}

std::int64_t TSessaoDownloader::AgoraMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------------
// The FTP client's events

void TSessaoDownloader::ftpDownloaderSessionConnected(std::uint16_t Error)
{
    if (Error != 0)
        MostraErroConexao();
    ConexaoAberta = false;
    if (OnFechaConexao)
        OnFechaConexao();
}

void TSessaoDownloader::ftpDownloaderRequestDone(int RqType, std::uint16_t Error)
{
    TransferenciaConcluida = RqType == frqGet;
    // A report that arrives while a newer request already runs belongs to an aborted one.
    const TFtpEngineState estado = Ftp->EngineState();
    if (estado == fesReady || estado == fesStepDone || estado == fesClosed) {
        PedidoEmCurso = false;
        UltimoPedido = RqType;
        UltimoErro = Error;
    }
    // A log-on that ends without a session (no server, refused connection) closes the
    // connecting dialog too, rather than leaving it to animate until the patience question.
    if (RqType == frqLogOn && ConexaoAberta) {
        ConexaoAberta = false;
        if (OnFechaConexao)
            OnFechaConexao();
    }
}

void TSessaoDownloader::ftpDownloaderStateChange()
{
    TransferenciaConcluida = false;
    UltimaAtividadeMs = AgoraMs();
    const TFtpEngineState estado = Ftp->EngineState();
    if (estado != fesReady && estado != fesStepDone && estado != fesClosed &&
        estado != fesAborting)
        PedidoEmCurso = true;
}

void TSessaoDownloader::ftpDownloaderProgress(std::int64_t Count, bool&)
{
    BytesRecebidos = Count;
    UltimaAtividadeMs = AgoraMs();
    if (OnProgresso)
        OnProgresso();
}

// ---------------------------------------------------------------------------------------------
// Waiting

bool TSessaoDownloader::FtpPronto()
{
    UltimaAtividadeMs = AgoraMs();
    while (PedidoEmCurso) {
        if (Encerrando_ || Loop_.QuitRequested()) {
            Aborta();
            return false;
        }
        const int timeout = LimiteDaEspera();
        auto limite = platform::EventLoop::Clock::time_point::max();
        if (timeout > 0) {
            const std::int64_t restante =
                UltimaAtividadeMs + std::int64_t{timeout} * 1000 - AgoraMs();
            if (restante <= 0) {
                Aborta();
                QuedaPorTimeout = true;
                MostraConexaoPerdida();
                return false;
            }
            limite = platform::EventLoop::Clock::now() + std::chrono::milliseconds(restante);
        }
        Loop_.WaitAndDispatch(limite);
    }
    return !Encerrando_;
}

int TSessaoDownloader::LimiteDoLogOn() const
{
    const int timeout = Ftp->Timeout();
    return timeout > 0 ? std::min(timeout, kLimiteLogOnSegundos) : kLimiteLogOnSegundos;
}

void TSessaoDownloader::VigiaLogOn()
{
    if (!PedidoEmCurso)
        return;
    const std::int64_t restante =
        UltimaAtividadeMs + std::int64_t{LimiteDoLogOn()} * 1000 - AgoraMs();
    if (restante > 0) {
        Vigia->Start(std::chrono::milliseconds(restante));
        return;
    }
    LogOnSemResposta = true;
    // As when the user gives up: the request's report closes the connecting dialog.
    Ftp->AbortAll();
}

int TSessaoDownloader::LimiteDaEspera() const
{
    // The log-on watch ends a silent log-on; the wait only stands behind it.
    if (Vigia->Running())
        return LimiteDoLogOn() + kFolgaDaParadaSegundos;
    // While a data connection is up, the transfer belongs to the client's stall limit, which
    // ends it as a failure the run may try again; the wait only stands behind it. Command
    // replies keep the Timeout.
    const int parada = Ftp->StallTimeout();
    if (parada > 0 && Ftp->DataSocket().State() != wsClosed)
        return parada + kFolgaDaParadaSegundos;
    return Ftp->Timeout();
}

bool TSessaoDownloader::GaranteConexao()
{
    if (Encerrando_ || Loop_.QuitRequested())
        return false;
    // A close that the server or the network sent while the session was idle may still wait in
    // the loop; take it now rather than send the next command into it.
    Loop_.ProcessPendingEvents();
    if (Ftp->IsControlOpen())
        return true;
    return EntraNaLista();
}

void TSessaoDownloader::Aborta()
{
    Ftp->AbortAll();
    // The abort's report is already posted; take it now. Bounded: a few rounds of what is
    // pending, never a wait.
    for (int volta = 0; volta < 16 && PedidoEmCurso; ++volta)
        Loop_.ProcessPendingEvents();
    PedidoEmCurso = false;
}

bool TSessaoDownloader::Inicia(void (TFtpClient::*pedido)())
{
    try {
        (Ftp.get()->*pedido)();
        return true;
    } catch (const FtpException&) {
        // The client refuses a request only when the control connection has gone or another
        // request still runs. A connection gone is the caller's to restore or report; the other
        // is told here in words of the program, not the client's.
        if (Ftp->IsControlOpen())
            Servicos_.ShowMessage("Atenção.", "O Downloader ainda está atendendo outro pedido ao FTP.",
                                  platform::UserServices::Icon::Error);
        return false;
    }
}

void TSessaoDownloader::Encerra()
{
    Encerrando_ = true;
    Loop_.Quit();
}

// ---------------------------------------------------------------------------------------------
// The connection sequence

void TSessaoDownloader::MostraErroConfiguracao()
{
    Servicos_.ShowMessage("Atenção.", kErroConfiguracao, platform::UserServices::Icon::Error);
}

void TSessaoDownloader::MostraErroConexao()
{
    Servicos_.ShowMessage("Erro", "Não foi possível conectar ao FTP:\r" + Ftp->HostName(),
                          platform::UserServices::Icon::Error);
}

void TSessaoDownloader::Desiste()
{
    Desistiu = true;
    // Also before the greeting: a lookup or connect still running would otherwise log on
    // behind the user's back after the dialog has gone.
    Ftp->AbortAll();
}

bool TSessaoDownloader::EsperaLogOn()
{
    // Without a dialog (headless), wait in the loop for the session or the end of the log-on.
    while (ConexaoAberta && PedidoEmCurso) {
        if (!FtpPronto())
            return false;
    }
    return true;
}

bool TSessaoDownloader::Conectar()
{
    if (Encerrando_)
        return false;
    // Reconnecting from an open session first leaves it, as the mirror switch does.
    if (Ftp->IsControlOpen()) {
        if (!Inicia(&TFtpClient::QuitStep) || !FtpPronto())
            return false;
    }
    Ftp->SetHostDirName(kDiretorioProdutos);
    Ftp->SetHostFileName(catalogue::kFormulariosCfg);
    Ftp->SetLocalFileName(catalogue::kFormulariosCfg);
    if (!EntraNaLista())
        return false;
    if (!Busca(kDiretorioProdutos, catalogue::kFormulariosCfg, true))
        return false;
    catalogue::LeFormulariosCfg(Formularios);
    return true;
}

bool TSessaoDownloader::EntraNaLista()
{
    const std::size_t inicio = DestinoAtual;
    Entrada ultima = Entrada::Recusada;
    for (std::size_t volta = 0; volta < Destinos.size(); ++volta) {
        if (volta > 0)
            UsaDestino((inicio + volta) % Destinos.size());
        for (int tentativa = 0; tentativa < kTentativasPorServidor; ++tentativa) {
            if (tentativa > 0 && !Pausa(kPausaEntreTentativasMs))
                return false;
            ultima = EntraUmaVez();
            switch (ultima) {
            case Entrada::Conectada:
                if (OnServidorEmUso)
                    OnServidorEmUso();
                return true;
            case Entrada::Recusada:
            case Entrada::SemResposta:
                break;
            case Entrada::Insegura:
                tentativa = kTentativasPorServidor;  // not this server again
                break;
            case Entrada::Interrompida:
                if (OnServidorEmUso)
                    OnServidorEmUso();
                return false;
            }
        }
    }
    // Every server refused: the next attempt starts again with the one the user had.
    if (DestinoAtual != inicio)
        UsaDestino(inicio);
    else if (OnServidorEmUso)
        OnServidorEmUso();
    // The last server heard nothing, as a request that the Timeout ends.
    if (ultima == Entrada::SemResposta) {
        QuedaPorTimeout = true;
        MostraConexaoPerdida();
    } else {
        MostraErroConexao();
    }
    return false;
}

TSessaoDownloader::Entrada TSessaoDownloader::EntraUmaVez()
{
    Desistiu = false;
    UltimoErro = 0;
    UltimoPedido = 0;
    const std::string servidor = ServidorEmUso();
    const bool exigeTls = ExigeTls || memoria_tls::FalouTls(memoria_tls::kArquivo, servidor);
    Ftp->SetTlsMode(exigeTls ? ftpTlsRequire : ftpTlsTry);
    Ftp->SetTlsCaFile(ArquivoCa);
    LogOnSemResposta = false;
    if (!Inicia(&TFtpClient::LogOn))
        return Entrada::Interrompida;
    // Watches the log-on until this try ends, however it ends.
    struct Vigiado {
        TFtpTimer& Vigia;
        ~Vigiado() { Vigia.Stop(); }
    } vigiado{*Vigia};
    UltimaAtividadeMs = AgoraMs();
    Vigia->Start(std::chrono::seconds(LimiteDoLogOn()));
    ConexaoAberta = true;
    if (OnMostraConexao)
        OnMostraConexao();
    else if (!EsperaLogOn())
        return Entrada::Interrompida;
    ConexaoAberta = false;
    if (Encerrando_)
        return Entrada::Interrompida;
    if (LogOnSemResposta)
        return Entrada::SemResposta;

    if (!Ftp->IsControlOpen()) {
        // The user gave up, or the dialog closed before the log-on ended: no try of ours.
        const bool terminou = !PedidoEmCurso && UltimoPedido == frqLogOn && UltimoErro != 0;
        if (PedidoEmCurso)
            Aborta();
        if (terminou && !Desistiu && FalhaDeTls(servidor, exigeTls))
            return Entrada::Insegura;
        return terminou && !Desistiu ? Entrada::Recusada : Entrada::Interrompida;
    }
    if (!FtpPronto())
        return Entrada::Interrompida;
    if (LogOnSemResposta)
        return Entrada::SemResposta;
    if (UltimoErro != 0 || !Ftp->IsControlOpen()) {
        // USER or PASS refused, or the server closed during the log-on (421 busy).
        Aborta();
        return FalhaDeTls(servidor, exigeTls) ? Entrada::Insegura : Entrada::Recusada;
    }
    // SIZE answers for the transfer type, and servers that follow RFC 3659 refuse it in ASCII
    // (the type every session starts with), so the session switches to binary once.
    if (!Inicia(&TFtpClient::TypeBinaryStep) || !FtpPronto())
        return Entrada::Interrompida;
    if (!Ftp->IsControlOpen())
        return Entrada::Recusada;
    QuedaPorTimeout = false;
    if (Ftp->TlsEncrypted())
        memoria_tls::LembraTls(memoria_tls::kArquivo, servidor);
    return Entrada::Conectada;
}

bool TSessaoDownloader::FalhaDeTls(const std::string& servidor, bool exigida)
{
    std::string texto;
    if (Ftp->TlsError() != 0) {
        texto = "A conexão segura com o servidor " + servidor + " falhou:\r" + TlsErrorUserText(Ftp->TlsError()) +
                "\rO servidor não será usado.";
    } else if (exigida && Ftp->TlsRefused()) {
        texto = ExigeTls ? "O servidor " + servidor + " não oferece conexão segura (TLS), que foi exigida.\r"
                           "O servidor não será usado."
                         : "O servidor " + servidor + " já usou conexão segura (TLS) e agora a recusa.\r"
                           "Por segurança, o servidor não será usado.";
    } else {
        return false;
    }
    Servicos_.ShowMessage("Conexão insegura", texto, platform::UserServices::Icon::Error);
    return true;
}

std::string TSessaoDownloader::TextoCriptografia() const
{
    return Ftp->TlsEncrypted() ? "Conexão criptografada (" + Ftp->TlsVersion() + ")" : "Conexão não criptografada";
}

bool TSessaoDownloader::Pausa(int milissegundos)
{
    const auto limite =
        platform::EventLoop::Clock::now() + std::chrono::milliseconds(milissegundos);
    while (platform::EventLoop::Clock::now() < limite) {
        if (Encerrando_ || Loop_.QuitRequested())
            return false;
        Loop_.WaitAndDispatch(limite);
    }
    return !Encerrando_;
}

TSessaoDownloader::Passo TSessaoDownloader::Executa(void (TFtpClient::*pedido)())
{
    if (!Ftp->IsControlOpen())
        return Passo::Caiu;
    if (!Inicia(pedido))
        return Ftp->IsControlOpen() ? Passo::Interrompido : Passo::Caiu;
    if (!FtpPronto())
        return Passo::Interrompido;
    if (UltimoErro == 0)
        return Passo::Ok;
    if (Ftp->IsControlOpen() && UltimoErro != 421)
        return Passo::Falhou;
    if (Ftp->IsControlOpen())
        Aborta();
    return Passo::Caiu;
}

bool TSessaoDownloader::Busca(const std::string& diretorio, const std::string& arquivo,
                              bool avisa)
{
    for (int tentativa = 1;; ++tentativa) {
        if (!GaranteConexao())
            return false;
        switch (BuscaUmaVez(diretorio, arquivo)) {
        case Passo::Ok:
            return true;
        case Passo::Caiu:
            // An idle drop or a restart of the server between two clicks: log on again and
            // fetch once more before the user hears of it.
            if (tentativa < kTentativasAposQueda)
                continue;
            MostraConexaoPerdida();
            return false;
        case Passo::Falhou:
            if (avisa)
                MostraErroConfiguracao();
            return false;
        case Passo::Interrompido:
            return false;
        }
    }
}

TSessaoDownloader::Passo TSessaoDownloader::BuscaUmaVez(const std::string& diretorio,
                                                        const std::string& arquivo)
{
    Ftp->SetHostDirName(diretorio);
    Ftp->SetHostFileName(arquivo);
    Ftp->SetLocalFileName(arquivo);
    if (!diretorio.empty()) {
        // A refused CWD shows in the SIZE that follows.
        const Passo cwd = Executa(&TFtpClient::CwdStep);
        if (cwd == Passo::Caiu || cwd == Passo::Interrompido)
            return cwd;
    }
    const Passo size = Executa(&TFtpClient::SizeStep);
    if (size != Passo::Ok)
        return size;
    if (Ftp->RemoteFileSize() <= 0)
        return Passo::Falhou;
    const Passo get = Executa(&TFtpClient::GetFile);
    if (get == Passo::Interrompido)
        return get;
    // A data connection that closes in order after part of the file still ends with 226, so
    // only the copy's length tells a whole catalogue from a cut one; a cut copy is removed so
    // that no later reading can take it for the catalogue.
    std::error_code semErro;
    const auto tamanho = std::filesystem::file_size(arquivo, semErro);
    if (get != Passo::Ok || semErro ||
        tamanho != static_cast<std::uintmax_t>(Ftp->RemoteFileSize())) {
        std::filesystem::remove(arquivo, semErro);
        return get == Passo::Caiu ? Passo::Caiu : Passo::Falhou;
    }
    return Passo::Ok;
}

bool TSessaoDownloader::PegaDownloadCfg(std::size_t formSlot, std::size_t posicao)
{
    const catalogue::TEstruturaForm* form = Formularios.Slot(formSlot);
    const bool buscado =
        form != nullptr && !Encerrando_ &&
        Busca(catalogue::DiretorioDoDownloadCfg(DiretorioSite, *form, posicao),
              catalogue::kDownloadCfg, true);
    // The components of the installation selected before must not stand in for this one's:
    // "Iniciar Download" would fetch them.
    if (!buscado)
        Componentes.Clear();
    return buscado;
}

std::vector<int> TSessaoDownloader::LeDownloadCfg()
{
    return catalogue::LeDownloadCfg(Componentes);
}

bool TSessaoDownloader::TrocaSite(const std::string& entrada)
{
    if (Encerrando_)
        return false;
    const catalogue::SiteReplicador site = catalogue::InterpretaEntrada(entrada);
    const auto servidor = SeparaHostPorta(site.Host);
    if (!servidor) {
        Servicos_.ShowMessage("Atenção.",
                              "O endereço do FTP escolhido não é válido: \"" + site.Host + "\".",
                              platform::UserServices::Icon::Error);
        return false;
    }
    if (Ftp->IsControlOpen()) {
        if (!Inicia(&TFtpClient::QuitStep) || !FtpPronto())
            return false;
    }
    UsaDestino(DestinoDoSite({*servidor, site.Diretorio}));
    Ftp->SetHostDirName(site.Diretorio);
    return Conectar();
}

std::optional<std::string> TSessaoDownloader::MostraMsg()
{
    for (int tentativa = 1; tentativa <= kTentativasAposQueda; ++tentativa) {
        if (Encerrando_ || !GaranteConexao())
            return std::nullopt;
        Passo passo = Passo::Ok;
        std::optional<std::string> mensagem = BuscaMensagem(passo);
        if (passo != Passo::Caiu)
            return mensagem;
    }
    // The message can wait for the next start; the next click logs on again.
    return std::nullopt;
}

std::optional<std::string> TSessaoDownloader::BuscaMensagem(Passo& passo)
{
    if (!Ftp->HostDirName().empty()) {
        passo = Executa(&TFtpClient::CwdStep);
        if (passo == Passo::Caiu || passo == Passo::Interrompido)
            return std::nullopt;
    }
    Ftp->SetHostFileName(kMensagemTxt);
    passo = Executa(&TFtpClient::SizeStep);
    if (passo == Passo::Caiu || passo == Passo::Interrompido)
        return std::nullopt;
    const std::int64_t remoto = passo == Passo::Ok ? Ftp->RemoteFileSize() : 0;
    if (remoto <= 0)
        return std::nullopt;
    // An empty local copy is the user's way of not wanting the message.
    const long long local = TamanhoLocal(kMensagemTxt);
    if (local == 0)
        return std::nullopt;
    // A new message may have the old one's length, so only its bytes tell: it is fetched beside
    // the copy and replaces it only when it arrived whole and differs.
    Ftp->SetLocalFileName(kMensagemNova);
    passo = Executa(&TFtpClient::GetFile);
    const bool chegou = passo == Passo::Ok && TamanhoLocal(kMensagemNova) == remoto;
    std::optional<std::string> mensagem;
    if (chegou) {
        std::string nova = catalogue::ReadTextFile(kMensagemNova);
        if (local < 0 || nova != catalogue::ReadTextFile(kMensagemTxt)) {
            std::error_code erro;
            std::filesystem::rename(kMensagemNova, kMensagemTxt, erro);
            if (!erro)
                mensagem = std::move(nova);
        }
    }
    std::remove(kMensagemNova);
    return mensagem;
}

// ---------------------------------------------------------------------------------------------
// Closing and the links

bool TSessaoDownloader::PodeFechar()
{
    if (!Ftp->IsControlOpen())
        return true;
    return Servicos_.AskYesNo("Atenção.",
                              "O Downloader está conectado com FTP: " + Ftp->HostName() + "\r" +
                                  "Deseja sair ?",
                              platform::UserServices::Icon::Question);
}

void TSessaoDownloader::AbrePagina()
{
    // Without a browser the click would otherwise do nothing at all.
    if (!Servicos_.OpenAddress(kPaginaOrva))
        Servicos_.ShowMessage("Atenção.",
                              std::string("Não foi possível abrir a página ") + kPaginaOrva +
                                  ".\rAbra esse endereço no seu navegador.",
                              platform::UserServices::Icon::Error);
}

void TSessaoDownloader::EscreveEmail()
{
    if (!Servicos_.OpenAddress(std::string("mailto:") + kEmailAtendimento + "?subject=Downloader"))
        Servicos_.ShowMessage("Atenção.",
                              std::string("Não foi possível abrir o programa de e-mail.\r"
                                          "Escreva para ") +
                                  kEmailAtendimento + " com o assunto \"Downloader\".",
                              platform::UserServices::Icon::Error);
}

catalogue::StatusVersao TSessaoDownloader::StatusDoFormulario(
    const catalogue::TEstruturaForm& form) const
{
    return catalogue::StatusDoFormulario(form, Registro_);
}
