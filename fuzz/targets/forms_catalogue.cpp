// The forms catalogue "formularios.cfg" as the main window reads it: the products, their
// installations, where each installation's component catalogue lies, and the installed-version
// line of each product. The input is the catalogue, optionally followed by a line "----" and a
// registry file that the version check reads.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "catalogue/FormsCatalogue.h"
#include "catalogue/InstalledVersion.h"
#include "catalogue/TextHelpers.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [cfgText, regText] = fuzz::SplitAt(std::string_view(reinterpret_cast<const char*>(data), size),
                                                  fuzz::kPartSeparator);
    const platform::IniFile cfg = platform::IniFile::Parse(cfgText);
    const platform::RegistryHive registry = platform::RegistryHive::Parse(regText);

    catalogue::TabelaFormularios formularios;
    // An earlier, longer catalogue: reading must leave none of its forms behind the list.
    for (std::size_t k = 1; k <= 12; ++k)
        formularios.SetSlot(k, std::make_unique<catalogue::TEstruturaForm>());
    const std::size_t n = catalogue::LeFormulariosCfg(cfg, formularios);
    FUZZ_CHECK(formularios.Count() == n);
    FUZZ_CHECK(formularios.Slot(n + 1) == nullptr);
    // Sections are read in order up to the first that is missing or empty; each needs a header,
    // so there cannot be more than the text has lines.
    FUZZ_CHECK(!cfg.SectionExists("Formulario " + std::to_string(n + 1)));
    FUZZ_CHECK(n <= cfgText.size());

    for (std::size_t k = 1; k <= n; ++k) {
        const catalogue::TEstruturaForm& form = *formularios.Slot(k);
        const std::string section = "Formulario " + std::to_string(k);
        FUZZ_CHECK(cfg.SectionExists(section));
        FUZZ_CHECK(form.Nome == cfg.ReadString(section, "nome"));
        FUZZ_CHECK(form.Versao.find('|') == std::string::npos);
        const std::string versao = cfg.ReadString(section, "versao");
        FUZZ_CHECK(versao.starts_with(form.Versao));

        const auto instalacoes = catalogue::InstalacoesDe(form);
        // Names and directories come in pairs out of one "|"-list of at most 2047 bytes.
        FUZZ_CHECK(instalacoes.size() <= form.Instalacoes.size() / 2 + 1);
        for (std::size_t i = 0; i < instalacoes.size(); ++i) {
            FUZZ_CHECK(!instalacoes[i].Nome.empty());
            FUZZ_CHECK(instalacoes[i].Nome.find('|') == std::string::npos);
            FUZZ_CHECK(catalogue::DiretorioDoDownloadCfg("/pub/mirelo", form, i) == "/pub/mirelo" + instalacoes[i].Diretorio);
        }
        catalogue::DiretorioDoDownloadCfg("/pub/mirelo", form, instalacoes.size() + 1);

        // Whatever type the value has, the check gives a status and raises nothing.
        const catalogue::StatusVersao status = catalogue::StatusDoFormulario(form, registry);
        FUZZ_CHECK(status.Cor == catalogue::kCorAtualizado || status.Cor == catalogue::kCorDesatualizado);
        FUZZ_CHECK(!status.Texto.empty());
    }

    // The tree's position logic on a branch as deep as the catalogue allows.
    const int branch[] = {0, static_cast<int>(n), static_cast<int>(size % 7)};
    for (int depth = -1; depth <= 4; ++depth) {
        const int position = catalogue::Caminho(std::span<const int>(branch, 1 + size % 3), depth);
        FUZZ_CHECK(position == 0 || position == static_cast<int>(n) || position == static_cast<int>(size % 7));
    }
    return 0;
}
