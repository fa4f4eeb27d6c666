// The download run's windows in the desktop program: the download-folder dialog, one progress
// dialog per file once the run has lasted a moment (application-modal while the run waits in the
// event loop) and the closing question as a message box. Owns the dialogs it shows; the session
// must outlive it. GUI thread only.
#pragma once

#include <chrono>

#include "download/JanelasDownload.h"

class QWidget;
class TSessaoDownloader;

namespace mirelo_download {

class TJanelasDownloadQt : public JanelasDownload {
public:
    // How long a run fetches before its progress dialogs appear. A run that ends sooner is over
    // before anyone could read a dialog, and one dialog per small file would only flash by and
    // slow the run down; from then on every file shows its dialog at once.
    static constexpr std::chrono::milliseconds kAtrasoDoProgresso{500};

    // `pai`: the window the dialogs belong to (the main window), or nullptr.
    TJanelasDownloadQt(TSessaoDownloader& sessao, QWidget* pai,
                       std::chrono::milliseconds atrasoDoProgresso = kAtrasoDoProgresso);

    // The run's files begin when the folder has been chosen: the progress dialogs' delay counts
    // from then.
    std::string EscolhePasta(const std::string& inicial) override;
    std::unique_ptr<TelaBaixando> MostraBaixando(std::function<void()> cancelar) override;
    bool PerguntaInstalar(const std::string& caption, const std::string& texto) override;

private:
    TSessaoDownloader& Sessao;
    QWidget* Pai;
    std::chrono::milliseconds AtrasoDoProgresso;
    // When this run's progress dialogs may appear; before any run, at once.
    std::chrono::steady_clock::time_point MostrarDesde;
};

}  // namespace mirelo_download
