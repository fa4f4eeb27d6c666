// The forms site the fault tests serve, and the sandbox a run of the program works in: one
// product with one installation of two components (one split into two part files, one rule
// file that asks for a support file), and helpers that build hostile catalogues and check what
// a run left on disk. Header-only; test thread.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "FaultyFtpServer.h"
#include "TempDir.h"

namespace faultsite {

namespace fs = std::filesystem;

// Bytes that tell a file apart from any other and from a shifted copy of itself.
inline std::string Content(const std::string& name, std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t state = std::hash<std::string>()(name);
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        bytes[i] = static_cast<char>(state >> 56);
    }
    return bytes;
}

inline const std::string kProduto = "Declaracao Anual";
inline const std::string kInstalacao = "Completa";
inline const std::string kDirArquivos = "/pub/mirelo/declaracao/arquivos/";
inline const std::string kDownloadCfg = "/pub/mirelo/declaracao/completa/download.cfg";
inline const std::string kFormulariosCfg = "/pub/mirelo/formularios.cfg";

// The files of the installation, by name, as the server holds them.
struct Arquivo {
    std::string Nome;
    std::string Bytes;
};

inline std::vector<Arquivo> ArquivosDoSite() {
    return {{"setup.exe", Content("setup.exe", 300 * 1024)},
            {"setup.w02", Content("setup.w02", 200 * 1024)},
            {"manual.pdf", Content("manual.pdf", 100 * 1024)}};
}

inline std::string FormulariosCfg() {
    return "[Formulario 1]\r\n"
           "nome=" + kProduto + "\r\n"
           "descricao=Programa da declaracao\r\n"
           "versao=2.1|0034\r\n"
           "chave=SOFTWARE\\Mirelo\\Declaracao\\Versao\r\n"
           "instalacoes=" + kInstalacao + "|/declaracao/completa/\r\n";
}

inline std::string DownloadCfg() {
    return "[componente 1]\r\n"
           "nome=Programa principal\r\n"
           "descricao=Programa de preenchimento|0\r\n"
           "disponibilizacao=15/03/2024 08:00:00\r\n"
           "versao=2.1|0034\r\n"
           "instalacao=setup.exe|2|/declaracao/arquivos/\r\n"
           "regra=/regras/declaracao.txt\r\n"
           "tamanho=512000\r\n"
           "\r\n"
           "[componente 2]\r\n"
           "nome=Manual\r\n"
           "descricao=Manual em PDF|1\r\n"
           "disponibilizacao=15/03/2024 08:00:00\r\n"
           "versao=2.1|0034\r\n"
           "instalacao=manual.pdf|1|/declaracao/arquivos/\r\n"
           "tamanho=102400\r\n";
}

// A rule that applies on a machine where the runtime is not installed (no registry at all).
inline std::string RegraDeclaracao() {
    return "Instalacao da declaracao\r\n"
           "Regra\r\n"
           "[Regra 1]\r\n"
           "Tipo=R\r\n"
           "Chave1=SOFTWARE\\Mirelo\\Runtime\\Versao\r\n"
           "Descricao=Biblioteca\r\n"
           "Valor=3.0\r\n"
           "Arquivo=runtime.exe\r\n"
           "Fim\r\n";
}

inline const std::string kRuntime = Content("runtime.exe", 50 * 1024);

inline void Serve(FaultyFtpServer& server) {
    server.AddFile(kFormulariosCfg, FormulariosCfg());
    server.AddFile(kDownloadCfg, DownloadCfg());
    for (const Arquivo& arquivo : ArquivosDoSite())
        server.AddFile(kDirArquivos + arquivo.Nome, arquivo.Bytes);
    server.AddFile("/pub/mirelo/regras/declaracao.txt", RegraDeclaracao());
    server.AddFile("/pub/mirelo/suporte/runtime.exe", kRuntime);
}

// Where a run works: its working folder (catalogue copies, proxy.ini), the download folder, a
// home and a Wine prefix of its own. Everything lies under one temporary folder, so a file a
// run writes anywhere else under it is one it had no business writing.
struct Sandbox {
    TempDir Root;
    std::string Trabalho = Root / "trabalho/";
    std::string Pasta = Root / "baixados/";

    Sandbox() {
        fs::create_directories(Trabalho);
        fs::create_directories(Pasta);
        fs::create_directories(Root / "home");
        fs::create_directories(Root / "wine");
    }

    std::string Read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    bool Exists(const std::string& path) const { return fs::exists(path); }

    // Every file under the sandbox, as paths relative to it.
    std::set<std::string> Files() const {
        std::set<std::string> files;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Root.Path()))
            if (!entry.is_directory())
                files.insert(fs::relative(entry.path(), Root.Path()).string());
        return files;
    }

    // The program's own files may lie in its working folder; everything else it writes must lie
    // directly in the download folder.
    void ExpectNothingOutsideTheDownloadFolder() const {
        static const std::set<std::string> kProprios = {"formularios.cfg", "download.cfg", "proxy.ini",
                                                        "mensagem.txt", "sitesreplicacao.cfg"};
        for (const std::string& file : Files()) {
            const fs::path path(file);
            const std::string folder = path.parent_path().string();
            if (folder == "baixados")
                continue;
            if (folder == "trabalho" && kProprios.count(path.filename().string()) == 1)
                continue;
            ADD_FAILURE() << "written outside the download folder: " << file;
        }
    }
};

}  // namespace faultsite
