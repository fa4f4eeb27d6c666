#include "catalogue/InstallRules.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "catalogue/TextHelpers.h"

using namespace catalogue;
using platform::RegistryHive;

namespace {

// A rule file as the server keeps it: a preamble, then records.
const char kRegraForm1[] =
    "; Regras de instalacao do formulario IRPF\r\n"
    "[Regra]\r\n"
    "Tipo=R\r\n"
    "Regkey=SOFTWARE\\Orva\\Runtime\\Versao\r\n"
    "x\r\n"
    "Valor=5.0\r\n"
    "Arquivo=runtime5.exe\r\n"
    "fim\r\n"
    "[Regra]\r\n"
    "Tipo=R\r\n"
    "Regkey=SOFTWARE\\Orva\\Fonte\\Versao\r\n"
    "x\r\n"
    "Valor=1.0\r\n"
    "Arquivo=fontes.exe\r\n"
    "fim\r\n";

const RegistryHive& Hive() {
    static const RegistryHive hive = RegistryHive::Parse(
        "[Software\\\\Orva\\\\Runtime] 1\n\"Versao\"=\"4.0\"\n"
        "[Software\\\\Orva\\\\Fonte] 1\n\"Versao\"=\"1.0\"\n"
        "[Software\\\\Orva\\\\Numero] 1\n\"Versao\"=dword:00000001\n");
    return hive;
}

// What a fetch over FTP would leave: the server's file in the download folder.
struct FakeServer {
    explicit FakeServer(const TempDir& pasta) : Pasta(pasta) {}

    BaixaArquivo Baixa() {
        return [this](const ArquivoABaixar& a) {
            Pedidos.push_back(a.HostDirName + "|" + a.HostFileName + "|" + a.LocalFileName);
            const auto it = Arquivos.find(a.HostDirName + a.HostFileName);
            if (it != Arquivos.end())
                Pasta.Write(a.HostFileName, it->second);
        };
    }

    const TempDir& Pasta;
    std::map<std::string, std::string> Arquivos;  // remote path -> contents
    std::vector<std::string> Pedidos;
};

}  // namespace

TEST(SeparaCaminhoRegra, SplitsAtTheLastSlash) {
    auto c = SeparaCaminhoRegra("regras/form1.txt");
    EXPECT_EQ(c.Diretorio, "regras/");
    EXPECT_EQ(c.Nome, "form1.txt");
    c = SeparaCaminhoRegra("form1.txt");
    EXPECT_EQ(c.Diretorio, "");
    EXPECT_EQ(c.Nome, "form1.txt");
    c = SeparaCaminhoRegra("/a/b/c.txt");
    EXPECT_EQ(c.Diretorio, "/a/b/");
    EXPECT_EQ(c.Nome, "c.txt");
    // The name also names the directory: the directory stays whole.
    c = SeparaCaminhoRegra("regras/regras");
    EXPECT_EQ(c.Diretorio, "regras/");
    EXPECT_EQ(c.Nome, "regras");
    c = SeparaCaminhoRegra("r.txt/sub/r.txt");
    EXPECT_EQ(c.Diretorio, "r.txt/sub/");
    EXPECT_EQ(c.Nome, "r.txt");
}

TEST(LinhasColetadas, DropsThePreambleAndRenumbersHeaders) {
    EXPECT_EQ(LinhasColetadas(kRegraForm1, 2),
              (std::vector<std::string>{"[Regra 2]", "Tipo=R", "Regkey=SOFTWARE\\Orva\\Runtime\\Versao", "x",
                                        "Valor=5.0", "Arquivo=runtime5.exe", "fim", "[Regra 2]",
                                        "Tipo=R", "Regkey=SOFTWARE\\Orva\\Fonte\\Versao", "x",
                                        "Valor=1.0", "Arquivo=fontes.exe", "fim", "\r"}));
    // Only "Regra" in exactly this case is renumbered; the others are copied as they stand.
    EXPECT_EQ(LinhasColetadas("Regra\n[regra]\nMinhaRegra=1\nREGRA\n", 1),
              (std::vector<std::string>{"[regra]", "[Regra 1]", "REGRA", "\r"}));
    EXPECT_EQ(LinhasColetadas("nada aqui\nnem aqui\n", 1), (std::vector<std::string>{"\r"}));
    EXPECT_EQ(LinhasColetadas("", 1), (std::vector<std::string>{"\r"}));
}

