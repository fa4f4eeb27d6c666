// The test site of the download run, written into a fresh folder and served by pyftpdlib on
// loopback with a command log: two products, an installation with a fixed split component, two
// optional ones (one in another directory, with parts) and rule files whose records ask for
// support files, and a plain installation without rules or installer. Every file's bytes come
// from its name, so a test can compare what arrived byte for byte. One thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FtpServers.h"
#include "TempDir.h"

class SiteDownloadTeste {
public:
    SiteDownloadTeste();

    std::uint16_t Porta() const { return Servidor->Port(); }
    // The served root.
    const TempDir& Raiz() const { return Raiz_; }
    // Writes `bytes` at `caminho` below the root (folders made as needed).
    void Escreve(const std::string& caminho, const std::string& bytes) const;

    // The bytes of a component or support file of the site, by its name.
    static std::string Conteudo(const std::string& nome, std::size_t tamanho);

    // Every command the server has received so far, in order, as "RETR /pub/x.exe" (paths
    // absolute, the password hidden).
    std::vector<std::string> Comandos() const;
    // The paths of every RETR the server has received so far, in order.
    std::vector<std::string> Retrs() const;
    // How many RETR asked for a path ending in "/" + nome.
    int ContaRetr(const std::string& nome) const;

    // Stops the server at once: open connections are cut.
    void Para() { Servidor.reset(); }
    // Serves the site anew on another port, every reply after the greeting held back this long.
    void Serve(double atrasoRespostas);

    // The Wine registry text in which the installed runtime matches one rule and not another.
    static const char* const kRegistro;

private:
    TempDir Raiz_;
    TempDir Registros;
    std::unique_ptr<PyFtpdServer> Servidor;
};
