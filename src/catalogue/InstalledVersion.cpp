#include "catalogue/InstalledVersion.h"

#include "catalogue/TextHelpers.h"

namespace catalogue {

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
    if (valor->Type != platform::kRegSz && valor->Type != platform::kRegExpandSz)
        throw platform::ERegistryException("Invalid data type for '" + nome + "'");
    return valor->Data.substr(0, valor->Data.find('\0'));
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
