#include "platform/Registry.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include "TempDir.h"

using platform::RegistryHive;
using platform::RegistryValue;
using platform::WineRegistry;

namespace {

const char kSystemReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to \\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Orva\\\\IRPF] 1700000000\n"
    "#time=1da0b1c2d3e4f5a\n"
    "\"Versao\"=\"2.1\"\n"
    "@=\"padrao\"\n"
    "\"Caminho\"=str(2):\"%ProgramFiles%\\\\Orva\"\n"
    "\"Aspas\"=\"diz \\\"oi\\\"\\nfim\"\n"
    "\"Acentos\"=\"Vers\\x00e3o \\u20ac \\x41\"\n"
    "\"Contagem\"=dword:0000002a\n"
    "\"Bytes\"=hex:01,02,ff\n"
    "\"Longo\"=hex(2):25,00,41,00,\\\n"
    "  25,00,00,00\n"
    "\"Texto16\"=hex(1):e9,00,20,00,ac,20,00,00\n"
    "\"Comum\"=\"A\"\n"
    "\n"
    "[Software\\\\Wow6432Node\\\\Orva\\\\ITR] 1700000001\n"
    "\"Versao\"=\"1.0\"\n"
    "\n"
    "[Software\\\\Orva\\\\Vazio] 1700000002\n"
    "\n"
    "[Software\\\\Wow6432Node\\\\Orva\\\\Vazio] 1700000003\n"
    "\"Versao\"=\"escondida\"\n"
    "\n"
    "[Software\\\\Orva\\\\Ambos] 1700000004\n"
    "\"Versao\"=\"64 bits\"\n"
    "\"So64\"=\"x\"\n"
    "\n"
    "[Software\\\\Wow6432Node\\\\Orva\\\\Ambos] 1700000005\n"
    "\"Versao\"=\"32 bits\"\n";

std::string Text(const std::optional<RegistryValue>& value) {
    return value ? value->Data : std::string("<none>");
}

}  // namespace

TEST(RegistryHive, ReadsWineValuesOfEveryKind) {
    const RegistryHive hive = RegistryHive::Parse(kSystemReg);

    auto value = hive.ReadValue("SOFTWARE\\Orva\\IRPF\\", "Versao");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, platform::kRegSz);
    EXPECT_EQ(value->Data, "2.1");

    EXPECT_EQ(Text(hive.ReadValue("Software\\Orva\\IRPF", "")), "padrao");
    value = hive.ReadValue("Software\\Orva\\IRPF", "caminho");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, platform::kRegExpandSz);
    EXPECT_EQ(value->Data, "%ProgramFiles%\\Orva");
    EXPECT_EQ(Text(hive.ReadValue("Software\\Orva\\IRPF", "Aspas")), "diz \"oi\"\nfim");
    // Characters beyond ASCII come out in Windows-1252: a-tilde, the euro sign.
    EXPECT_EQ(Text(hive.ReadValue("Software\\Orva\\IRPF", "Acentos")), "Vers\xE3o \x80 A");

    value = hive.ReadValue("Software\\Orva\\IRPF", "Contagem");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, platform::kRegDword);
    EXPECT_EQ(value->Data, std::string("\x2a\0\0\0", 4));

    value = hive.ReadValue("Software\\Orva\\IRPF", "Bytes");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, platform::kRegBinary);
    EXPECT_EQ(value->Data, "\x01\x02\xff");

    // UTF-16 hex data of a string type, continued over two lines.
    value = hive.ReadValue("Software\\Orva\\IRPF", "Longo");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type, platform::kRegExpandSz);
    EXPECT_EQ(value->Data, "%A%");
    EXPECT_EQ(Text(hive.ReadValue("Software\\Orva\\IRPF", "Texto16")), "\xE9 \x80");
}

TEST(RegistryHive, MatchesWithoutCaseAndReadsTheWow6432NodeViewFirst) {
    const RegistryHive hive = RegistryHive::Parse(kSystemReg);
    EXPECT_EQ(Text(hive.ReadValue("\\software\\ORVA\\irpf\\", "VERSAO")), "2.1");
    EXPECT_FALSE(hive.ReadValue("Software\\Orva\\IRPF", "Ausente"));
    EXPECT_FALSE(hive.ReadValue("Software\\Orva\\Outro", "Versao"));

    // Only the 32-bit view holds ITR.
    EXPECT_EQ(Text(hive.ReadValue("SOFTWARE\\Orva\\ITR\\", "Versao")), "1.0");
    EXPECT_TRUE(hive.KeyExists("SOFTWARE\\Orva\\ITR"));
    // The 64-bit key exists without the value: the 32-bit view still gives it.
    EXPECT_EQ(Text(hive.ReadValue("SOFTWARE\\Orva\\Vazio", "Versao")), "escondida");
    // Both views hold it: the 32-bit installers' view wins, and the other still answers for
    // what only it holds.
    EXPECT_EQ(Text(hive.ReadValue("SOFTWARE\\Orva\\Ambos", "Versao")), "32 bits");
    EXPECT_EQ(Text(hive.ReadValue("SOFTWARE\\Orva\\Ambos", "So64")), "x");
    EXPECT_EQ(Text(hive.ReadValue("SOFTWARE\\Wow6432Node\\Orva\\Ambos", "So64")), "<none>");
    // Outside SOFTWARE there is no second view.
    EXPECT_FALSE(hive.KeyExists("Orva\\ITR"));
    EXPECT_TRUE(hive.KeyExists("\\"));
}

