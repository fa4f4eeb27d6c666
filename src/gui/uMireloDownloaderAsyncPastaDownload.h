// The download-folder dialog: shows the folder a download run will use, lets the user pick
// another with "Alterar" (the platform's folder chooser) and returns it on "Ok" or the close box.
// A new instance for every run. GUI thread only.
#pragma once

#include <string>

#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace platform {
class UserServices;
}

class TfMireloDownloaderPastaDownload : public QDialog {
public:
    explicit TfMireloDownloaderPastaDownload(platform::UserServices& servicos,
                                             QWidget* parent = nullptr);

    // Shows the dialog modally with `inicial` (the default download folder when empty) and
    // returns the folder shown when it closes, ending in "/".
    std::string EscolhePasta(const std::string& inicial);

    // "Alterar": the folder chooser, started at the folder shown. A cancelled chooser keeps it.
    void Button2Click();

    // The folder the dialog shows now, ending in "/".
    std::string PastaAtual() const;

    // The folder chosen with "Alterar", ending in "/"; empty until one was chosen.
    std::string PastaEscolhida;

    QPlainTextEdit* Memo1;
    QLabel* Label1;
    QLineEdit* edtPastaAtual;
    QPushButton* Button1;
    QPushButton* Button2;

private:
    void MostraPasta(const std::string& pasta);

    platform::UserServices& Servicos;
};