TEST(GravaRegrasIni, FetchesTheRuleFileAndAppendsItsRecords) {
    TempDir pasta;
    FakeServer servidor(pasta);
    servidor.Arquivos["/pub/mirelo/regras/form1.txt"] = kRegraForm1;
    servidor.Arquivos["/pub/mireloextra.txt"] = "[Regra]\r\nTipo=X\r\n";

    TextFileWriter colecao = AbreArquivoRegras(pasta.Path());
    GravaRegrasIni("regras/form1.txt", 1, "/pub/mirelo/", pasta.Path(), colecao, servidor.Baixa());
    GravaRegrasIni("", 2, "/pub/mirelo/", pasta.Path(), colecao, servidor.Baixa());
    GravaRegrasIni("extra.txt", 3, "/pub/mirelo", pasta.Path(), colecao, servidor.Baixa());
    colecao.Close();

    EXPECT_EQ(servidor.Pedidos,
              (std::vector<std::string>{
                  "/pub/mirelo/regras/|form1.txt|" + pasta / "form1.txt",
                  "/pub/mirelo|extra.txt|" + pasta / "extra.txt"}));
    EXPECT_EQ(pasta.Read("TempRegras.Ini"),
              "[Regra 1]\r\nTipo=R\r\nRegkey=SOFTWARE\\Orva\\Runtime\\Versao\r\nx\r\nValor=5.0\r\n"
              "Arquivo=runtime5.exe\r\nfim\r\n[Regra 1]\r\nTipo=R\r\n"
              "Regkey=SOFTWARE\\Orva\\Fonte\\Versao\r\nx\r\nValor=1.0\r\nArquivo=fontes.exe\r\n"
              "fim\r\n\r\r\n"
              "Tipo=X\r\n\r\r\n");
    // The rule files stay in the download folder.
    EXPECT_EQ(pasta.Read("form1.txt"), kRegraForm1);
}

TEST(GravaRegrasIni, RefusesUnsafeNamesAndReportsAMissingCopy) {
    TempDir pasta;
    FakeServer servidor(pasta);
    TextFileWriter colecao = AbreArquivoRegras(pasta.Path());
    for (const char* caminho : {"regras/", "regras/..", "a\\..\\b"}) {
        EXPECT_THROW(GravaRegrasIni(caminho, 1, "/pub/mirelo/", pasta.Path(), colecao,
                                    servidor.Baixa()),
                     EInOutError)
            << caminho;
    }
    EXPECT_TRUE(servidor.Pedidos.empty());

    // The server had no such file, so the fetch left nothing to read.
    try {
        GravaRegrasIni("regras/sumiu.txt", 1, "/pub/mirelo/", pasta.Path(), colecao,
                       servidor.Baixa());
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("sumiu.txt"), std::string::npos) << e.what();
    }
    EXPECT_EQ(servidor.Pedidos.size(), 1u);
    colecao.Close();
    EXPECT_EQ(pasta.Read("TempRegras.Ini"), "");
}

