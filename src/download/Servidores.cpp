#include "download/Servidores.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string SemBrancos(const std::string& texto)
{
    const auto inicio = texto.find_first_not_of(" \t");
    if (inicio == std::string::npos)
        return std::string();
    const auto fim = texto.find_last_not_of(" \t");
    return texto.substr(inicio, fim - inicio + 1);
}

bool PortaValida(const std::string& porta)
{
    if (porta.empty() || porta.size() > 5)
        return false;
    long valor = 0;
    for (const char c : porta) {
        if (c < '0' || c > '9')
            return false;
        valor = valor * 10 + (c - '0');
    }
    return valor >= 1 && valor <= 65535;
}

}  // namespace

std::vector<TServidorFtp> ServidoresEmbutidos()
{
    return {{"ftp1.mirelo.org.br", "ftp"}, {"ftp2.mirelo.org.br", "ftp"}};
}

std::optional<TServidorFtp> SeparaHostPorta(const std::string& texto)
{
    const auto doisPontos = texto.rfind(':');
    if (doisPontos == std::string::npos) {
        if (texto.empty())
            return std::nullopt;
        return TServidorFtp{texto, "ftp"};
    }
    TServidorFtp servidor{texto.substr(0, doisPontos), texto.substr(doisPontos + 1)};
    if (servidor.Host.empty() || !PortaValida(servidor.Porta))
        return std::nullopt;
    return servidor;
}

std::optional<std::vector<TServidorFtp>> LeListaServidores(const std::string& valor,
                                                          std::string& erro)
{
    std::vector<TServidorFtp> servidores;
    std::size_t inicio = 0;
    while (true) {
        const auto virgula = valor.find(',', inicio);
        const std::string entrada = SemBrancos(valor.substr(inicio, virgula - inicio));
        const auto servidor = SeparaHostPorta(entrada);
        if (!servidor) {
            erro = "MIRELO_FTP_HOSTS: '" + entrada + "' is not a host or host:port (port 1-65535)";
            return std::nullopt;
        }
        servidores.push_back(*servidor);
        if (virgula == std::string::npos)
            break;
        inicio = virgula + 1;
    }
    if (servidores.size() > 2) {
        erro = "MIRELO_FTP_HOSTS: give one or two servers, not " +
               std::to_string(servidores.size());
        return std::nullopt;
    }
    return servidores;
}

std::vector<TServidorFtp> ServidoresConfigurados()
{
    const char* valor = std::getenv("MIRELO_FTP_HOSTS");
    if (valor == nullptr)
        return ServidoresEmbutidos();
    std::string erro;
    if (auto servidores = LeListaServidores(valor, erro))
        return *servidores;
    std::fprintf(stderr, "%s; using the built-in servers\n", erro.c_str());
    return ServidoresEmbutidos();
}
