#include "download/ServicosConsole.h"

#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>

#include "platform/ProgramStart.h"

extern char** environ;

namespace mirelo_download {

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
    return platform::StartCommand(path);
}

bool TServicosConsole::StartProgram(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    if (platform::StartCommand(path).size() == 1 && ::access(path.c_str(), X_OK) != 0)
        return false;
    // Absolute, since the program starts in its own folder.
    std::error_code semErro;
    const std::filesystem::path programa = std::filesystem::absolute(path, semErro);
    std::vector<std::string> linha = LinhaDeComando(programa.string());

    std::vector<char*> argv;
    for (std::string& parte : linha)
        argv.push_back(parte.data());
    argv.push_back(nullptr);

    posix_spawnattr_t atributos;
    posix_spawnattr_init(&atributos);
    // A session of its own: the installer outlives this program and its terminal.
    posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSID);
    // It starts in the download folder, beside its other parts, as from the window.
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_addchdir_np(&acoes, programa.parent_path().c_str());
    pid_t pid = 0;
    const int erro = ::posix_spawnp(&pid, argv[0], &acoes, &atributos, argv.data(), environ);
    posix_spawn_file_actions_destroy(&acoes);
    posix_spawnattr_destroy(&atributos);
    return erro == 0;
}

}  // namespace mirelo_download
