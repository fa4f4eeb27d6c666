#include "catalogue/ComponentCatalogue.h"

#include <gtest/gtest.h>

#include "catalogue/TextHelpers.h"

using namespace catalogue;
using platform::IniFile;

TEST(LeDownloadCfg, ReadsEveryFieldAndMarksEveryComponent) {
    const IniFile cfg = IniFile::Parse(
        "[componente 1]\r\n"
        "nome=Programa\r\n"
        "descricao=O programa principal|0\r\n"
        "disponibilizacao=15/03/2024 10:00:00\r\n"
        "versao=2.1|7\r\n"
        "chave=SOFTWARE\\Orva\\IRPF\\Versao\r\n"
        "instalacao=setup.exe|3|/irpf/programa\r\n"
        "regra=regras/r1.txt|regras/r2.txt\r\n"
        "tamanho=2097152\r\n"
        "[COMPONENTE 2]\r\n"
        "nome=Ajuda\r\n"
        "descricao=Manual\r\n"
        "[componente 3]\r\n"
        "nome=Extra\r\n"
        "descricao=Opcional|1\r\n");
    TabelaComponentes componentes;
    const std::vector<int> imagens = LeDownloadCfg(cfg, componentes);
    EXPECT_EQ(imagens, (std::vector<int>{kImagemFixo, kImagemMarcado, kImagemMarcado}));
    ASSERT_EQ(componentes.Count(), 3u);

    const TEstruturaComp& c = *componentes.Slot(1);
    EXPECT_EQ(c.Nome, "Programa");
    EXPECT_EQ(c.Descricao, "O programa principal");
    EXPECT_EQ(c.Disponibilizacao, "15/03/2024 10:00:00");
    EXPECT_EQ(c.Versao, "2.1");
    EXPECT_EQ(c.Build, "7");
    EXPECT_EQ(c.Chave, "SOFTWARE\\Orva\\IRPF\\Versao");
    EXPECT_EQ(c.Arquivo, "setup.exe");
    EXPECT_EQ(c.Discos, "3");
    EXPECT_EQ(c.DiretorioRemoto, "/irpf/programa");
    EXPECT_EQ(c.Regra, "regras/r1.txt|regras/r2.txt");
    EXPECT_EQ(c.Tamanho, "2097152");
    EXPECT_EQ(c.Marcado, "1");

    const TEstruturaComp& ajuda = *componentes.Slot(2);
    EXPECT_EQ(ajuda.Arquivo, "");
    EXPECT_EQ(ajuda.Tamanho, "");
    EXPECT_EQ(ajuda.Marcado, "1");
}

TEST(LeDownloadCfg, ANewReadingReplacesTheWholeTableAndStopsAtAGap) {
    std::string longo;
    for (int k = 1; k <= 14; ++k)
        longo += "[componente " + std::to_string(k) + "]\nnome=C" + std::to_string(k) + "\n";
    TabelaComponentes componentes;
    // More components than the ten of the old fixed table: all of them are kept.
    EXPECT_EQ(LeDownloadCfg(IniFile::Parse(longo), componentes).size(), 14u);
    EXPECT_EQ(componentes.Count(), 14u);
    EXPECT_EQ(componentes.Slot(14)->Nome, "C14");
    componentes.Slot(2)->Marcado = "0";

    EXPECT_EQ(LeDownloadCfg(IniFile::Parse("[componente 1]\nnome=B1\n[componente 2]\nnome=B2\n"
                                           "[componente 4]\nnome=B4\n"),
                            componentes)
                  .size(),
              2u);
    EXPECT_EQ(componentes.Count(), 2u);
    EXPECT_EQ(componentes.Slot(1)->Nome, "B1");
    EXPECT_EQ(componentes.Slot(2)->Marcado, "1");
    EXPECT_EQ(componentes.Slot(3), nullptr);
    EXPECT_EQ(componentes.Slot(4), nullptr);
}

TEST(ImagemDoComponente, OnlyAnExactZeroFixesTheComponent) {
    EXPECT_EQ(ImagemDoComponente("texto|0"), kImagemFixo);
    EXPECT_EQ(ImagemDoComponente("texto|0|mais"), kImagemFixo);
    EXPECT_EQ(ImagemDoComponente("texto"), kImagemMarcado);
    EXPECT_EQ(ImagemDoComponente("texto|"), kImagemMarcado);
    EXPECT_EQ(ImagemDoComponente("texto|1"), kImagemMarcado);
    EXPECT_EQ(ImagemDoComponente("texto|00"), kImagemMarcado);
    EXPECT_EQ(ImagemDoComponente("texto| 0"), kImagemMarcado);
}

TEST(TamanhoEmKb, OneDecimalWithTheLocalesSeparators) {
    EXPECT_EQ(TamanhoEmKb("1536", ".", ","), "1.5");
    EXPECT_EQ(TamanhoEmKb("1536", ",", "."), "1,5");
    EXPECT_EQ(TamanhoEmKb("2097152", ".", ","), "2,048.0");
    EXPECT_EQ(TamanhoEmKb("2097152", ",", "."), "2.048,0");
    EXPECT_EQ(TamanhoEmKb("0", ",", "."), "0,0");
    EXPECT_EQ(TamanhoEmKb("1023", ".", ","), "1.0");
    // 0.25 kb: halves round away from zero.
    EXPECT_EQ(TamanhoEmKb("256", ".", ","), "0.3");
    EXPECT_EQ(TamanhoEmKb("255", ".", ","), "0.2");
    EXPECT_EQ(TamanhoEmKb("-1536", ".", ","), "-1.5");
    EXPECT_EQ(TamanhoEmKb("1073741824", ",", "\xA0"), "1\xA0" "048\xA0" "576,0");
    // Beyond 32 bits and up to the largest 64-bit size, without overflow.
    EXPECT_EQ(TamanhoEmKb("5368709120", ".", ""), "5242880.0");
    EXPECT_EQ(TamanhoEmKb("9223372036854775807", ".", ","), "9,007,199,254,740,992.0");
    try {
        TamanhoEmKb("", ".", ",");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    EXPECT_THROW(TamanhoEmKb("1,5", ".", ","), EConvertError);
}

TEST(LinhaInstalacao, NamesFileSizeAndDisks) {
    TEstruturaComp c;
    c.Arquivo = "setup.exe";
    c.Tamanho = "1536";
    c.Discos = "1";
    EXPECT_EQ(LinhaInstalacao(c, ",", "."), "setup.exe - 1,5kb - 1 disco");
    for (const char* discos : {"2", "0", "01", ""}) {
        c.Discos = discos;
        EXPECT_EQ(LinhaInstalacao(c, ".", ","),
                  "setup.exe - 1.5kb - " + std::string(discos) + " discos");
    }
    c.Tamanho = "muito";
    EXPECT_THROW(LinhaInstalacao(c, ".", ","), EConvertError);
}