TEST(RegistryHive, MalformedFilesYieldWhatTheyCan) {
    std::string text =
        "[Software\\\\Quebrada 1700000000\n"  // header without "]"
        "\"Perdido\"=\"x\"\n"
        "[Software\\\\Boa] 1\n"
        "\"SemIgual\" \"x\"\n"
        "\"Desconhecido\"=qword:1\n"
        "\"Aberta\"=\"sem fim\n"
        "\"Escape\"=\"x\\q\\x\\u\"\n";
    text += "\"Binario\"=\"a";
    text += std::string("\0\x01\xC3", 3);
    text += "b\"\n\"Hex\"=hex:01,zz,02\n";
    text += "\"Grande\"=\"" + std::string(4 * 1024 * 1024, 'g') + "\"\n";
    text += std::string(2 * 1024 * 1024, '[');
    // A line cut inside an escape, continued at the very end of the file.
    text += "\n\"Perdido2\"=\"x\"\n[Software\\\\Fim] 2\n\"Cortada\"=\"fim \\";

    const RegistryHive hive = RegistryHive::Parse(text);
    EXPECT_FALSE(hive.KeyExists("Software\\Quebrada"));
    EXPECT_FALSE(hive.ReadValue("Software\\Boa", "SemIgual"));
    EXPECT_FALSE(hive.ReadValue("Software\\Boa", "Desconhecido"));
    EXPECT_EQ(Text(hive.ReadValue("Software\\Boa", "Aberta")), "sem fim");
    EXPECT_EQ(Text(hive.ReadValue("Software\\Boa", "Escape")), "xqxu");
    EXPECT_EQ(Text(hive.ReadValue("Software\\Fim", "Cortada")), "fim");
    // A header that never closes hides the values under it until the next good header.
    EXPECT_FALSE(hive.ReadValue("Software\\Boa", "Perdido2"));
    // A lone 0xC3 is not UTF-8, so it stays the Windows-1252 character it is.
    EXPECT_EQ(Text(hive.ReadValue("Software\\Boa", "Binario")), std::string("a\0\x01\xC3" "b", 5));
    EXPECT_EQ(Text(hive.ReadValue("Software\\Boa", "Hex")), "\x01");
    EXPECT_EQ(Text(hive.ReadValue("Software\\Boa", "Grande")).size(), 4u * 1024 * 1024);
}

class WineRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"WINEPREFIX", "HOME"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(WineRegistryTest, FindsThePrefixFromTheEnvironment) {
    ::setenv("WINEPREFIX", "/srv/prefixo/", 1);
    EXPECT_EQ(WineRegistry::DefaultSystemRegPath(), "/srv/prefixo/system.reg");
    ::unsetenv("WINEPREFIX");
    ::setenv("HOME", "/home/usuario", 1);
    EXPECT_EQ(WineRegistry::DefaultSystemRegPath(), "/home/usuario/.wine/system.reg");
    ::setenv("WINEPREFIX", "", 1);
    EXPECT_EQ(WineRegistry::DefaultSystemRegPath(), "/home/usuario/.wine/system.reg");
}

TEST_F(WineRegistryTest, ReadsTheFileAgainWhenItChanges) {
    TempDir prefix;
    ::setenv("WINEPREFIX", prefix.Path().c_str(), 1);
    const WineRegistry registry;
    EXPECT_EQ(registry.Path(), prefix / "system.reg");

    // No prefix file yet: nothing is installed.
    EXPECT_FALSE(registry.ReadValue("Software\\Orva\\IRPF", "Versao"));

    prefix.Write("system.reg", "[Software\\\\Orva\\\\IRPF] 1\n\"Versao\"=\"2.0\"\n");
    EXPECT_EQ(Text(registry.ReadValue("Software\\Orva\\IRPF", "Versao")), "2.0");

    // An installer has written the new version.
    prefix.Write("system.reg", "[Software\\\\Orva\\\\IRPF] 2\n\"Versao\"=\"2.10\"\n");
    EXPECT_EQ(Text(registry.ReadValue("Software\\Orva\\IRPF", "Versao")), "2.10");

    std::remove((prefix / "system.reg").c_str());
    EXPECT_FALSE(registry.ReadValue("Software\\Orva\\IRPF", "Versao"));
}