TEST(AvaliaRegras, AppliesRegistryRulesWhoseValueDiffers) {
    const std::string colecao =
        "linha solta\r\n"
        "[Regra 1]\r\n"  // runtime 4.0 installed, 5.0 expected: applies
        "Tipo=R\r\n"
        "Regkey=SOFTWARE\\Orva\\Runtime\\Versao\r\n"
        "x\r\n"
        "Valor=5.0\r\n"
        "Arquivo=runtime5.exe\r\n"
        "fim\r\n"
        "[Regra 1]\r\n"  // fonts 1.0 as expected: does not apply
        "Tipo=R\r\n"
        "Regkey=SOFTWARE\\Orva\\Fonte\\Versao\r\n"
        "x\r\n"
        "Valor=1.0\r\n"
        "Arquivo=fontes.exe\r\n"
        "fim\r\n"
        "\r\r\n"
        "[REGRA] // comentada\r\n"
        "[regra 2]\r\n"  // lower-case type letter: never applies
        "Tipo=r\r\n"
        "Regkey=SOFTWARE\\Orva\\Ausente\\Versao\r\n"
        "x\r\nValor=1\r\nArquivo=nunca.exe\r\nfim\r\n"
        "[Regra 3]\r\n"  // type line too short
        "Tip\r\n"
        "Regkey=SOFTWARE\\Orva\\Ausente\\Versao\r\n"
        "x\r\nValor=1\r\nArquivo=nunca2.exe\r\nfim\r\n"
        "[Regra 4]\r\n"  // missing key, expected value: applies
        "Tipo=R\r\n"
        "Regkey=SOFTWARE\\Orva\\Ausente\\Versao\r\n"
        "x\r\nValor=a=2.0\r\nArquivo=pasta=ausente.dll\r\nfim\r\n"
        "[Regra 5]\r\n"  // the same support file again: listed twice
        "Tipo=R\r\n"
        "Regkey=SOFTWARE\\Orva\\Runtime\\Versao\r\n"
        "x\r\nValor=5.0\r\nArquivo=runtime5.exe\r\nfim\r\n"
        "[Regra 6]\r\n"  // missing key, nothing expected: equal, does not apply
        "Tipo=R\r\n"
        "Regkey=SOFTWARE\\Orva\\Ausente\\Versao\r\n"
        "x\r\nValor=\r\nArquivo=vazio.exe\r\nfim\r\n"
        "[Regra 7]\r\n"  // cut off by the end of the file: the missing lines are empty
        "Tipo=R\r\n"
        "Regkey=SOFTWARE\\Orva\\Runtime\\Versao\r\n"
        "x\r\n"
        "Valor=9\r\n";
    std::vector<std::string> aplicadas;
    const std::vector<std::string> suportes =
        AvaliaRegras(colecao, Hive(), [&](const std::string& s) { aplicadas.push_back(s); });
    const std::vector<std::string> esperados{"runtime5.exe", "ausente.dll", "runtime5.exe", ""};
    EXPECT_EQ(suportes, esperados);
    EXPECT_EQ(aplicadas, esperados);
}

TEST(AvaliaRegras, TheSixLinesAfterAHeaderAreTakenWhateverTheyHold) {
    // A rule file without a preamble loses its first header; its body lines are skipped unless
    // one of them looks like a header itself, which then swallows the next six lines.
    const std::vector<std::string> suportes = AvaliaRegras(
        "Tipo=R\r\nRegkey=SOFTWARE\\Orva\\Runtime\\Versao\r\nx\r\nValor=5.0\r\n"
        "Arquivo=regra.exe\r\nfim\r\n\r\r\n",
        Hive(), nullptr);
    EXPECT_EQ(suportes, (std::vector<std::string>{}));

    const std::vector<std::string> engolidas = AvaliaRegras(
        "[Regra 1]\r\n[Regra 1]\r\nTipo=R\r\nRegkey=SOFTWARE\\Orva\\Runtime\\Versao\r\n"
        "x\r\nValor=5.0\r\nArquivo=a.exe\r\n",
        Hive(), nullptr);
    // Record 1's type line is the second header, whose 6th character is "a": inert; the rest
    // of the lines were its body.
    EXPECT_TRUE(engolidas.empty());
}

