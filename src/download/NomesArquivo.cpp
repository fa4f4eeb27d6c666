#include "download/NomesArquivo.h"

#include "catalogue/TextHelpers.h"
#include "platform/TextBytes.h"

namespace mirelo_download {
namespace {

bool Utf8Valido(const std::string& texto)
{
    std::size_t i = 0;
    while (i < texto.size()) {
        const auto c = static_cast<unsigned char>(texto[i]);
        std::size_t seguintes = 0;
        if (c < 0x80)
            seguintes = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            seguintes = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            seguintes = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            seguintes = 3;
        else
            return false;
        if (i + seguintes >= texto.size())
            return false;
        for (std::size_t k = 1; k <= seguintes; ++k) {
            if ((static_cast<unsigned char>(texto[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += seguintes + 1;
    }
    return true;
}

void AcrescentaUtf8(std::string& saida, char32_t c)
{
    if (c < 0x80) {
        saida += static_cast<char>(c);
    } else if (c < 0x800) {
        saida += static_cast<char>(0xC0 | (c >> 6));
        saida += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        saida += static_cast<char>(0xE0 | (c >> 12));
        saida += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        saida += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string NomeParte(const std::string& arquivo, int k)
{
    const std::string base = arquivo.substr(0, arquivo.find('.'));
    return base + ".w" + catalogue::CompletaEsquerda(std::to_string(k), '0', 2);
}

std::optional<std::string> CaminhoLocal(const std::string& pasta, const std::string& nome)
{
    if (!catalogue::NomeArquivoSeguro(nome))
        return std::nullopt;
    return pasta + nome;
}

std::string MensagemNomeInvalido(const std::string& nome)
{
    return "O servidor indicou um nome de arquivo inválido: \"" + ParaUtf8(nome) +
           "\".\rO arquivo não foi gravado e o download foi interrompido.";
}

std::string ParaUtf8(const std::string& texto)
{
    if (Utf8Valido(texto))
        return texto;
    std::string saida;
    saida.reserve(texto.size() + texto.size() / 2);
    for (const char byte : texto) {
        // The code page's five undefined bytes are the only ones left as C1 controls.
        const char16_t c = platform::FromCp1252(static_cast<unsigned char>(byte));
        AcrescentaUtf8(saida, c >= 0x80 && c < 0xA0 ? u'?' : c);
    }
    return saida;
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
