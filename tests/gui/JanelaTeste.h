// The fixture of the main window's tests: a test site written as the institution publishes it
// (Windows-1252, CR LF) and served by pyftpdlib on loopback, a working directory of the test's
// own, a registry file the test writes, and the window with its dialogs as the program entry
// builds them, answering the user through RecordingUserServices. Main thread only.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FtpServers.h"
#include "QtTestApp.h"
#include "RecordingUserServices.h"
#include "TempDir.h"
#include "download/Servidores.h"
#include "platform/Registry.h"
#include "qt/QtEventLoop.h"

class QTreeWidgetItem;
class TSessaoDownloader;
class TfrmMireloDownloaderAsyncPrincipal;
class TfMireloDownloaderAsyncConexao;
class TfMireloDownloaderAsyncProxy;

// Writes `texto` (UTF-8 in the test's source) as the server holds it: Windows-1252 with CR LF.
void EscreveCp1252(const std::string& caminho, const std::string& texto);

class JanelaTeste : public ::testing::Test {
protected:
    JanelaTeste();
    ~JanelaTeste() override;

    // The usual site under `raiz`: three products, two installations with component catalogues,
    // a server message. `diretorioSite` is where the installations' catalogues lie ("/pub/mirelo"
    // for the main server; a mirror keeps them under its own directory).
    static void EscreveSite(const std::string& raiz, const std::string& diretorioSite,
                            const std::string& nomeComponente = "Manual do usuário");

    // Builds the session and the window against `servidores`.
    void Abre(std::vector<TServidorFtp> servidores);
    void Abre(std::uint16_t porta) { Abre({{"127.0.0.1", std::to_string(porta)}}); }
    // Ends the program's objects, as at the end of a run.
    void Fecha();

    QTreeWidgetItem* Topo() const;
    // The node at `posicoes` below the top node (product, installation, component).
    QTreeWidgetItem* No(std::initializer_list<int> posicoes) const;
    std::vector<int> ImagensDosFilhos(QTreeWidgetItem* node) const;

    QApplication& app = QtTestApp();
    std::filesystem::path antes;
    TempDir site;
    TempDir trabalho;
    platform::QtEventLoop loop;
    RecordingUserServices servicos;
    platform::WineRegistry registro;
    std::unique_ptr<TSessaoDownloader> sessao;
    std::unique_ptr<TfrmMireloDownloaderAsyncPrincipal> janela;
    std::unique_ptr<TfMireloDownloaderAsyncConexao> conexao;
    std::unique_ptr<TfMireloDownloaderAsyncProxy> proxy;
};
