#include "catalogue/TextHelpers.h"

#include <limits>

#include "platform/TextBytes.h"

namespace catalogue {
namespace {

bool Utf8Valido(std::string_view texto) {
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

void AcrescentaUtf8(std::string& saida, char32_t c) {
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

std::string CampoSeparado(std::string_view text, char separator, int k) {
    if (k < 1)
        return std::string();
    std::size_t start = 0;
    for (int field = 1; field < k; ++field) {
        const std::size_t next = text.find(separator, start);
        if (next == std::string_view::npos)
            return std::string();
        start = next + 1;
    }
    const std::size_t end = text.find(separator, start);
    return std::string(text.substr(start, end == std::string_view::npos ? std::string_view::npos
                                                                        : end - start));
}

std::string TextoDepoisDe(std::string_view text, char separator) {
    const std::size_t last = text.rfind(separator);
    return std::string(last == std::string_view::npos ? text : text.substr(last + 1));
}

std::string CompletaEsquerda(std::string_view text, char pad, std::size_t width) {
    std::string padded;
    if (text.size() < width)
        padded.assign(width - text.size(), pad);
    padded += text;
    return padded;
}

std::int64_t StrToInt(std::string_view text) {
    const auto invalid = [text] {
        return EConvertError("'" + std::string(text) + "' is not a valid integer value");
    };
    std::size_t pos = 0;
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        pos = 1;
    if (pos == text.size())
        throw invalid();
    // Accumulated as a negative number, whose range is the larger one.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9')
            throw invalid();
        const int digit = c - '0';
        if (value < (kMin + digit) / 10)
            throw invalid();
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == kMin)
            throw invalid();
        value = -value;
    }
    return value;
}

bool NomeArquivoSeguro(std::string_view name) {
    return !name.empty() && name != "." && name.find_first_of(std::string_view("/\\\0", 3)) ==
                                               std::string_view::npos &&
           name.find("..") == std::string_view::npos;
}

std::string ParaUtf8(std::string_view texto) {
    if (Utf8Valido(texto))
        return std::string(texto);
    std::string saida;
    saida.reserve(texto.size() + texto.size() / 2);
    for (const char byte : texto) {
        // The code page's five undefined bytes are the only ones left as C1 controls.
        const char16_t c = platform::FromCp1252(static_cast<unsigned char>(byte));
        AcrescentaUtf8(saida, c >= 0x80 && c < 0xA0 ? u'?' : c);
    }
    return saida;
}

std::string NomeEmDisco(std::string_view nome) {
    return ParaUtf8(nome);
}

}  // namespace catalogue
