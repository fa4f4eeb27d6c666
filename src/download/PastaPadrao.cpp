#include "download/PastaPadrao.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "download/NomesArquivo.h"

namespace mirelo_download {
namespace {

bool PastaGravavel(const std::string& pasta)
{
    struct stat info {};
    return !pasta.empty() && ::stat(pasta.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           ::access(pasta.c_str(), W_OK | X_OK) == 0;
}

std::string Ambiente(const char* nome)
{
    const char* valor = std::getenv(nome);
    return valor != nullptr ? std::string(valor) : std::string();
}

// The value of a line `XDG_DOWNLOAD_DIR="$HOME/Downloads"` with "$HOME" expanded; empty when the
// line is missing or says nothing usable.
std::string LeLinhaXdg(const std::string& arquivo, const std::string& home)
{
    std::ifstream entrada(arquivo);
    std::string linha;
    const std::string chave = "XDG_DOWNLOAD_DIR=";
    while (std::getline(entrada, linha)) {
        if (linha.rfind(chave, 0) != 0)
            continue;
        std::string valor = linha.substr(chave.size());
        if (valor.size() >= 2 && valor.front() == '"' && valor.back() == '"')
            valor = valor.substr(1, valor.size() - 2);
        if (valor.rfind("$HOME/", 0) == 0)
            valor = home + valor.substr(6);
        else if (valor == "$HOME")
            valor = home;
        if (valor.empty() || valor.front() != '/')
            return {};
        return ComBarraFinal(valor);
    }
    return {};
}

}  // namespace

std::string PastaExecutavel()
{
    std::string caminho(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", caminho.data(), caminho.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= caminho.size())
        return {};
    caminho.resize(static_cast<std::size_t>(n));
    return caminho.substr(0, caminho.rfind('/') + 1);
}

std::string PastaDownloadXdg(const std::string& home, const std::string& configHome)
{
    std::string pasta = LeLinhaXdg(configHome + "user-dirs.dirs", home);
    if (pasta.empty())
        pasta = home + "Downloads/";
    return pasta;
}

std::string PrimeiraGravavel(const std::vector<std::string>& candidatas)
{
    for (const std::string& pasta : candidatas) {
        if (PastaGravavel(pasta))
            return ComBarraFinal(pasta);
    }
    return candidatas.empty() ? std::string("./") : ComBarraFinal(candidatas.back());
}

std::string PastaDownloadPadrao()
{
    std::string home = Ambiente("HOME");
    home = home.empty() ? std::string("/") : ComBarraFinal(home);
    std::string configHome = Ambiente("XDG_CONFIG_HOME");
    configHome = configHome.empty() ? home + ".config/" : ComBarraFinal(configHome);
    return PrimeiraGravavel({PastaDownloadXdg(home, configHome), home});
}

}  // namespace mirelo_download
