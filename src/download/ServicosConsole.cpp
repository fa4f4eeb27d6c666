#include "download/ServicosConsole.h"

#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>

extern char** environ;

namespace mirelo_download {
namespace {

std::string Minusculas(std::string texto)
{
    std::transform(texto.begin(), texto.end(), texto.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return texto;
}

bool TerminaCom(const std::string& texto, const std::string& fim)
{
    return texto.size() >= fim.size() && texto.compare(texto.size() - fim.size(), fim.size(), fim) == 0;
}

}  // namespace

TServicosConsole::TServicosConsole(std::ostream& saida) : Saida(saida) {}

void TServicosConsole::Escreve(const std::string& texto)
{
    // The program's texts break their lines with "\r".
    std::string linhas = texto;
    std::replace(linhas.begin(), linhas.end(), '\r', '\n');
    Saida << linhas;
    if (linhas.empty() || linhas.back() != '\n')
        Saida << '\n';
    Saida.flush();
}

void TServicosConsole::ShowMessage(const std::string&, const std::string& text, Icon icon)
{
    Escreve(icon == Icon::Error ? "Erro: " + text : text);
}

bool TServicosConsole::AskYesNo(const std::string&, const std::string& text, Icon)
{
    Escreve(text + " sim");
    return true;
}

std::optional<std::string> TServicosConsole::ChooseFolder(const std::string&, const std::string&)
{
    return std::nullopt;
}

bool TServicosConsole::OpenAddress(const std::string&)
{
    return false;
}

std::vector<std::string> TServicosConsole::LinhaDeComando(const std::string& path)
{
    const std::string nome = Minusculas(path);
    if (TerminaCom(nome, ".exe"))
        return {"wine", path};
    if (TerminaCom(nome, ".msi"))
        return {"wine", "msiexec", "/i", path};
    return {path};
}

bool TServicosConsole::StartProgram(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    std::vector<std::string> linha = LinhaDeComando(path);
    if (linha.size() == 1 && ::access(path.c_str(), X_OK) != 0)
        return false;

    std::vector<char*> argv;
    for (std::string& parte : linha)
        argv.push_back(parte.data());
    argv.push_back(nullptr);

    posix_spawnattr_t atributos;
    posix_spawnattr_init(&atributos);
    // A session of its own: the installer outlives this program and its terminal.
    posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int erro = ::posix_spawnp(&pid, argv[0], nullptr, &atributos, argv.data(), environ);
    posix_spawnattr_destroy(&atributos);
    return erro == 0;
}

}  // namespace mirelo_download
