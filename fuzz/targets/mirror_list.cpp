// The local mirror list "sitesreplicacao.cfg": its lines become drop-down entries, and a chosen
// entry gives back the mirror's host (which may carry ":port") and base directory.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "catalogue/MirrorList.h"
#include "catalogue/TextFile.h"
#include "catalogue/TextHelpers.h"
#include "download/Servidores.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> entradas = catalogue::LeSiteReplicadores(text);
    const std::vector<std::string> linhas = catalogue::SplitLines(text);
    FUZZ_CHECK(entradas.size() <= linhas.size());

    std::size_t next = 0;
    for (const std::string& linha : linhas) {
        const std::string host = catalogue::CampoSeparado(linha, '|', 1);
        if (host.empty())
            continue;  // lines without a host give no entry
        FUZZ_CHECK(next < entradas.size());
        const std::string& entrada = entradas[next++];
        FUZZ_CHECK(entrada == catalogue::EntradaDoReplicador(linha));
        FUZZ_CHECK(entrada.ends_with("|"));

        const std::string rotulo1 = catalogue::CampoSeparado(linha, '|', 2);
        const std::string rotulo2 = catalogue::CampoSeparado(linha, '|', 3);
        const std::string diretorio = catalogue::CampoSeparado(linha, '|', 4);
        const catalogue::SiteReplicador site = catalogue::InterpretaEntrada(entrada);
        // The entry is all there is to go by; when the labels hold no "(" and the host neither
        // "(" nor ")", the host and the directory come back as the line gave them.
        if (rotulo1.find('(') == std::string::npos && rotulo2.find('(') == std::string::npos &&
            host.find_first_of("()") == std::string::npos) {
            FUZZ_CHECK(site.Host == host);
        }
        FUZZ_CHECK(site.Diretorio == diretorio);

        // A host with a port: the port is a number from 1 to 65535, and the two join back.
        if (const std::optional<TServidorFtp> servidor = SeparaHostPorta(site.Host)) {
            FUZZ_CHECK(!servidor->Host.empty());
            if (servidor->Porta != "ftp" || site.Host.find(':') != std::string::npos) {
                FUZZ_CHECK(servidor->Host + ":" + servidor->Porta == site.Host);
                const unsigned long porta = std::stoul(servidor->Porta);
                FUZZ_CHECK(porta >= 1 && porta <= 65535);
            } else {
                FUZZ_CHECK(servidor->Host == site.Host);
            }
        }
    }
    FUZZ_CHECK(next == entradas.size());
    return 0;
}
