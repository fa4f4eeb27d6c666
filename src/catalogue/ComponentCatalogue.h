// The component catalogue "download.cfg" of one installation: one TEstruturaComp per component,
// read into the table Componentes, the node image each component starts with, and the detail
// panel's installation line. Plain functions over values; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Tabela.h"
#include "platform/IniFile.h"

namespace catalogue {

// The catalogue copy, fetched into and read from the working directory.
inline constexpr char kDownloadCfg[] = "download.cfg";

// Tree images of a component node (the tree's image list has the same numbers).
inline constexpr int kImagemMarcado = 1;     // optional component, marked
inline constexpr int kImagemDesmarcado = 2;  // optional component, unmarked
inline constexpr int kImagemFixo = 5;        // always downloaded, cannot be unmarked

// One component. Texts are Windows-1252 as the file holds them.
struct TEstruturaComp {
    std::string Nome;
    std::string Disponibilizacao;  // release date and time, as the catalogue writes it
    std::string Descricao;
    std::string Versao;
    std::string Arquivo;
    std::string Discos;  // number of files, decimal
    std::string Build;
    std::string Tamanho;  // bytes, decimal
    std::string Chave;
    std::string Regra;            // "|"-separated rule-file paths below DiretorioSite
    std::string DiretorioRemoto;  // below DiretorioSite
    std::string Marcado = "1";    // "1" marked for download, "0" not
};

using TabelaComponentes = Tabela<TEstruturaComp>;

// The image a component's node starts with, from its whole "descricao" value: kImagemFixo when
// the value's second "|"-field is exactly "0", kImagemMarcado otherwise.
int ImagemDoComponente(std::string_view descricao);

// Empties `componentes`, then reads the sections "componente 1", "componente 2", ... up to the
// first that is missing or holds no key into slots 1..n, every component marked. Returns the
// node image of each, slot k at index k - 1.
std::vector<int> LeDownloadCfg(const platform::IniFile& cfg, TabelaComponentes& componentes);
// The same from "download.cfg" in the working directory, where the catalogue fetch wrote it; a
// missing or unreadable file gives no component.
std::vector<int> LeDownloadCfg(TabelaComponentes& componentes);

// A size in bytes (decimal text) as kilobytes with one decimal, rounded half away from zero, and
// with the thousands grouped: "1536" -> "1.5", "2097152" -> "2,048.0" for the separators "." and
// ",". The separators are the user's locale's, in Windows-1252. Throws EConvertError when the
// text is not a whole number.
std::string TamanhoEmKb(std::string_view tamanho, std::string_view separadorDecimal,
                        std::string_view separadorMilhar);

// The detail panel's installation line: Arquivo, " - ", the size, "kb", " - ", Discos and
// " disco" (Discos exactly "1") or " discos". Throws EConvertError like TamanhoEmKb.
std::string LinhaInstalacao(const TEstruturaComp& componente, std::string_view separadorDecimal,
                            std::string_view separadorMilhar);

}  // namespace catalogue
