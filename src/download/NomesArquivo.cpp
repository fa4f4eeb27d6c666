#include "download/NomesArquivo.h"

#include "catalogue/TextHelpers.h"

namespace mirelo_download {

std::string NomeParte(const std::string& arquivo, int k)
{
    const std::string base = arquivo.substr(0, arquivo.find('.'));
    return base + ".w" + catalogue::CompletaEsquerda(std::to_string(k), '0', 2);
}

std::optional<std::string> CaminhoLocal(const std::string& pasta, const std::string& nome)
{
    if (!catalogue::NomeArquivoSeguro(nome))
        return std::nullopt;
    return pasta + catalogue::NomeEmDisco(nome);
}

std::string MensagemNomeInvalido(const std::string& nome)
{
    return "O servidor indicou um nome de arquivo inválido: \"" + ParaUtf8(nome) +
           "\".\rO arquivo não foi gravado e o download foi interrompido.";
}

std::string ParaUtf8(const std::string& texto)
{
    return catalogue::ParaUtf8(texto);
}

std::string ComBarraFinal(std::string pasta)
{
    if (pasta.empty())
        return "./";
    if (pasta.back() != '/')
        pasta += '/';
    return pasta;
}

}  // namespace mirelo_download
