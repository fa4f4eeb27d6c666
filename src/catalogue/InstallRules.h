// The install rules of a download run. Each component may name rule files on the server; a rule
// says that a support file is needed when a registry value differs from an expected one. During
// the run the rule files' records are collected in "TempRegras.Ini" (GravaRegrasIni); at its end
// every record is evaluated, the needed support files are listed in "Regras.Ini" and fetched
// (LeRegrasIni). Both files lie in the download folder and are plain CR LF text. Fetching over
// FTP is the caller's: it comes in as a callback. File failures raise EInOutError; use from the
// run's thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/TextFile.h"
#include "platform/Registry.h"

namespace catalogue {

inline constexpr char kTempRegrasIni[] = "TempRegras.Ini";
inline constexpr char kRegrasIni[] = "Regras.Ini";

// Creates (or empties) PastaDestino + "TempRegras.Ini" for the run's rules: ArquivoRegras.
TextFileWriter AbreArquivoRegras(const std::string& pastaDestino);

// A rule path of a component's Regra split into the directory below DiretorioSite (up to and
// including the last "/", empty without one) and the file name (after the last "/").
struct CaminhoRegra {
    std::string Diretorio;
    std::string Nome;
};

CaminhoRegra SeparaCaminhoRegra(std::string_view caminho);

// The lines one rule file adds to the collection: every line after the first that contains
// "Regra" (its preamble), a line containing "Regra" becoming "[Regra j]", then a line holding
// only a carriage return (byte 13).
std::vector<std::string> LinhasColetadas(std::string_view textoRegra, int j);

// One file to fetch: the FTP client's HostDirName, HostFileName and LocalFileName.
struct ArquivoABaixar {
    std::string HostDirName;
    std::string HostFileName;
    std::string LocalFileName;
};

using BaixaArquivo = std::function<void(const ArquivoABaixar&)>;

// GravaRegrasIni(p, j): nothing for an empty p. Otherwise fetches the rule file through `baixa`
// (from DiretorioSite + its directory into PastaDestino + its name on disk, NomeEmDisco, where
// it stays), reads it and appends its lines (LinhasColetadas) to `arquivoRegras`. Raises EInOutError with a message that
// names the rule file when its name is not a safe local name (nothing is fetched then) or when
// the fetched copy cannot be read.
void GravaRegrasIni(std::string_view caminhoRegra, int j, const std::string& diretorioSite,
                    const std::string& pastaDestino, TextFileWriter& arquivoRegras,
                    const BaixaArquivo& baixa);

// Evaluates the collection's text. A record is a header line (its upper-case form contains
// "REGRA" and no "//") and the six lines after it, empty past the end of the text. A record
// whose type line has "R" as its 6th character applies when the registry value at its registry
// line from the 8th character on (VerificaRegister) differs from the text after the last "=" of
// its 5th line; then `aplica` gets the support file, the text after the last "=" of its 6th
// line, before the next record is read. Other lines are skipped. Returns the support files in
// order.
std::vector<std::string> AvaliaRegras(std::string_view textoColecao,
                                      const platform::RegistryService& registro,
                                      const std::function<void(const std::string&)>& aplica);

// LeRegrasIni: closes `arquivoRegras`, evaluates PastaDestino + "TempRegras.Ini", writes each
// support file needed as a line of PastaDestino + "Regras.Ini" (created empty first; a name that
// is not a safe local name is left out) and then calls `baixaArquivoSuporte` with it. Returns
// the support files in order.
std::vector<std::string> LeRegrasIni(
    TextFileWriter& arquivoRegras, const std::string& pastaDestino,
    const platform::RegistryService& registro,
    const std::function<void(const std::string&)>& baixaArquivoSuporte);

}  // namespace catalogue
