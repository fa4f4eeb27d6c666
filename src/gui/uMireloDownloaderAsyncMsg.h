// The message window: shows the server's "mensagem.txt" to the user, as plain text. The main
// window creates it when there is a fresh message and owns it; it is shown without blocking the
// main window. GUI thread only.
#pragma once

#include <string>

#include <QWidget>

class QIcon;
class QPlainTextEdit;
class QToolButton;

class TfrmMireloDownloaderAsyncMsg : public QWidget {
public:
    // `imagemFechar` is the main window's toolbar image 1.
    explicit TfrmMireloDownloaderAsyncMsg(const QIcon& imagemFechar, QWidget* parent = nullptr);

    // Shows the message, given as the server's bytes in Windows-1252.
    void Mostra(const std::string& mensagem);

    QToolButton* btnFechar;
    QPlainTextEdit* mmMsg;
};
