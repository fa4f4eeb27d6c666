#include "catalogue/TextHelpers.h"

#include <limits>

namespace catalogue {

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

}  // namespace catalogue
