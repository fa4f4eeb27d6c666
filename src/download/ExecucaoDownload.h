// The download run that "Iniciar Download" starts: the checks of the button, the confirmation,
// the download folder, "TempRegras.Ini", every marked component with its part files (fetched only
// when the local copy is missing, of another length or older than the release, or the server
// gave no size), the components' rule files, "Regras.Ini" with its support files (fetched unless
// a copy of the server's length is there), and at the end either the list of files that did not
// arrive or the offer to start the installer. Every file arrives under a temporary name (see
// NomeParcial) and takes its own only once its length is the server's, so a cut or refused
// fetch never spoils an earlier copy, and a later run continues the temporary. A try that fails
// for a reason that may pass is tried again from the bytes on disk, as TFtpRetrySchedule says;
// a control connection that went away is logged on again through the session. It drives the
// session's FTP client step by step, waiting with the session's FtpPronto, and meets the user
// through the session's UserServices and the run's windows (progress, folder). The GUI and the
// headless mode run the same object. Owns only the state of the running run; the session and the
// windows must outlive it. Loop thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/ComponentCatalogue.h"
#include "catalogue/TextFile.h"
#include "download/JanelasDownload.h"

class TFtpClient;
class TSessaoDownloader;

namespace mirelo_download {

enum class FimExecucao {
    NaoIniciada,   // nothing marked, no connection, No to the confirmation, or a run was on
    Concluida,     // every file arrived and the rules were evaluated
    ComFalhas,     // the run went to its end, but some files did not arrive
    Cancelada,     // Cancelar in the progress window
    Interrompida,  // an error ended the run; the user has been told why
};

struct ResultadoExecucao {
    FimExecucao Fim = FimExecucao::NaoIniciada;
    std::string Mensagem;               // the last thing the user was told (UTF-8)
    std::string Pasta;                  // the download folder, ending in "/"
    std::vector<std::string> Baixados;  // files fetched, in order (server names)
    std::vector<std::string> Mantidos;  // files kept because the local copy was current
    std::vector<std::string> Falhas;    // "name: reason" of every file that did not arrive
    std::vector<std::string> Suportes;  // support files the rules asked for
    std::string Instalador;             // empty when no marked component is an installer
    bool InstaladorIniciado = false;
};

class TExecucaoDownload {
public:
    TExecucaoDownload(TSessaoDownloader& sessao, JanelasDownload& janelas);
    ~TExecucaoDownload();
    TExecucaoDownload(const TExecucaoDownload&) = delete;
    TExecucaoDownload& operator=(const TExecucaoDownload&) = delete;

    // The button: lists the marked components, refuses an empty list or a closed connection,
    // then runs ChamaBaixarArquivo. A second call while a run is under way does nothing.
    ResultadoExecucao btnBaixarClick();
    bool EmExecucao() const { return EmExecucao_; }

    // Cancelar of the progress window: the transfer at hand ends at once, its temporary file
    // staying for a later run to continue, and the run stops with the user told so.
    void Cancela();

    // The confirmation line of a component: "Descricao, Ver.:Versao/Build" and "\r".
    static std::string LinhaEscolhido(const catalogue::TEstruturaComp& componente);
    // The first component not unmarked whose Arquivo contains "exe"; empty when there is none.
    static std::string EscolheInstalador(const catalogue::TabelaComponentes& componentes);

    // The question texts, for the windows that answer them without a person.
    static const char* const kPerguntaInstalar;

private:
    // A marked component with its catalogue values checked before anything is fetched.
    struct Plano {
        const catalogue::TEstruturaComp* Componente;
        int Discos;
        std::time_t Disponibilizacao;
    };
    // A file on the server and its place in the download folder.
    struct Alvo {
        std::string Diretorio;  // the server directory, DiretorioSite included
        std::string Nome;       // the server's name, which is also the local one
        std::string Local;      // the local path under which the file is kept
    };
    class EFimExecucao;

    void ChamaBaixarArquivo();
    std::vector<Plano> PlanejaComponentes();
    void BaixaComponente(const Plano& plano);
    void BaixaSeNecessario(const Plano& plano, const std::string& nome);
    // Fetches one file with its progress window. `semPasta` is the failure when the file's
    // directory could not be entered; nothing is fetched then. Returns what went wrong, if
    // anything.
    std::optional<std::string> MostraBaixando(const Alvo& alvo,
                                              std::optional<std::int64_t> tamanho,
                                              std::time_t naoAntesDe,
                                              const std::optional<std::string>& semPasta);
    // The tries of one file into its temporary, then the rename (see the class comment).
    // `tela` may be null. Returns what went wrong, if anything; ends the run on Cancelar.
    std::optional<std::string> Transfere(const Alvo& alvo, std::optional<std::int64_t> tamanho,
                                         std::time_t naoAntesDe, TelaBaixando* tela);
    void GravaRegras(const catalogue::TEstruturaComp& componente);
    void BaixaArquivoRegra(const std::string& hostDir, const std::string& nome,
                           const std::string& local);
    void BaixaArquivoSuporte(const std::string& nome);
    void Encerramento();

    // Runs a request on `alvo`: logs on again when the connection has gone, changes to its
    // directory when the server is not known to be there, sets the file names and waits. A
    // request other than a transfer that finds the connection closed under it gets one more
    // round. True when the request succeeded.
    bool NoServidor(const Alvo& alvo, void (TFtpClient::*pedido)());
    // The server's size of the file; nullopt when it gave none.
    std::optional<std::int64_t> Tamanho(const Alvo& alvo);
    // Starts a request and waits for it. True when it ended without error; false when it
    // failed. Ends the run (throws) when the connection is gone for good or the program is
    // closing.
    bool Executa(void (TFtpClient::*pedido)());
    // Logs on again when the control connection has gone; ends the run when it cannot.
    void Conecta();
    // Waits before the next try; Cancelar and the program's end cut the wait short.
    void Espera(int milissegundos);
    std::string MotivoFalha() const;
    void VerificaCancelado() const;
    std::string Local(const std::string& nome) const;
    void Aviso(const std::string& texto);

    TSessaoDownloader& Sessao;
    JanelasDownload& Janelas;
    bool EmExecucao_ = false;
    // A retrieval is under way, so Cancelar has a transfer to end.
    bool Transferindo = false;
    // Where the last directory change of this run took the server; empty when unknown (a new
    // run, a failed change, a new log-on).
    std::string DiretorioServidor;
    std::string ListaEscolhidos;
    std::string Instalador;
    std::unique_ptr<catalogue::TextFileWriter> ArquivoRegras;
    ResultadoExecucao Resultado;
};

}  // namespace mirelo_download
