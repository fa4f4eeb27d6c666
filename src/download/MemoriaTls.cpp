#include "download/MemoriaTls.h"

#include <fstream>

namespace memoria_tls {

bool FalouTls(const std::string& arquivo, const std::string& servidor)
{
    std::ifstream entrada(arquivo);
    for (std::string linha; std::getline(entrada, linha);) {
        if (!linha.empty() && linha.back() == '\r')
            linha.pop_back();
        if (linha == servidor)
            return true;
    }
    return false;
}

void LembraTls(const std::string& arquivo, const std::string& servidor)
{
    if (servidor.empty() || FalouTls(arquivo, servidor))
        return;
    std::ofstream saida(arquivo, std::ios::app);
    saida << servidor << '\n';
}

}  // namespace memoria_tls
