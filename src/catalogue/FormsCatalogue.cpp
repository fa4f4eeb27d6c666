#include "catalogue/FormsCatalogue.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "catalogue/TextHelpers.h"

namespace catalogue {

std::size_t LeFormulariosCfg(const platform::IniFile& cfg, TabelaFormularios& formularios) {
    std::size_t k = 1;
    for (;; ++k) {
        const std::string section = "Formulario " + std::to_string(k);
        if (!cfg.SectionExists(section))
            break;
        auto form = std::make_unique<TEstruturaForm>();
        form->Nome = cfg.ReadString(section, "nome");
        form->Descricao = cfg.ReadString(section, "descricao");
        const std::string versao = cfg.ReadString(section, "versao");
        form->Versao = CampoSeparado(versao, '|', 1);
        form->Build = CampoSeparado(versao, '|', 2);
        form->Chave = cfg.ReadString(section, "chave");
        form->Instalacoes = cfg.ReadString(section, "instalacoes");
        formularios.SetSlot(k, std::move(form));
    }
    const std::size_t n = k - 1;
    // Forms of an earlier, longer catalogue would otherwise stay behind the list's end.
    formularios.Truncate(n);
    return n;
}

std::size_t LeFormulariosCfg(TabelaFormularios& formularios) {
    return LeFormulariosCfg(platform::IniFile::Load(kFormulariosCfg), formularios);
}

std::vector<Instalacao> InstalacoesDe(const TEstruturaForm& form) {
    std::vector<Instalacao> instalacoes;
    for (int field = 1;; field += 2) {
        std::string nome = CampoSeparado(form.Instalacoes, '|', field);
        if (nome.empty())
            break;
        instalacoes.push_back({std::move(nome), CampoSeparado(form.Instalacoes, '|', field + 1)});
    }
    return instalacoes;
}

std::string DiretorioDoDownloadCfg(std::string_view diretorioSite, const TEstruturaForm& form,
                                   std::size_t posicao) {
    const std::size_t field = 2 * posicao + 2;
    if (field > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::string(diretorioSite);
    return std::string(diretorioSite) + CampoSeparado(form.Instalacoes, '|', static_cast<int>(field));
}

int Caminho(std::span<const int> posicoes, int profundidade) {
    if (posicoes.empty())
        return -1;
    const std::size_t nivel = posicoes.size() - 1;
    const std::size_t limite = profundidade < 1 ? 0 : static_cast<std::size_t>(profundidade - 1);
    return posicoes[std::min(nivel, limite)];
}

}  // namespace catalogue
