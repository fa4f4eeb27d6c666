// The proxy dialog: edits "proxy.ini" (switch, proxy host, port). Created once at start, after
// the main window, and shown modally from the menu; a change takes effect at the next start.
// GUI thread only.
#pragma once

#include <string>

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace platform {
class UserServices;
}

class TfMireloDownloaderAsyncProxy : public QDialog {
public:
    // Reads `caminho`, or creates it with "N" and two empty lines when it is missing. A file
    // that can be neither read nor created is reported through `servicos`.
    TfMireloDownloaderAsyncProxy(platform::UserServices& servicos,
                                 std::string caminho = "proxy.ini", QWidget* parent = nullptr);

    // Saves and closes when the port is a number from 1 to 65535; otherwise says so and stays.
    void btnOKClick();
    void btnCancelarClick();

    // A port as the field must hold it: decimal digits only, from 1 to 65535.
    static bool PortaValida(const QString& texto);

    QCheckBox* cbProxy;
    QLineEdit* edtProxy;
    QLineEdit* edtPorta;
    QPushButton* btnOK;
    QPushButton* btnCancelar;

private:
    platform::UserServices& Servicos;
    std::string Caminho;
};