TEST(LeRegrasIni, WritesRegrasIniBeforeEachFetch) {
    TempDir pasta;
    FakeServer servidor(pasta);
    servidor.Arquivos["/pub/mirelo/regras/form1.txt"] = kRegraForm1;
    TextFileWriter colecao = AbreArquivoRegras(pasta.Path());
    GravaRegrasIni("regras/form1.txt", 1, "/pub/mirelo/", pasta.Path(), colecao, servidor.Baixa());

    std::vector<std::string> vistoAoBaixar;
    const std::vector<std::string> suportes =
        LeRegrasIni(colecao, pasta.Path(), Hive(), [&](const std::string& suporte) {
            vistoAoBaixar.push_back(suporte + ":" + pasta.Read("Regras.Ini"));
        });
    EXPECT_FALSE(colecao.IsOpen());
    EXPECT_EQ(suportes, (std::vector<std::string>{"runtime5.exe"}));
    EXPECT_EQ(vistoAoBaixar, (std::vector<std::string>{"runtime5.exe:runtime5.exe\r\n"}));
    EXPECT_EQ(pasta.Read("Regras.Ini"), "runtime5.exe\r\n");
    // The collection stays in the folder.
    EXPECT_NE(pasta.Read("TempRegras.Ini").find("[Regra 1]"), std::string::npos);
}

TEST(LeRegrasIni, AnEmptyRunReplacesRegrasIniWithAnEmptyFile) {
    TempDir pasta;
    pasta.Write("Regras.Ini", "antigo.exe\r\n");
    TextFileWriter colecao = AbreArquivoRegras(pasta.Path());
    bool chamado = false;
    EXPECT_TRUE(LeRegrasIni(colecao, pasta.Path(), Hive(), [&](const std::string&) {
                    chamado = true;
                }).empty());
    EXPECT_FALSE(chamado);
    EXPECT_EQ(pasta.Read("Regras.Ini"), "");
}

TEST(LeRegrasIni, ANumericRegistryValueComparesAsItsDecimalText) {
    TempDir pasta;
    TextFileWriter colecao = AbreArquivoRegras(pasta.Path());
    colecao.WriteLine("[Regra 1]");
    colecao.WriteLine("Tipo=R");
    colecao.WriteLine("Regkey=SOFTWARE\\Orva\\Runtime\\Versao");
    for (const char* linha : {"x", "Valor=5.0", "Arquivo=primeiro.exe", "fim", "[Regra 1]",
                              "Tipo=R", "Regkey=SOFTWARE\\Orva\\Numero\\Versao", "x", "Valor=1",
                              "Arquivo=nunca.exe", "fim", "[Regra 1]", "Tipo=R",
                              "Regkey=SOFTWARE\\Orva\\Numero\\Versao", "x", "Valor=2",
                              "Arquivo=segundo.exe", "fim"})
        colecao.WriteLine(linha);
    std::vector<std::string> baixados;
    LeRegrasIni(colecao, pasta.Path(), Hive(),
                [&](const std::string& s) { baixados.push_back(s); });
    EXPECT_EQ(baixados, (std::vector<std::string>{"primeiro.exe", "segundo.exe"}));
    EXPECT_EQ(pasta.Read("Regras.Ini"), "primeiro.exe\r\nsegundo.exe\r\n");
}

TEST(AvaliaRegras, MalformedRuleTextYieldsWhatItCan) {
    std::string regra = "Regras\n";
    regra += std::string(2 * 1024 * 1024, 'z');  // a megabyte line
    regra += "\n[Regra]\nTipo=R\n";
    static const char kComNulo[] = "Regkey=SOFTWARE\\Orva\\Ausente\\Versao\0lixo\n";
    regra += std::string(kComNulo, sizeof kComNulo - 1);
    regra += "sem igual\nnem aqui\nsuporte.dll\n";
    regra += "[Regra]";  // a header as the last bytes of the file
    const std::vector<std::string> coletadas = LinhasColetadas(regra, 1);
    ASSERT_EQ(coletadas.size(), 9u);
    EXPECT_EQ(coletadas[0].size(), 2u * 1024 * 1024);

    std::string colecao;
    for (const std::string& linha : coletadas)
        colecao += linha + "\r\n";
    // A NUL is just a byte of the value name, which no key holds, so the rule applies; lines
    // without "=" give their whole text; the last header has only empty lines and stays inert.
    EXPECT_EQ(AvaliaRegras(colecao, Hive(), nullptr), (std::vector<std::string>{"suporte.dll"}));
}
