// The download run's windows in the desktop program: the download-folder dialog, one progress
// dialog per file (application-modal while the run waits in the event loop) and the closing
// question as a message box. Owns the dialogs it shows; the session must outlive it. GUI thread
// only.
#pragma once

#include "download/JanelasDownload.h"

class QWidget;
class TSessaoDownloader;

namespace mirelo_download {

class TJanelasDownloadQt : public JanelasDownload {
public:
    // `pai`: the window the dialogs belong to (the main window), or nullptr.
    TJanelasDownloadQt(TSessaoDownloader& sessao, QWidget* pai);

    std::string EscolhePasta(const std::string& inicial) override;
    std::unique_ptr<TelaBaixando> MostraBaixando(std::function<void()> cancelar) override;
    bool PerguntaInstalar(const std::string& caption, const std::string& texto) override;

private:
    TSessaoDownloader& Sessao;
    QWidget* Pai;
};

}  // namespace mirelo_download
