// The local list of mirror sites, "sitesreplicacao.cfg": the drop-down entries it gives and the
// host and base directory taken back out of a chosen entry. Lines are host|label 1|label 2|
// directory; an entry reads "label 1/label 2 (host)|directory|" and is the only place that holds
// the host and the directory. Plain functions over text; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace catalogue {

// Read at start from the working directory when it exists; never written or fetched.
inline constexpr char kSitesReplicacaoCfg[] = "sitesreplicacao.cfg";

// The entry of one line, or the empty text when its first field (the host) is empty. Fields from
// the fifth on are ignored; nothing is trimmed.
std::string EntradaDoReplicador(std::string_view linha);

// The entries of the file's text, in file order; lines without a host give none.
std::vector<std::string> LeSiteReplicadores(std::string_view texto);

struct SiteReplicador {
    std::string Host;       // between the first "(" and the next ")"
    std::string Diretorio;  // between the first and the second "|": replaces DiretorioSite
};

// Takes the host and the directory back out of an entry's text. A label holding "(" or "|", or a
// host holding ")" or "|", gives a wrong result: the entry's text is all there is to go by.
SiteReplicador InterpretaEntrada(std::string_view entrada);

}  // namespace catalogue
