#include "catalogue/InstallRules.h"

#include <algorithm>

#include "catalogue/InstalledVersion.h"
#include "catalogue/TextHelpers.h"

namespace catalogue {

namespace {

std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; });
    return upper;
}

bool IsHeader(std::string_view line) {
    const std::string upper = UpperAscii(line);
    return upper.find("REGRA") != std::string::npos && upper.find("//") == std::string::npos;
}

// The text from the 1-based position `from` on; empty for a shorter line.
std::string_view From(std::string_view line, std::size_t from) {
    return line.size() >= from ? line.substr(from - 1) : std::string_view();
}

}  // namespace

TextFileWriter AbreArquivoRegras(const std::string& pastaDestino) {
    return TextFileWriter(pastaDestino + kTempRegrasIni);
}

CaminhoRegra SeparaCaminhoRegra(std::string_view caminho) {
    // Split at the last "/": a name that also appears earlier in the path must not cut the
    // directory short.
    const std::size_t barra = caminho.rfind('/');
    if (barra == std::string_view::npos)
        return {std::string(), std::string(caminho)};
    return {std::string(caminho.substr(0, barra + 1)), std::string(caminho.substr(barra + 1))};
}

std::vector<std::string> LinhasColetadas(std::string_view textoRegra, int j) {
    std::vector<std::string> coletadas;
    bool preambulo = true;
    for (std::string& linha : SplitLines(textoRegra)) {
        const bool regra = linha.find("Regra") != std::string::npos;
        if (preambulo) {
            preambulo = !regra;
            continue;
        }
        coletadas.push_back(regra ? "[Regra " + std::to_string(j) + "]" : std::move(linha));
    }
    coletadas.emplace_back("\r");
    return coletadas;
}

void GravaRegrasIni(std::string_view caminhoRegra, int j, const std::string& diretorioSite,
                    const std::string& pastaDestino, TextFileWriter& arquivoRegras,
                    const BaixaArquivo& baixa) {
    if (caminhoRegra.empty())
        return;
    const CaminhoRegra regra = SeparaCaminhoRegra(caminhoRegra);
    if (!NomeArquivoSeguro(regra.Nome))
        throw EInOutError("O arquivo de regras \"" + std::string(caminhoRegra) +
                          "\" tem um nome que não pode ser gravado na pasta de download.");
    const std::string local = pastaDestino + NomeEmDisco(regra.Nome);
    baixa({diretorioSite + regra.Diretorio, regra.Nome, local});
    for (const std::string& linha : LinhasColetadas(ReadTextFile(local), j))
        arquivoRegras.WriteLine(linha);
}

std::vector<std::string> AvaliaRegras(std::string_view textoColecao,
                                      const platform::RegistryService& registro,
                                      const std::function<void(const std::string&)>& aplica) {
    const std::vector<std::string> linhas = SplitLines(textoColecao);
    const auto linha = [&linhas](std::size_t i) -> std::string_view {
        return i < linhas.size() ? std::string_view(linhas[i]) : std::string_view();
    };
    std::vector<std::string> suportes;
    std::size_t i = 0;
    while (i < linhas.size()) {
        if (!IsHeader(linhas[i++]))
            continue;
        const std::string_view tipo = linha(i);
        const std::string_view caminhoRegistro = From(linha(i + 1), 8);
        const std::string_view esperado = linha(i + 3);
        const std::string_view suporte = linha(i + 4);
        i += 6;
        if (tipo.size() < 6 || tipo[5] != 'R')
            continue;
        if (VerificaRegister(registro, caminhoRegistro) == TextoDepoisDe(esperado, '='))
            continue;
        suportes.push_back(TextoDepoisDe(suporte, '='));
        if (aplica)
            aplica(suportes.back());
    }
    return suportes;
}

std::vector<std::string> LeRegrasIni(
    TextFileWriter& arquivoRegras, const std::string& pastaDestino,
    const platform::RegistryService& registro,
    const std::function<void(const std::string&)>& baixaArquivoSuporte) {
    arquivoRegras.Close();
    const std::string colecao = ReadTextFile(pastaDestino + kTempRegrasIni);
    TextFileWriter regras(pastaDestino + kRegrasIni);
    return AvaliaRegras(colecao, registro, [&](const std::string& suporte) {
        // On disk before the fetch, so a failed fetch still leaves the list complete so far. A
        // name that could lead outside the folder is never fetched, so it is not listed either.
        if (NomeArquivoSeguro(suporte))
            regras.WriteLine(suporte);
        if (baixaArquivoSuporte)
            baixaArquivoSuporte(suporte);
    });
}

}  // namespace catalogue
