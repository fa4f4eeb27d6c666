#include "catalogue/InstalledVersion.h"

#include <gtest/gtest.h>
#include <vector>

using namespace catalogue;
using platform::RegistryHive;

namespace {

// Records the questions asked, so the split of a location into key and value name shows.
class RecordingRegistry : public platform::RegistryService {
public:
    std::optional<platform::RegistryValue> ReadValue(std::string_view keyPath,
                                                     std::string_view valueName) const override {
        Asked.emplace_back(keyPath, valueName);
        return Answer;
    }

    mutable std::vector<std::pair<std::string, std::string>> Asked;
    std::optional<platform::RegistryValue> Answer;
};

const RegistryHive& Hive() {
    static const RegistryHive hive = RegistryHive::Parse(
        "WINE REGISTRY Version 2\n"
        "[Software] 1\n"
        "\"Versao\"=\"raiz errada\"\n"
        "[Software\\\\Versao] 1\n"
        "\"Versao\"=\"3.0\"\n"
        "[Software\\\\Orva\\\\IRPF] 1\n"
        "\"Versao\"=\"2.1\"\n"
        "\"NomeDeValorComMaisDeTrintaCaracteres\"=\"4.2\"\n"
        "\"Expansivel\"=str(2):\"%ProgramFiles%\\\\Orva\"\n"
        "\"Numero\"=dword:0001e240\n"
        "\"Grande\"=hex(b):00,00,00,00,01,00,00,00\n"
        "\"Binario\"=hex:01,02\n"
        "\"Lista\"=hex(7):41,00,00,00,00,00\n"
        "\"Vazio\"=hex:\n"
        "\"ComNulo\"=str(1):\"1.5\\0lixo\"\n"
        "@=\"padrao\"\n"
        "[Software\\\\Wow6432Node\\\\Orva\\\\ITR] 1\n"
        "\"Versao\"=\"1.0\"\n");
    return hive;
}

}  // namespace

TEST(VerificaRegister, SplitsTheLocationAtItsLastBackslash) {
    RecordingRegistry registry;
    VerificaRegister(registry, "SOFTWARE\\A\\B\\Versao");
    VerificaRegister(registry, "SOFTWARE\\Versao\\Versao");
    VerificaRegister(registry, "Versao");
    VerificaRegister(registry, "SOFTWARE\\A\\");
    EXPECT_EQ(registry.Asked,
              (std::vector<std::pair<std::string, std::string>>{
                  {"SOFTWARE\\A\\B\\", "Versao"},
                  {"SOFTWARE\\Versao\\", "Versao"},
                  {"", "Versao"},
                  {"SOFTWARE\\A\\", ""}}));
}

TEST(VerificaRegister, ReadsTheVersionFromTheRightKey) {
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Versao"), "2.1");
    // The value name also names a key earlier in the path: still the last key is read.
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Versao\\Versao"), "3.0");
    // A value name of more than 30 characters is found like any other.
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\NomeDeValorComMaisDeTrintaCaracteres"),
              "4.2");
    EXPECT_EQ(VerificaRegister(Hive(), "software\\orva\\irpf\\VERSAO"), "2.1");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\ITR\\Versao"), "1.0");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\"), "padrao");
}

TEST(VerificaRegister, StringsComeBackUnexpandedAndCutAtNul) {
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Expansivel"), "%ProgramFiles%\\Orva");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\ComNulo"), "1.5");
}

TEST(VerificaRegister, NothingFoundIsEmptyANumberIsItsDecimalTextAndOtherTypesAreEmpty) {
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Ausente"), "");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\Outro\\Versao"), "");
    EXPECT_EQ(VerificaRegister(Hive(), ""), "");
    // An empty value of another type is empty, not an error: its size is 0.
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Vazio"), "");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Numero"), "123456");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Grande"), "4294967296");
    // Neither raises nor reads as a version: not installed.
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Binario"), "");
    EXPECT_EQ(VerificaRegister(Hive(), "SOFTWARE\\Orva\\IRPF\\Lista"), "");
}

TEST(ComparaVersao, ComparesAsTextsExactly) {
    StatusVersao s = ComparaVersao("2.1", "2.1");
    EXPECT_EQ(s.Texto, "2.1,Sistema Atualizado com a \xFAltima Vers\xE3o Disponivel.");
    EXPECT_EQ(s.Cor, (CorRgb{0, 128, 0}));

    s = ComparaVersao("2.0", "2.1");
    EXPECT_EQ(s.Texto, "2.0, Sistema desatualizado.");
    EXPECT_EQ(s.Cor, (CorRgb{128, 0, 0}));

    // Newer, or equal in number only, still reads as outdated.
    EXPECT_EQ(ComparaVersao("2.10", "2.1").Texto, "2.10, Sistema desatualizado.");
    EXPECT_EQ(ComparaVersao("2.1 ", "2.1").Cor, kCorDesatualizado);
    EXPECT_EQ(ComparaVersao("V2.1", "v2.1").Cor, kCorDesatualizado);

    s = ComparaVersao("", "2.1");
    EXPECT_EQ(s.Texto, "Sistema n\xE3o Instalado");
    EXPECT_EQ(s.Cor, kCorDesatualizado);

    s = ComparaVersao("", "");
    EXPECT_EQ(s.Texto, ",Sistema Atualizado com a \xFAltima Vers\xE3o Disponivel.");
    EXPECT_EQ(s.Cor, kCorAtualizado);
}

TEST(StatusDoFormulario, LooksUpTheFirstFieldOfChave) {
    TEstruturaForm form;
    form.Chave = "SOFTWARE\\Orva\\IRPF\\Versao|SOFTWARE\\Orva\\ITR\\Versao";
    form.Versao = "2.1";
    EXPECT_EQ(StatusDoFormulario(form, Hive()).Cor, kCorAtualizado);
    form.Versao = "2.2";
    EXPECT_EQ(StatusDoFormulario(form, Hive()).Texto, "2.1, Sistema desatualizado.");
    form.Chave = "";
    EXPECT_EQ(StatusDoFormulario(form, Hive()).Texto, "Sistema n\xE3o Instalado");
}
