// The proxy settings file "proxy.ini": three lines read back, written with the program's own
// writer and read again, and the start-up decision of how the session reaches the server.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "catalogue/ProxySettings.h"
#include "catalogue/TextFile.h"

namespace {

// The file the writer writes and the reader reads: an anonymous in-memory file reached through
// its /proc path, so no run leaves anything behind, however it ends (libFuzzer leaves without
// running destructors).
const std::string& ScratchPath() {
    static const std::string path = "/proc/self/fd/" + std::to_string(::memfd_create("mirelo-fuzz-proxy", MFD_CLOEXEC));
    return path;
}

bool Writable(const std::string& line) {
    // A line can be written back as it stands when it holds no LF and does not end in CR,
    // which the reader takes for part of the line end.
    return line.find('\n') == std::string::npos && (line.empty() || line.back() != '\r');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const catalogue::ConfiguracaoProxy lida = catalogue::InterpretaProxyIni(text);
    FUZZ_CHECK(Writable(lida.UsaProxy) && Writable(lida.ProxyServidor) && Writable(lida.ProxyPorta));
    FUZZ_CHECK(lida.UsaProxy.size() + lida.ProxyServidor.size() + lida.ProxyPorta.size() <= size);

    catalogue::GravaProxyIni(ScratchPath(), lida);
    FUZZ_CHECK(catalogue::InterpretaProxyIni(catalogue::ReadTextFile(ScratchPath())) == lida);

    catalogue::SessaoFtp sessao{"ftp.exemplo", "anonymous", "senha@exemplo", false};
    catalogue::AplicaProxy(lida, sessao, "ftp.exemplo", "senha@exemplo");
    if (lida.UsaProxy == "S") {
        FUZZ_CHECK(sessao.HostName == lida.ProxyServidor);
        FUZZ_CHECK(sessao.UserName == "anonymous@ftp.exemplo" && sessao.PassiveMode);
    } else {
        FUZZ_CHECK(sessao.HostName == "ftp.exemplo" && sessao.UserName == "anonymous" && !sessao.PassiveMode);
    }
    return 0;
}
