#include "catalogue/ComponentCatalogue.h"

#include <cstdint>
#include <memory>

#include "catalogue/TextHelpers.h"

namespace catalogue {

int ImagemDoComponente(std::string_view descricao) {
    return CampoSeparado(descricao, '|', 2) == "0" ? kImagemFixo : kImagemMarcado;
}

std::vector<int> LeDownloadCfg(const platform::IniFile& cfg, TabelaComponentes& componentes) {
    componentes.Clear();
    std::vector<int> imagens;
    for (std::size_t k = 1;; ++k) {
        const std::string section = "componente " + std::to_string(k);
        if (!cfg.SectionExists(section))
            break;
        auto comp = std::make_unique<TEstruturaComp>();
        comp->Nome = cfg.ReadString(section, "nome");
        const std::string descricao = cfg.ReadString(section, "descricao");
        comp->Descricao = CampoSeparado(descricao, '|', 1);
        comp->Disponibilizacao = cfg.ReadString(section, "disponibilizacao");
        const std::string versao = cfg.ReadString(section, "versao");
        comp->Versao = CampoSeparado(versao, '|', 1);
        comp->Build = CampoSeparado(versao, '|', 2);
        comp->Chave = cfg.ReadString(section, "chave");
        const std::string instalacao = cfg.ReadString(section, "instalacao");
        comp->Arquivo = CampoSeparado(instalacao, '|', 1);
        comp->Discos = CampoSeparado(instalacao, '|', 2);
        comp->DiretorioRemoto = CampoSeparado(instalacao, '|', 3);
        comp->Regra = cfg.ReadString(section, "regra");
        comp->Marcado = "1";
        comp->Tamanho = cfg.ReadString(section, "tamanho");
        componentes.SetSlot(k, std::move(comp));
        imagens.push_back(ImagemDoComponente(descricao));
    }
    return imagens;
}

std::vector<int> LeDownloadCfg(TabelaComponentes& componentes) {
    return LeDownloadCfg(platform::IniFile::Load(kDownloadCfg), componentes);
}

std::string TamanhoEmKb(std::string_view tamanho, std::string_view separadorDecimal,
                        std::string_view separadorMilhar) {
    const std::int64_t bytes = StrToInt(tamanho);
    const bool negativo = bytes < 0;
    const std::uint64_t magnitude =
        negativo ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
    // Tenths of a kilobyte in whole numbers, so no size is misrounded by floating point.
    const std::uint64_t decimos = magnitude / 1024 * 10 + (magnitude % 1024 * 10 + 512) / 1024;

    const std::string digitos = std::to_string(decimos / 10);
    std::string texto = negativo && decimos != 0 ? "-" : "";
    for (std::size_t i = 0; i < digitos.size(); ++i) {
        if (i > 0 && (digitos.size() - i) % 3 == 0)
            texto += separadorMilhar;
        texto += digitos[i];
    }
    texto += separadorDecimal;
    texto += static_cast<char>('0' + decimos % 10);
    return texto;
}

std::string LinhaInstalacao(const TEstruturaComp& componente, std::string_view separadorDecimal,
                            std::string_view separadorMilhar) {
    return componente.Arquivo + " - " +
           TamanhoEmKb(componente.Tamanho, separadorDecimal, separadorMilhar) + "kb" + " - " +
           componente.Discos + (componente.Discos == "1" ? " disco" : " discos");
}

}  // namespace catalogue
