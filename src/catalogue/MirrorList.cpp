#include "catalogue/MirrorList.h"

#include "catalogue/TextFile.h"
#include "catalogue/TextHelpers.h"

namespace catalogue {

std::string EntradaDoReplicador(std::string_view linha) {
    const std::string host = CampoSeparado(linha, '|', 1);
    if (host.empty())
        return std::string();
    return CampoSeparado(linha, '|', 2) + "/" + CampoSeparado(linha, '|', 3) + " (" + host + ")|" +
           CampoSeparado(linha, '|', 4) + "|";
}

std::vector<std::string> LeSiteReplicadores(std::string_view texto) {
    std::vector<std::string> entradas;
    for (const std::string& linha : SplitLines(texto)) {
        std::string entrada = EntradaDoReplicador(linha);
        if (!entrada.empty())
            entradas.push_back(std::move(entrada));
    }
    return entradas;
}

SiteReplicador InterpretaEntrada(std::string_view entrada) {
    return {CampoSeparado(CampoSeparado(entrada, '(', 2), ')', 1), CampoSeparado(entrada, '|', 2)};
}

}  // namespace catalogue
