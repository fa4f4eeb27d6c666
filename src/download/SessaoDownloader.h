// The session with the forms server, without widgets: the FTP client and its settings, the
// connection sequence (Conectar), the wait that turns requests into steps (FtpPronto), the
// mirror switch, the catalogue fetches, the server message check, the exit question and the two
// outside links, with the catalogue tables and the run state that the download shares. It talks
// to the user only through UserServices and its hooks, so the main window, the headless mode and
// the tests drive the same sequence. Owns the FTP client and the tables; the loop, the services
// and the registry must outlive it. Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/ComponentCatalogue.h"
#include "catalogue/FormsCatalogue.h"
#include "catalogue/InstalledVersion.h"
#include "download/Servidores.h"
#include "ftp/FtpTimer.h"

class TFtpClient;

namespace platform {
class EventLoop;
class RegistryService;
class UserServices;
}  // namespace platform

class TSessaoDownloader {
public:
    // `sorteio` picks the server (0 or 1); -1 draws it at random from the clock.
    TSessaoDownloader(platform::EventLoop& loop, platform::UserServices& servicos,
                      const platform::RegistryService& registro,
                      std::vector<TServidorFtp> servidores, int sorteio = -1);
    ~TSessaoDownloader();
    TSessaoDownloader(const TSessaoDownloader&) = delete;
    TSessaoDownloader& operator=(const TSessaoDownloader&) = delete;

    TFtpClient& ftpDownloader() { return *Ftp; }
    platform::EventLoop& Loop() { return Loop_; }
    platform::UserServices& Servicos() { return Servicos_; }
    const platform::RegistryService& Registro() const { return Registro_; }

    // Logs on and fetches the forms catalogue into the working directory. True when a fresh
    // catalogue was fetched and read into Formularios; the caller then rebuilds the tree. False
    // leaves Formularios as it was (the reason has been shown, or the user gave up). A server
    // that cannot be reached or keeps refusing the log-on is left for the next one of the list:
    // the other built-in server, then the mirrors of the local list.
    bool Conectar();

    // Waits in the event loop until the request that runs has ended and its end has been
    // reported. False when the wait ended without that: the application is quitting, or the FTP
    // client's Timeout passed without progress (the request is then aborted). A transfer is left
    // to the client's stall limit, which ends it with 426 (a true result with the failure).
    bool FtpPronto();

    // Makes sure the control connection is up before a request: when the server or the network
    // has closed it, logs on again to the same server (same user, proxy or SOCKS settings) with
    // the connecting dialog and sets the binary type; when that server keeps refusing, moves on
    // as Conectar does. True when the session is connected. The directory is the caller's to set
    // again: a new log-on starts in the server's home.
    bool GaranteConexao();

    // The server in use or being tried: "host" or "host:port", the target behind the proxy
    // when the proxy is on.
    std::string ServidorEmUso() const;
    // Fired when a log-on has ended, connected or not, and when the session moves to another
    // server, so the status can say which server is in use.
    std::function<void()> OnServidorEmUso;

    // TLS on every log-on: a server that refuses it is used in the clear, unless it spoke TLS
    // with this program before (memoria_tls) or ExigeTls is set; such a server is not used, nor
    // is one whose certificate fails the checks, and the user is told why.
    bool ExigeTls = false;
    // A PEM file of authorities trusted besides the system's; empty for none.
    std::string ArquivoCa;
    // Whether the session in use is encrypted, for the status: "Conexão criptografada (TLSv1.3)"
    // or "Conexão não criptografada".
    std::string TextoCriptografia() const;

    // What the user is told when the control connection has gone: the time-out text when the
    // wait gave up on the server, else that the server or the network closed it.
    std::string TextoConexaoPerdida() const;

    // Fetches the component catalogue of installation `posicao` (from 0) of form slot
    // `formSlot` into the working directory. True when a fresh one was fetched; false leaves the
    // old copy untouched and Componentes empty (a message has been shown).
    bool PegaDownloadCfg(std::size_t formSlot, std::size_t posicao);
    // Reads the component catalogue copy into Componentes (emptied first). Returns each
    // component's starting node image, slot k at index k - 1.
    std::vector<int> LeDownloadCfg();

    // The user picked a mirror entry (its shown text). Leaves the session and runs Conectar on
    // the mirror's host (through the proxy when it is on); returns Conectar's result.
    bool TrocaSite(const std::string& entrada);

    // The server message: when "mensagem.txt" on the server differs from the local copy, fetches
    // it and returns its bytes for the message window. nullopt when there is nothing new.
    std::optional<std::string> MostraMsg();

    // The close question: true when the window may close (asked only while connected).
    bool PodeFechar();
    // The application is ending: every running and later wait returns at once.
    void Encerra();
    bool Encerrando() const { return Encerrando_; }

    void AbrePagina();
    void EscreveEmail();

