#include "app/HeadlessMode.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QDir>
#include <QLockFile>

#include "app/PastaDoPrograma.h"
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
    // A run that talks to the server writes its catalogue copies into the working directory,
    // so it takes that folder as the window does; asking for the usage or the version does not.
    using Acao = mirelo_download::OpcoesModoTexto::Acao;
    std::unique_ptr<QLockFile> trava;
    std::string erro;
    const auto opcoes = mirelo_download::LeArgumentos(argumentos, erro);
    if (opcoes && (opcoes->Pedido == Acao::Listar || opcoes->Pedido == Acao::Baixar)) {
        std::string aviso;
        trava = mirelo_app::TravaPasta(QDir::currentPath(), aviso);
        if (!trava) {
            std::replace(aviso.begin(), aviso.end(), '\r', ' ');
            std::cerr << "mirelo-downloader: " << aviso << "\n";
            return 1;
        }
    }
    return mirelo_download::ExecutaModoTexto(argumentos, std::cout, std::cerr,
                                             ::isatty(STDERR_FILENO) == 1);
}
