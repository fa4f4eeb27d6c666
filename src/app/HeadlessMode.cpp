#include "app/HeadlessMode.h"

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "download/ModoTexto.h"

namespace {

std::vector<std::string> Argumentos(int argc, char** argv)
{
    std::vector<std::string> argumentos;
    for (int i = 1; i < argc; ++i)
        argumentos.emplace_back(argv[i]);
    return argumentos;
}

}  // namespace

bool WantsHeadless(int argc, char** argv)
{
    return mirelo_download::PedeModoTexto(Argumentos(argc, argv));
}

int RunHeadless(int argc, char** argv)
{
    const std::vector<std::string> argumentos = Argumentos(argc, argv);
    return mirelo_download::ExecutaModoTexto(argumentos, std::cout, std::cerr,
                                             ::isatty(STDERR_FILENO) == 1);
}
