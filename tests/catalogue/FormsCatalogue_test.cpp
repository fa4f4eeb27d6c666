#include "catalogue/FormsCatalogue.h"

#include <gtest/gtest.h>

using namespace catalogue;
using platform::IniFile;

TEST(LeFormulariosCfg, ReadsNumberedSectionsUntilTheFirstGap) {
    const IniFile cfg = IniFile::Parse(
        "[Formulario 1]\r\n"
        "nome=IRPF 2024\r\n"
        "descricao=Declara\xE7\xE3o anual\r\n"
        "versao=2.1|7\r\n"
        "chave=SOFTWARE\\Orva\\IRPF\\Versao|outro\r\n"
        "instalacoes=Completa|/irpf/completa|Atualiza\xE7\xE3o|/irpf/atu\r\n"
        "[Formulario 2]\r\n"
        "nome=ITR\r\n"
        "versao=1.0\r\n"
        "[Formulario 4]\r\n"
        "nome=nunca lido\r\n");
    TabelaFormularios formularios;
    ASSERT_EQ(LeFormulariosCfg(cfg, formularios), 2u);
    EXPECT_EQ(formularios.Count(), 2u);

    const TEstruturaForm* irpf = formularios.Slot(1);
    ASSERT_NE(irpf, nullptr);
    EXPECT_EQ(irpf->Nome, "IRPF 2024");
    EXPECT_EQ(irpf->Descricao, "Declara\xE7\xE3o anual");
    EXPECT_EQ(irpf->Versao, "2.1");
    EXPECT_EQ(irpf->Build, "7");
    EXPECT_EQ(irpf->Chave, "SOFTWARE\\Orva\\IRPF\\Versao|outro");
    EXPECT_EQ(irpf->Instalacoes, "Completa|/irpf/completa|Atualiza\xE7\xE3o|/irpf/atu");

    const TEstruturaForm* itr = formularios.Slot(2);
    ASSERT_NE(itr, nullptr);
    EXPECT_EQ(itr->Versao, "1.0");
    EXPECT_EQ(itr->Build, "");  // no "|": the label reads "1.0/"
    EXPECT_EQ(itr->Descricao, "");
    EXPECT_EQ(formularios.Slot(3), nullptr);
    EXPECT_EQ(formularios.Slot(4), nullptr);
}

TEST(LeFormulariosCfg, ASectionWithoutKeysEndsTheListLikeAMissingOne) {
    const IniFile cfg = IniFile::Parse(
        "[Formulario 1]\nnome=A\n[Formulario 2]\nnome=B\n[Formulario 3]\n; vazio\n"
        "[Formulario 4]\nnome=D\n");
    TabelaFormularios formularios;
    EXPECT_EQ(LeFormulariosCfg(cfg, formularios), 2u);
    EXPECT_EQ(LeFormulariosCfg(IniFile(), formularios), 0u);
    EXPECT_EQ(formularios.Slot(1), nullptr);
}

TEST(LeFormulariosCfg, HoldsAnyNumberOfFormsAndDropsOnesFromALongerEarlierReading) {
    std::string text;
    for (int k = 1; k <= 25; ++k)
        text += "[Formulario " + std::to_string(k) + "]\nnome=F" + std::to_string(k) + "\n";
    TabelaFormularios formularios;
    ASSERT_EQ(LeFormulariosCfg(IniFile::Parse(text), formularios), 25u);
    for (std::size_t k = 1; k <= 25; ++k) {
        ASSERT_NE(formularios.Slot(k), nullptr) << k;
        EXPECT_EQ(formularios.Slot(k)->Nome, "F" + std::to_string(k));
    }

    ASSERT_EQ(LeFormulariosCfg(IniFile::Parse("[Formulario 1]\nnome=Novo\n"), formularios), 1u);
    EXPECT_EQ(formularios.Slot(1)->Nome, "Novo");
    EXPECT_EQ(formularios.Slot(2), nullptr);
    EXPECT_EQ(formularios.Count(), 1u);
}

TEST(InstalacoesDe, PairsNamesWithDirectoriesUpToTheFirstEmptyName) {
    TEstruturaForm form;
    form.Instalacoes = "Completa|/irpf/c|Parcial|/irpf/p";
    auto instalacoes = InstalacoesDe(form);
    ASSERT_EQ(instalacoes.size(), 2u);
    EXPECT_EQ(instalacoes[0].Nome, "Completa");
    EXPECT_EQ(instalacoes[0].Diretorio, "/irpf/c");
    EXPECT_EQ(instalacoes[1].Nome, "Parcial");
    EXPECT_EQ(instalacoes[1].Diretorio, "/irpf/p");

    form.Instalacoes = "Completa||Parcial|/p";
    instalacoes = InstalacoesDe(form);
    ASSERT_EQ(instalacoes.size(), 2u);
    EXPECT_EQ(instalacoes[0].Diretorio, "");

    form.Instalacoes = "Completa|/c||/x|Perdida|/y";
    EXPECT_EQ(InstalacoesDe(form).size(), 1u);
    form.Instalacoes = "|Completa|/c";
    EXPECT_TRUE(InstalacoesDe(form).empty());
    form.Instalacoes = "";
    EXPECT_TRUE(InstalacoesDe(form).empty());
}

TEST(DiretorioDoDownloadCfg, JoinsTheSiteAndTheInstallationDirectoryAsTheyStand) {
    TEstruturaForm form;
    form.Instalacoes = "Completa|/irpf/c|Parcial|irpf/p";
    EXPECT_EQ(DiretorioDoDownloadCfg("/pub/mirelo", form, 0), "/pub/mirelo/irpf/c");
    EXPECT_EQ(DiretorioDoDownloadCfg("/pub/mirelo", form, 1), "/pub/mireloirpf/p");
    EXPECT_EQ(DiretorioDoDownloadCfg("/espelho/", form, 1), "/espelho/irpf/p");
    EXPECT_EQ(DiretorioDoDownloadCfg("/pub/mirelo", form, 2), "/pub/mirelo");
}

TEST(Caminho, GivesThePositionOfTheAncestorAtTheDepth) {
    const int topo[] = {0};
    const int formulario[] = {0, 3};
    const int instalacao[] = {0, 3, 1};
    const int componente[] = {0, 3, 1, 7};
    EXPECT_EQ(Caminho(topo, 2), 0);
    EXPECT_EQ(Caminho(formulario, 2), 3);
    EXPECT_EQ(Caminho(instalacao, 2), 3);
    EXPECT_EQ(Caminho(componente, 2), 3);
    EXPECT_EQ(Caminho(componente, 3), 1);
    EXPECT_EQ(Caminho(componente, 4), 7);
    EXPECT_EQ(Caminho(componente, 9), 7);
    EXPECT_EQ(Caminho(componente, 0), 0);
    EXPECT_EQ(Caminho(std::span<const int>(), 2), -1);
}
