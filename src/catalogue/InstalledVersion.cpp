#include "catalogue/InstalledVersion.h"

#include "catalogue/TextHelpers.h"

#include <cstdint>

namespace catalogue {
namespace {

// A DWORD or QWORD as Windows stores it (little-endian) in decimal; empty for data of another
// length.
std::string NumeroComoTexto(std::string_view bytes) {
    if (bytes.size() != 4 && bytes.size() != 8)
        return std::string();
    std::uint64_t numero = 0;
    for (std::size_t i = bytes.size(); i-- > 0;)
        numero = (numero << 8) | static_cast<unsigned char>(bytes[i]);
    return std::to_string(numero);
}

}  // namespace

std::string VerificaRegister(const platform::RegistryService& registro, std::string_view local) {
    // Split at the last "\": a value name that also occurs earlier in the path, or is long,
    // must not change which key is read.
    const std::size_t barra = local.rfind('\\');
    const std::string_view chave =
        barra == std::string_view::npos ? std::string_view() : local.substr(0, barra + 1);
    const std::string nome = TextoDepoisDe(local, '\\');

    const auto valor = registro.ReadValue(chave, nome);
    if (!valor || valor->Data.empty())
        return std::string();
    switch (valor->Type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
        return valor->Data.substr(0, valor->Data.find('\0'));
    case platform::kRegDword:
    case platform::kRegQword:
        return NumeroComoTexto(valor->Data);
    default:
        // An installer that records its version in some other form has recorded nothing we
        // can compare; the product reads as not installed rather than stopping the window.
        return std::string();
    }
}

StatusVersao ComparaVersao(std::string_view instalada, std::string_view versao) {
    if (instalada == versao)
        return {std::string(instalada) +
                    ",Sistema Atualizado com a \xFAltima Vers\xE3o Disponivel.",
                kCorAtualizado};
    if (instalada.empty())
        return {"Sistema n\xE3o Instalado", kCorDesatualizado};
    return {std::string(instalada) + ", Sistema desatualizado.", kCorDesatualizado};
}

StatusVersao StatusDoFormulario(const TEstruturaForm& form,
                                const platform::RegistryService& registro) {
    return ComparaVersao(VerificaRegister(registro, CampoSeparado(form.Chave, '|', 1)),
                         form.Versao);
}

}  // namespace catalogue
