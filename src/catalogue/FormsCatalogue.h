// The forms catalogue "formularios.cfg": one TEstruturaForm per product, read into the table
// Formularios, and what the product tree needs of it without a widget: each form's installation
// list, where an installation's component catalogue lives, and the position logic of Caminho.
// Plain functions over values; any thread.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Tabela.h"
#include "platform/IniFile.h"

namespace catalogue {

// The catalogue copy, fetched into and read from the working directory.
inline constexpr char kFormulariosCfg[] = "formularios.cfg";

// One product of the catalogue. Texts are Windows-1252 as the file holds them.
struct TEstruturaForm {
    std::string Nome;
    std::string Descricao;
    std::string Versao;
    std::string Build;
    std::string Chave;        // whole text; its "|"-field 1 is the registry location
    std::string Instalacoes;  // name 1|directory 1|name 2|directory 2|...
};

using TabelaFormularios = Tabela<TEstruturaForm>;

// Reads the sections "Formulario 1", "Formulario 2", ... up to the first that is missing or holds
// no key, into slots 1..n of `formularios`, and empties the slots above n. Returns n.
std::size_t LeFormulariosCfg(const platform::IniFile& cfg, TabelaFormularios& formularios);
// The same from "formularios.cfg" in the working directory, where the connection sequence wrote
// it; a missing or unreadable file gives no form.
std::size_t LeFormulariosCfg(TabelaFormularios& formularios);

// An installation variant of a form: its shown name and its directory below DiretorioSite.
struct Instalacao {
    std::string Nome;
    std::string Diretorio;
};

// The pairs of "instalacoes" in order, up to the first empty name.
std::vector<Instalacao> InstalacoesDe(const TEstruturaForm& form);

// Where the component catalogue of installation `posicao` (from 0, its node's position) lies:
// DiretorioSite followed directly by the installation's directory, no separator added.
std::string DiretorioDoDownloadCfg(std::string_view diretorioSite, const TEstruturaForm& form,
                                   std::size_t posicao);

// Caminho(node, depth) for a node given as the positions among their siblings of the top node,
// its descendants down the node's branch, and the node itself (so posicoes[l] belongs to level
// l and the node's level is posicoes.size() - 1): the node's own position when its level is
// below `profundidade`, else that of its ancestor at level profundidade - 1. With depth 2 this is
// the position of the form a node belongs to. -1 for an empty branch; a depth below 1 gives the
// top node's position.
int Caminho(std::span<const int> posicoes, int profundidade);

}  // namespace catalogue
