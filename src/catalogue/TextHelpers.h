// The text helpers that every catalogue reader and the download run share: "|"-separated fields,
// the text after a separator, left padding, whole-number conversion, the check that a file name
// from the server is safe to use as a local name and the name it gets on disk. Pure functions
// over bytes (catalogue texts are Windows-1252 and keep their bytes); any thread may call them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace catalogue {

// The k-th field (from 1) of `text` split at `separator`: the text between the (k-1)-th and the
// k-th separator, the 0-th being the start of the text and the end of the text closing the last
// field. Empty when the text has fewer than k fields (or k < 1); adjacent separators give an
// empty field; nothing is trimmed.
std::string CampoSeparado(std::string_view text, char separator, int k);

// The characters after the last `separator`; the whole text when it does not occur.
std::string TextoDepoisDe(std::string_view text, char separator);

// `text` preceded by as many `pad` characters as make it `width` long; a text already that long
// (or longer) is returned unchanged.
std::string CompletaEsquerda(std::string_view text, char pad, std::size_t width);

// The conversion error of a text that is not a number, with the text in its message.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A decimal whole number, optionally signed, with nothing else around it. Throws EConvertError
// "'<text>' is not a valid integer value" for anything else, the empty text included, and for a
// number beyond 64 bits.
std::int64_t StrToInt(std::string_view text);

// Whether a name that came from the server may name a local file in the download folder: not
// empty, not "." and holding neither "/", "\", ".." nor a NUL, so it can never reach outside the
// folder.
bool NomeArquivoSeguro(std::string_view name);

// Server and catalogue texts are Windows-1252; messages and file names on disk are UTF-8. Text
// that already is valid UTF-8 is returned as it is; the code page's five undefined bytes become
// "?".
std::string ParaUtf8(std::string_view texto);

// The name under which a file that the catalogue or the server names is written into the
// download folder: its UTF-8 form, so the file manager, the installer's start and the next run's
// look-up all meet the same file. Every local path of the run is made with it.
std::string NomeEmDisco(std::string_view nome);

}  // namespace catalogue
