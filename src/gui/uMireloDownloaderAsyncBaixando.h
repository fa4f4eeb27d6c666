// The progress dialog of one file transfer: names the server and the file, and once a second
// shows the kilobytes received, the total, the speed over the last seconds, the time left and the
// percentage from the byte count the FTP client reported last; a new try after a failure is noted
// beside Cancelar. It closes as soon as the run says the file has ended (with that moment's
// figures), at the first tick after the retrieval reader reports the end, or at once on Cancelar
// (also a click on the speed, the close box or Escape). The dialog does not drive the transfer:
// the download run does, and reads whether it is still open. At every tick it asks the two
// readers it was given for the byte count and the end of the retrieval. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <QDialog>

#include "download/ContaBaixando.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

class TfrmMireloDownloaderAsyncBaixando : public QDialog {
public:
    // `bytesRecebidos` reads the last count of the FTP client's progress event (never reset
    // between files); `transferenciaConcluida` whether the file retrieval has ended.
    TfrmMireloDownloaderAsyncBaixando(std::function<std::int64_t()> bytesRecebidos,
                                      std::function<bool()> transferenciaConcluida,
                                      QWidget* parent = nullptr);

    // The server and file lines; `nomeArquivo` keeps the server's bytes.
    void Inicia(const std::string& hostName, const std::string& nomeArquivo);
    // The file's size: the bar's maximum and the total label.
    void DefineTotal(std::int64_t tamanho);

    // The run is done with the file (also when it failed before it started): shows the final
    // figures and closes at once, so the run goes on to the next file without waiting for a tick.
    void Termina();
    // A try failed for a reason that may pass and another follows (`tentativa` of `maximo` in a
    // row that moved nothing, 0 after a try that moved bytes); the note stays until data moves.
    void TentaDeNovo(int tentativa, int maximo);

    // One tick of the 1000 ms display timer.
    void Timer1Timer();
    // Cancelar: fires OnCancelar, then closes.
    void CancelarClick();

    // True from construction until the dialog has closed.
    bool Aberta() const { return Aberta_; }
    // The bar's position and maximum in bytes (the widget may show them scaled).
    std::int64_t Posicao() const { return Posicao_; }
    std::int64_t Maximo() const { return Maximo_; }

    std::function<void()> OnCancelar;

    QLabel* lblLocal;
    QLabel* lblSalvando;
    QLabel* lblKbAtual;
    QLabel* lblTotal;
    QLabel* lblVelocidade;
    QLabel* lblPer;
    QLabel* lblTempo;
    QLabel* lblAviso;
    QProgressBar* pbBaixando;
    QPushButton* Cancelar;
    QTimer* Timer1;

protected:
    void reject() override;
    void done(int resultado) override;

private:
    void MostraPosicao();
    void MostraLeitura();

    bool Concluida() const { return Terminada || TransferenciaConcluida(); }

    std::function<std::int64_t()> BytesRecebidos;
    std::function<bool()> TransferenciaConcluida;
    bool Terminada = false;
    std::int64_t Posicao_ = 50;
    std::int64_t Maximo_ = 100;
    mirelo_download::MediaVelocidade Media;
    // The count when the try note went up; the note goes once the count passes it.
    std::int64_t ContagemDoAviso = -1;
    bool Aberta_ = true;
    bool Cancelando = false;
};
