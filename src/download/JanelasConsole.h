// The download run's windows in the headless mode: the download folder is the one given on the
// command line, every file gets one line on the error stream (fetched, kept or failed; on a
// terminal the line also counts the kilobytes while the file arrives), and the installer
// question is answered by --install. Owns nothing; the stream must outlive it. Loop thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "download/JanelasDownload.h"

namespace mirelo_download {

class TJanelasDownloadConsole : public JanelasDownload {
public:
    // `pasta`: the download folder; `instalar`: the answer to the installer question;
    // `vivo`: whether to redraw the line of the arriving file (a terminal).
    TJanelasDownloadConsole(std::string pasta, bool instalar, std::ostream& saida, bool vivo);

    std::string EscolhePasta(const std::string& inicial) override;
    std::unique_ptr<TelaBaixando> MostraBaixando(std::function<void()> cancelar) override;
    bool PerguntaInstalar(const std::string& caption, const std::string& texto) override;
    void ArquivoMantido(const std::string& nomeArquivo) override;

    // A progress report of the running transfer: redraws its line, at most a few times a second.
    void Progresso(std::int64_t bytesRecebidos);

private:
    class Tela;

    std::string Pasta;
    bool Instalar;
    std::ostream& Saida;
    bool Vivo;
    Tela* Atual = nullptr;
    std::chrono::steady_clock::time_point UltimoDesenho{};
};

}  // namespace mirelo_download
