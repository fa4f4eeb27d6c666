// Texts that come from the server or its catalogues and end up in file names, messages and
// dates: the safe-name check, server text made UTF-8 for messages, the "|"-field helpers, whole
// numbers and the release date.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "catalogue/TextHelpers.h"
#include "download/DataDisponibilizacao.h"
#include "download/NomesArquivo.h"

namespace {

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (next & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

void CheckDate(std::string_view text) {
    const std::optional<std::time_t> when = mirelo_download::LeDisponibilizacao(text);
    if (!when)
        return;
    // A date that reads is a real day and time: written out again from the local time it names
    // it reads as the same instant (within the hour a clock change may make ambiguous).
    std::tm local{};
    FUZZ_CHECK(::localtime_r(&*when, &local) != nullptr);
    char again[64];
    std::snprintf(again, sizeof again, "%02d/%02d/%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    const std::optional<std::time_t> reread = mirelo_download::LeDisponibilizacao(again);
    FUZZ_CHECK(reread.has_value() && *reread - *when <= 3600 && *when - *reread <= 3600);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const bool seguro = catalogue::NomeArquivoSeguro(text);
    if (seguro) {
        FUZZ_CHECK(!text.empty() && text != "." && text != "..");
        FUZZ_CHECK(text.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos);
    }
    FUZZ_CHECK(mirelo_download::CaminhoLocal("pasta/", text).has_value() == seguro);

    const std::string utf8 = mirelo_download::ParaUtf8(text);
    FUZZ_CHECK(ValidUtf8(utf8) || utf8 == text);
    FUZZ_CHECK(utf8.size() >= text.size() && utf8.size() <= 3 * text.size());
    FUZZ_CHECK(mirelo_download::ParaUtf8(utf8) == utf8);
    FUZZ_CHECK(!mirelo_download::MensagemNomeInvalido(text).empty());

    // Fields split at "|" join back to the text.
    std::string joined;
    int k = 1;
    for (std::size_t used = 0; k <= 64; ++k) {
        const std::string field = catalogue::CampoSeparado(text, '|', k);
        FUZZ_CHECK(field.find('|') == std::string::npos);
        joined += field;
        used += field.size() + 1;
        if (used > text.size())
            break;
        joined += '|';
    }
    if (k <= 64)
        FUZZ_CHECK(joined == text);
    FUZZ_CHECK(text.ends_with(catalogue::TextoDepoisDe(text, '=')));

    try {
        const std::int64_t number = catalogue::StrToInt(text);
        FUZZ_CHECK(catalogue::StrToInt(std::to_string(number)) == number);
    } catch (const catalogue::EConvertError& e) {
        // The message quotes the text; what() stops at a NUL inside it.
        if (text.find('\0') == std::string::npos)
            FUZZ_CHECK(std::string(e.what()) == "'" + text + "' is not a valid integer value");
    }

    CheckDate(text);
    return 0;
}
