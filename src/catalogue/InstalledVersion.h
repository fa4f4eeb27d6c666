// The installed-version check: the version a product recorded in the registry, read through any
// RegistryService, and the detail panel's status line that compares it with the catalogue's
// version. Plain functions; they use the service from the calling thread.
#pragma once

#include <string>
#include <string_view>

#include "catalogue/FormsCatalogue.h"
#include "platform/Registry.h"

namespace catalogue {

// The registry string at location `local`: a path below HKEY_LOCAL_MACHINE whose last "\"-
// component is the value name, for example SOFTWARE\Vendor\Product\Versao. The key is the text
// up to and including the last "\" and the value name the text after it (the key's default
// value when `local` ends in "\"). Empty when the key or value does not exist or is empty. A
// string or expandable string gives its text up to its first NUL, unexpanded; a DWORD or QWORD
// its number in decimal; a value of any other type is empty (not installed). Never throws.
std::string VerificaRegister(const platform::RegistryService& registro, std::string_view local);

struct CorRgb {
    int Red = 0;
    int Green = 0;
    int Blue = 0;
    bool operator==(const CorRgb&) const = default;
};

inline constexpr CorRgb kCorDesatualizado{128, 0, 0};  // maroon
inline constexpr CorRgb kCorAtualizado{0, 128, 0};     // green

// The installed-version line of the detail panel, in Windows-1252, and its colour.
struct StatusVersao {
    std::string Texto;
    CorRgb Cor;
};

// Compares the installed version with the catalogue's as texts, exactly: equal is up to date
// (green), a different non-empty one is outdated and an empty one is not installed (maroon).
// There is no numeric order: an installed version newer than the catalogue's reads as outdated.
StatusVersao ComparaVersao(std::string_view instalada, std::string_view versao);

// The status of a form: the registry location is field 1 of its Chave.
StatusVersao StatusDoFormulario(const TEstruturaForm& form,
                                const platform::RegistryService& registro);

}  // namespace catalogue
