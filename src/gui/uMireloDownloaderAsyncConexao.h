// The connecting dialog: shown modally while the FTP client logs on, it names the server,
// sweeps a progress bar every 10 ms, asks after about five minutes whether to go on, and lets
// the user give up. One instance for the whole run, owned by the program entry; shown again at
// every connection attempt. GUI thread only.
#pragma once

#include <functional>
#include <string>

#include <QDialog>

class QIcon;
class QLabel;
class QProgressBar;
class QTimer;
class QToolButton;

namespace platform {
class UserServices;
}

class TfMireloDownloaderAsyncConexao : public QDialog {
public:
    // `imagemCancelar` is the main window's toolbar image 1.
    TfMireloDownloaderAsyncConexao(platform::UserServices& servicos, const QIcon& imagemCancelar,
                                   QWidget* parent = nullptr);

    // Shows the dialog modally for one log-on; returns once it has been closed by Fecha(), by
    // Cancelar or by its close box. `usaProxy`, `hostName` and `userName` are the session's.
    void Mostra(const std::string& usaProxy, const std::string& hostName,
                const std::string& userName);
    // Closes the dialog when it is shown (the session is connected, or the log-on has ended).
    void Fecha();

    // One tick of the animation; the timer calls it every 10 ms while the dialog is shown.
    void Timer1Timer();
    int Voltas() const { return Voltas_; }

    // The user gave up (Cancelar or the close box): the owner stops the log-on. Fired before
    // the dialog closes.
    std::function<void()> OnCancelar;

    // The name the dialog shows: the proxied target after "anonymous@" when the proxy is used.
    static std::string NomeDoServidor(const std::string& usaProxy, const std::string& hostName,
                                      const std::string& userName);
    // The patience question, after `Voltas` sweeps with no connection.
    static std::string TextoPergunta(const std::string& hostName);

    QToolButton* btnCancelar;
    QLabel* lblFTP;
    QProgressBar* ProgressBar1;
    QTimer* Timer1;

protected:
    // Escape and the close box give up like Cancelar.
    void reject() override;

private:
    void btnCancelarClick();

    platform::UserServices& Servicos;
    std::string HostName;
    int Voltas_ = 0;
    bool Fechando = false;
};
