// The install rules of a download run: a rule file as the server gives it is collected into
// "TempRegras.Ini" and the collection is evaluated against the registry. The input is the rule
// file, optionally followed by a line "----" and a registry file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "catalogue/InstallRules.h"
#include "catalogue/TextFile.h"
#include "catalogue/TextHelpers.h"
#include "platform/Registry.h"

namespace {

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

std::size_t CountHeaders(const std::vector<std::string>& lines) {
    std::size_t headers = 0;
    for (const std::string& line : lines) {
        const std::string upper = Upper(line);
        headers += upper.find("REGRA") != std::string::npos && upper.find("//") == std::string::npos;
    }
    return headers;
}

// Evaluates `collection`; every support file the rules ask for is handed out once, in order,
// and is the text after the last "=" of its line, so it holds no "=" itself.
void Evaluate(std::string_view collection, const platform::RegistryService& registry) {
    std::vector<std::string> handed;
    // A registry value of any type compares as a text: the evaluation raises nothing.
    const std::vector<std::string> suportes =
        catalogue::AvaliaRegras(collection, registry, [&](const std::string& s) { handed.push_back(s); });
    FUZZ_CHECK(suportes == handed);
    FUZZ_CHECK(suportes.size() <= CountHeaders(catalogue::SplitLines(collection)));
    for (const std::string& suporte : suportes)
        FUZZ_CHECK(suporte.find('=') == std::string::npos && suporte.find('\n') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [ruleText, regText] = fuzz::SplitAt(std::string_view(reinterpret_cast<const char*>(data), size),
                                                   fuzz::kPartSeparator);
    const platform::RegistryHive registry = platform::RegistryHive::Parse(regText);

    const int j = 1 + static_cast<int>(size % 3);
    const std::vector<std::string> lines = catalogue::SplitLines(ruleText);
    const std::vector<std::string> collected = catalogue::LinhasColetadas(ruleText, j);
    // The preamble goes, every other line stays, and a carriage-return line closes the file.
    FUZZ_CHECK(!collected.empty() && collected.back() == "\r");
    FUZZ_CHECK(collected.size() <= lines.size() + 1);
    const std::string marker = "[Regra " + std::to_string(j) + "]";
    for (std::size_t i = 0; i + 1 < collected.size(); ++i) {
        const std::string& line = lines[lines.size() - (collected.size() - 1) + i];
        FUZZ_CHECK(collected[i] == (line.find("Regra") != std::string::npos ? marker : line));
    }

    // The collection file as the run writes it: lines with CR LF ends, two rule files in a row.
    std::string collection;
    for (int copy = 0; copy < 2; ++copy)
        for (const std::string& line : collected)
            collection += line + "\r\n";
    Evaluate(collection, registry);
    Evaluate(ruleText, registry);

    // A rule path splits into a directory and a name that join back to it; only a name that
    // cannot leave the download folder may be fetched into it.
    for (std::size_t i = 0; i < lines.size() && i < 8; ++i) {
        const catalogue::CaminhoRegra caminho = catalogue::SeparaCaminhoRegra(lines[i]);
        FUZZ_CHECK(caminho.Diretorio + caminho.Nome == lines[i]);
        FUZZ_CHECK(caminho.Nome.find('/') == std::string::npos);
        if (catalogue::NomeArquivoSeguro(caminho.Nome))
            FUZZ_CHECK(caminho.Nome.find("..") == std::string::npos && caminho.Nome.find('\\') == std::string::npos);
    }
    return 0;
}
