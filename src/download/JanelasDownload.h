// The windows of a download run, as the run sees them: the download-folder question and one
// progress window per fetched file. The desktop program shows the Qt dialogs; the headless mode
// answers with its --to folder and prints a line per file. Implementations own their windows;
// call only from the loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace mirelo_download {

// The progress window of one file, from the moment the run starts on the file until it closes.
class TelaBaixando {
public:
    TelaBaixando() = default;
    TelaBaixando(const TelaBaixando&) = delete;
    TelaBaixando& operator=(const TelaBaixando&) = delete;
    virtual ~TelaBaixando() = default;

    // The file is about to be fetched from `hostName`.
    virtual void Inicia(const std::string& hostName, const std::string& nomeArquivo) = 0;
    // The server's answer to SIZE (0 when it gave none).
    virtual void DefineTotal(std::int64_t tamanho) = 0;
    // A try failed for a reason that may pass (`motivo`) and the run tries again: the try
    // `tentativa` of `maximo` in a row that moved nothing, 0 when the failed try had moved bytes.
    virtual void TentaDeNovo(int tentativa, int maximo, const std::string& motivo)
    {
        (void)tentativa;
        (void)maximo;
        (void)motivo;
    }
    // The run is done with the file; `falha` is empty on success, else what went wrong.
    virtual void Termina(const std::string& falha) = 0;
    // Whether the window is still up. Termina and Cancelar close the desktop window at once.
    virtual bool Aberta() const = 0;
};

class JanelasDownload {
public:
    JanelasDownload() = default;
    JanelasDownload(const JanelasDownload&) = delete;
    JanelasDownload& operator=(const JanelasDownload&) = delete;
    virtual ~JanelasDownload() = default;

    // The download folder of this run, ending in "/"; `inicial` empty proposes the default one.
    virtual std::string EscolhePasta(const std::string& inicial) = 0;

    // A new progress window, shown. `cancelar` runs when the user asks to stop the run.
    virtual std::unique_ptr<TelaBaixando> MostraBaixando(std::function<void()> cancelar) = 0;

    // The closing question after a run in which every file arrived and an installer is among
    // them; true starts the installer.
    virtual bool PerguntaInstalar(const std::string& caption, const std::string& texto) = 0;

    // A file that was not fetched because the local copy is complete and current.
    virtual void ArquivoMantido(const std::string& nomeArquivo) { (void)nomeArquivo; }
};

}  // namespace mirelo_download
