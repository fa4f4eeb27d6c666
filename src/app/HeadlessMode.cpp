#include "app/HeadlessMode.h"

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "download/ModoTexto.h"

int RunHeadless(int argc, char** argv)
{
    std::vector<std::string> argumentos;
    for (int i = 1; i < argc; ++i)
        argumentos.emplace_back(argv[i]);
    return mirelo_download::ExecutaModoTexto(argumentos, std::cout, std::cerr,
                                             ::isatty(STDERR_FILENO) == 1);
}