    // The hooks of the connecting dialog. OnMostraConexao shows it modally and returns when it
    // closes; without it the session waits for the log-on in the loop. OnFechaConexao closes
    // it. The dialog's Cancelar calls Desiste().
    std::function<void()> OnMostraConexao;
    std::function<void()> OnFechaConexao;
    void Desiste();

    // Fired for every progress report of a transfer, after BytesRecebidos is updated.
    std::function<void()> OnProgresso;

    bool IsControlOpen() const;
    std::string HostName() const;
    std::string UserName() const;

    // The installed version of a form and how it compares with the catalogue's.
    catalogue::StatusVersao StatusDoFormulario(const catalogue::TEstruturaForm& form) const;

    // The unit's shared state.
    catalogue::TabelaFormularios Formularios;
    catalogue::TabelaComponentes Componentes;
    std::string DiretorioSite = "/pub/mirelo";
    std::string PastaDestino;
    std::string UsaProxy = "N";
    std::string ProxyServidor;
    std::string ProxyPorta;
    bool Cancelado = false;
    bool TransferenciaConcluida = false;
    std::int64_t BytesRecebidos = 0;

    // The product directory, where the forms catalogue and the message always come from.
    static constexpr const char* kDiretorioProdutos = "/pub/mirelo";

private:
    // A place to log on to and the base directory of its catalogues and downloads.
    struct TDestino {
        TServidorFtp Servidor;
        std::string Diretorio;
    };
    // How a log-on or a request ended.
    // Insegura: the server is not to be used (TLS refused or failed where it is required).
    // SemResposta: the server said nothing for the log-on limit.
    enum class Entrada { Conectada, Recusada, SemResposta, Insegura, Interrompida };
    enum class Passo { Ok, Falhou, Caiu, Interrompido };

    void SetProxy();
    void MontaDestinos(std::size_t escolhido);
    void UsaDestino(std::size_t indice);
    std::size_t DestinoDoSite(const TDestino& destino);
    // Logs on to the servers of the list from the one in use on, each tried a few times.
    bool EntraNaLista();
    Entrada EntraUmaVez();
    bool Pausa(int milissegundos);
    // Starts a request and waits for it; a request the server ended with 421 leaves the
    // connection, which the server is closing anyway.
    Passo Executa(void (TFtpClient::*pedido)());
    Passo BuscaUmaVez(const std::string& diretorio, const std::string& arquivo);
    std::optional<std::string> BuscaMensagem(Passo& passo);
    void MostraConexaoPerdida();
    // CWD to `diretorio`, SIZE and RETR of `arquivo` into the working directory, logging on
    // again first when the connection has gone, and once more when it goes during the fetch.
    // True when the file was fetched whole; on a size of 0 or a failed retrieval the
    // configuration message is shown (when `avisa`), on a connection that keeps going the
    // connection message, and the result is false.
    bool Busca(const std::string& diretorio, const std::string& arquivo, bool avisa);
    void MostraErroConfiguracao();
    void MostraErroConexao();
    // After a failed log-on: when TLS is why, tells the user and returns true.
    bool FalhaDeTls(const std::string& servidor, bool exigida);

    void ftpDownloaderSessionConnected(std::uint16_t Error);
    void ftpDownloaderRequestDone(int RqType, std::uint16_t Error);
    void ftpDownloaderStateChange();
    void ftpDownloaderProgress(std::int64_t Count, bool& Abort);
    // Starts a request; a usage error of the client becomes false (and a message).
    bool Inicia(void (TFtpClient::*pedido)());
    // Aborts the running request and lets its report arrive, so it cannot be taken for the
    // report of a later request.
    void Aborta();
    bool EsperaLogOn();
    // Seconds a log-on may go without a word from the server: the shorter of 30 and the Timeout.
    int LimiteDoLogOn() const;
    // The log-on watch's expiry: a log-on silent for its limit is given up as a failed try.
    void VigiaLogOn();
    // Seconds the wait allows without progress for what runs now; 0: no limit.
    int LimiteDaEspera() const;
    std::int64_t AgoraMs() const;

    platform::EventLoop& Loop_;
    platform::UserServices& Servicos_;
    const platform::RegistryService& Registro_;
    std::vector<TServidorFtp> Servidores;
    std::vector<TDestino> Destinos;
    std::size_t DestinoAtual = 0;
    std::unique_ptr<TFtpClient> Ftp;
    // Runs while a log-on runs (VigiaLogOn).
    std::unique_ptr<TFtpTimer> Vigia;
    bool LogOnSemResposta = false;  // the watch gave the log-on up
    // The session's host, user and password before they go into the client.
    TServidorFtp Servidor;
    std::string Usuario;
    std::string Senha;

    // A request has started and its end has not been reported yet.
    bool PedidoEmCurso = false;
    std::uint16_t UltimoErro = 0;
    int UltimoPedido = 0;
    bool ConexaoAberta = false;  // the connecting dialog is shown
    bool Desistiu = false;       // the user gave up the log-on
    bool Encerrando_ = false;
    bool QuedaPorTimeout = false;  // the last connection was given up by the wait
    std::int64_t UltimaAtividadeMs = 0;
};
