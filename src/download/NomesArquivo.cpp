#include "download/NomesArquivo.h"

#include "catalogue/TextHelpers.h"

namespace mirelo_download {
namespace {

// The characters 0x80 to 0x9F of Windows-1252; 0 marks the five bytes it leaves undefined.
constexpr char16_t kFaixa80[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

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
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x80 && c < 0xA0)
            AcrescentaUtf8(saida, kFaixa80[c - 0x80] != 0 ? kFaixa80[c - 0x80] : u'?');
        else
            AcrescentaUtf8(saida, c);
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
