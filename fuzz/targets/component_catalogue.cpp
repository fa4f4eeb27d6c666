// The component catalogue "download.cfg" of one installation as the main window and the
// download run read it: the components, their node images, the detail line, the release date,
// the part names and the local paths of their files.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "catalogue/ComponentCatalogue.h"
#include "catalogue/TextHelpers.h"
#include "download/DataDisponibilizacao.h"
#include "download/NomesArquivo.h"
#include "platform/IniFile.h"

namespace {

// The most part names looked at per component: a catalogue may claim any count, and the run
// asks the server about each part in turn, but the names themselves are all alike.
constexpr std::int64_t kPartsLooked = 4;

void CheckLocalFile(const std::string& nome) {
    const std::optional<std::string> caminho = mirelo_download::CaminhoLocal("/tmp/baixados/", nome);
    FUZZ_CHECK(caminho.has_value() == catalogue::NomeArquivoSeguro(nome));
    if (!caminho)
        return;
    // Whatever the catalogue says, the file lands directly in the download folder.
    FUZZ_CHECK(caminho->starts_with("/tmp/baixados/"));
    const std::string_view resto = std::string_view(*caminho).substr(14);
    FUZZ_CHECK(!resto.empty() && resto.find('/') == std::string_view::npos);
    FUZZ_CHECK(resto != "." && resto != ".." && resto.find("..") == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::IniFile cfg = platform::IniFile::Parse(text);

    catalogue::TabelaComponentes componentes;
    componentes.SetSlot(1, std::make_unique<catalogue::TEstruturaComp>());
    const std::vector<int> imagens = catalogue::LeDownloadCfg(cfg, componentes);
    FUZZ_CHECK(componentes.Count() == imagens.size());
    FUZZ_CHECK(!cfg.SectionExists("componente " + std::to_string(imagens.size() + 1)));

    for (std::size_t k = 1; k <= imagens.size(); ++k) {
        const catalogue::TEstruturaComp& comp = *componentes.Slot(k);
        FUZZ_CHECK(imagens[k - 1] == catalogue::kImagemMarcado || imagens[k - 1] == catalogue::kImagemFixo);
        FUZZ_CHECK(comp.Marcado == "1");
        FUZZ_CHECK(comp.Arquivo.find('|') == std::string::npos && comp.Discos.find('|') == std::string::npos);

        try {
            const std::string linha = catalogue::LinhaInstalacao(comp, ",", ".");
            FUZZ_CHECK(linha.starts_with(comp.Arquivo + " - "));
            FUZZ_CHECK(linha.ends_with(comp.Discos == "1" ? " disco" : " discos"));
        } catch (const catalogue::EConvertError& e) {
            // The message quotes the size; what() stops at a NUL inside it.
            if (comp.Tamanho.find('\0') == std::string::npos)
                FUZZ_CHECK(std::string(e.what()) == "'" + comp.Tamanho + "' is not a valid integer value");
        }

        const std::optional<std::time_t> data = mirelo_download::LeDisponibilizacao(comp.Disponibilizacao);
        if (data)
            FUZZ_CHECK(comp.Disponibilizacao.find('/') != std::string::npos);

        CheckLocalFile(comp.Arquivo);
        std::int64_t discos = 0;
        try {
            discos = catalogue::StrToInt(comp.Discos);
        } catch (const catalogue::EConvertError&) {
        }
        for (std::int64_t parte = 2; parte <= discos && parte < 2 + kPartsLooked; ++parte) {
            const std::string nome = mirelo_download::NomeParte(comp.Arquivo, static_cast<int>(parte));
            FUZZ_CHECK(nome.find(".w") != std::string::npos);
            CheckLocalFile(nome);
        }
        // The part number written last is the count itself, however many digits it has.
        if (discos >= 2 && discos <= 1000000)
            FUZZ_CHECK(mirelo_download::NomeParte(comp.Arquivo, static_cast<int>(discos)).ends_with(
                catalogue::CompletaEsquerda(std::to_string(discos), '0', 2)));

        for (int j = 1; j <= 3; ++j) {
            const std::string regra = catalogue::CampoSeparado(comp.Regra, '|', j);
            if (regra.empty())
                break;
            FUZZ_CHECK(regra.find('|') == std::string::npos);
        }
    }
    return 0;
}
