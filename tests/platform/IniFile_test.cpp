#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include "TempDir.h"

using platform::IniFile;

TEST(IniFile, ReadsSectionsAndKeysWithoutRegardToCaseAndBlanks) {
    const IniFile ini = IniFile::Parse(
        "[Formulario 1]\r\n"
        "nome = IRPF 2024 \r\n"
        "\tVersao=2.1|7\r\n"
        "chave=SOFTWARE\\Orva\\IRPF\\Versao|x=y\r\n"
        "\r\n"
        "  [ formulario 2 ]  \r\n"
        "NOME=ITR\r\n");

    EXPECT_TRUE(ini.SectionExists("FORMULARIO 1"));
    EXPECT_EQ(ini.ReadString("formulario 1", "NOME"), "IRPF 2024");
    EXPECT_EQ(ini.ReadString("Formulario 1", "versao"), "2.1|7");
    // Only the first "=" splits: the rest belongs to the value.
    EXPECT_EQ(ini.ReadString("Formulario 1", "chave"), "SOFTWARE\\Orva\\IRPF\\Versao|x=y");
    EXPECT_EQ(ini.ReadString("Formulario 2", "nome"), "ITR");
    EXPECT_EQ(ini.ReadString("Formulario 2", "descricao"), "");
    EXPECT_EQ(ini.ReadString("Formulario 2", "descricao", "padrao"), "padrao");
    EXPECT_EQ(ini.ReadString("Formulario 3", "nome", "x"), "x");
    EXPECT_EQ(ini.ReadSection("formulario 1"), (std::vector<std::string>{"nome", "Versao", "chave"}));
}

TEST(IniFile, FoldsTheAccentedLettersOfWindows1252) {
    // "[Configuração]" in Windows-1252, looked up in capitals.
    const IniFile ini = IniFile::Parse("[Configura\xE7\xE3o]\nChave=1\n");
    EXPECT_EQ(ini.ReadString("CONFIGURA\xC7\xC3O", "chave"), "1");
}

TEST(IniFile, SectionCountsOnlyWithAKey) {
    const IniFile ini = IniFile::Parse(
        "[vazia]\n"
        "; nome=comentario\n"
        "linha sem igual\n"
        "=sem nome\n"
        "[cheia]\n"
        "k=\n");
    EXPECT_FALSE(ini.SectionExists("vazia"));
    EXPECT_TRUE(ini.ReadSection("vazia").empty());
    EXPECT_FALSE(ini.SectionExists("inexistente"));
    // An empty value is still a key.
    EXPECT_TRUE(ini.SectionExists("cheia"));
    EXPECT_EQ(ini.ReadString("cheia", "k", "padrao"), "");
}

TEST(IniFile, FirstOfDuplicatesWins) {
    const IniFile ini = IniFile::Parse(
        "solta=antes do primeiro cabecalho\n"
        "[a]\n"
        "k=1\n"
        "K=2\n"
        "[b]\n"
        "k=b\n"
        "[A]\n"
        "k=3\n"
        "novo=4\n"
        "[vazia]\n"
        "[VAZIA]\n"
        "k=5\n");
    EXPECT_EQ(ini.ReadString("a", "k"), "1");
    // The later [A] is ignored whole, its new keys included.
    EXPECT_EQ(ini.ReadString("a", "novo", "nada"), "nada");
    EXPECT_EQ(ini.ReadString("b", "k"), "b");
    EXPECT_EQ(ini.ReadString("", "solta", "nada"), "nada");
    // The first [vazia] has no key, so the section is absent even though a duplicate has one.
    EXPECT_FALSE(ini.SectionExists("vazia"));
}

TEST(IniFile, ValuesAreCutAt2047Bytes) {
    const std::string longValue(IniFile::kMaxValueLength + 10, 'v');
    const IniFile ini = IniFile::Parse("[s]\nk=" + longValue + "\nexato=" +
                                       std::string(IniFile::kMaxValueLength, 'e') + "\n");
    EXPECT_EQ(ini.ReadString("s", "k"), std::string(IniFile::kMaxValueLength, 'v'));
    EXPECT_EQ(ini.ReadString("s", "exato").size(), IniFile::kMaxValueLength);
}

TEST(IniFile, MalformedTextYieldsWhatItCan) {
    std::string text = "[sem fim\nk=aberta\n[s] resto ignorado\nbin=a";
    text += std::string("\0\x01\xFF", 3);
    text += "b\n";
    text += std::string(3 * 1024 * 1024, 'x');  // a megabyte line without "="
    text += "\n[";                               // a header cut off by the end of the file
    text += "\n[depois]\nk=";
    text += std::string(2 * 1024 * 1024, 'y');  // a megabyte value, last line without LF
    const IniFile ini = IniFile::Parse(text);

    // A header without "]" still opens its section.
    EXPECT_EQ(ini.ReadString("sem fim", "k"), "aberta");
    EXPECT_EQ(ini.ReadString("s", "bin"), std::string("a\0\x01\xFF" "b", 5));
    EXPECT_EQ(ini.ReadString("depois", "k"), std::string(IniFile::kMaxValueLength, 'y'));
    EXPECT_EQ(ini.ReadSection("s").size(), 1u);
}

TEST(IniFile, LoadsFilesAndReadsAMissingOneAsEmpty) {
    TempDir dir;
    dir.Write("formularios.cfg", "[Formulario 1]\r\nnome=A\r\n");
    EXPECT_EQ(IniFile::Load(dir / "formularios.cfg").ReadString("Formulario 1", "nome"), "A");
    EXPECT_FALSE(IniFile::Load(dir / "ausente.cfg").SectionExists("Formulario 1"));
    // A folder where the file should be reads like a missing file.
    EXPECT_FALSE(IniFile::Load(dir.Path()).SectionExists("Formulario 1"));
}
