#include "catalogue/TextHelpers.h"

#include <gtest/gtest.h>

using namespace catalogue;

TEST(CampoSeparado, SplitsWithoutTrimmingOrMerging) {
    EXPECT_EQ(CampoSeparado("a|b|c", '|', 1), "a");
    EXPECT_EQ(CampoSeparado("a|b|c", '|', 2), "b");
    EXPECT_EQ(CampoSeparado("a|b|c", '|', 3), "c");
    EXPECT_EQ(CampoSeparado("a|b|c", '|', 4), "");
    EXPECT_EQ(CampoSeparado("a||c", '|', 2), "");
    EXPECT_EQ(CampoSeparado("a||c", '|', 3), "c");
    EXPECT_EQ(CampoSeparado("|a", '|', 1), "");
    EXPECT_EQ(CampoSeparado("a|", '|', 2), "");
    EXPECT_EQ(CampoSeparado("a|", '|', 3), "");
    EXPECT_EQ(CampoSeparado(" a | b ", '|', 2), " b ");
    EXPECT_EQ(CampoSeparado("sozinho", '|', 1), "sozinho");
    EXPECT_EQ(CampoSeparado("sozinho", '|', 2), "");
    EXPECT_EQ(CampoSeparado("", '|', 1), "");
    EXPECT_EQ(CampoSeparado("a|b", '|', 0), "");
    EXPECT_EQ(CampoSeparado("a|b", '|', -3), "");
}

TEST(TextoDepoisDe, TakesTheTextAfterTheLastSeparator) {
    EXPECT_EQ(TextoDepoisDe("SOFTWARE\\A\\B\\Versao", '\\'), "Versao");
    EXPECT_EQ(TextoDepoisDe("regras/form1.txt", '/'), "form1.txt");
    EXPECT_EQ(TextoDepoisDe("Arquivo=a=b.dll", '='), "b.dll");
    EXPECT_EQ(TextoDepoisDe("sem separador", '='), "sem separador");
    EXPECT_EQ(TextoDepoisDe("termina=", '='), "");
    EXPECT_EQ(TextoDepoisDe("", '='), "");
}

TEST(CompletaEsquerda, PadsToTheWidthAndNeverCuts) {
    EXPECT_EQ(CompletaEsquerda("2", '0', 2), "02");
    EXPECT_EQ(CompletaEsquerda("12", '0', 2), "12");
    EXPECT_EQ(CompletaEsquerda("100", '0', 2), "100");
    EXPECT_EQ(CompletaEsquerda("", '*', 3), "***");
}

TEST(StrToInt, AcceptsSignedDecimalsOnly) {
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("1536"), 1536);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("-42"), -42);
    EXPECT_EQ(StrToInt("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(StrToInt("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1.5", "0x10", "$400", "12a",
                            "9223372036854775808", "-9223372036854775809", "99999999999999999999"})
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
    try {
        StrToInt("abc");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
}

TEST(NomeArquivoSeguro, RefusesNamesThatCouldLeaveTheFolder) {
    EXPECT_TRUE(NomeArquivoSeguro("setup.exe"));
    EXPECT_TRUE(NomeArquivoSeguro("dados.w02"));
    EXPECT_TRUE(NomeArquivoSeguro(".oculto"));
    for (std::string_view bad : {std::string_view(""), std::string_view("."),
                                 std::string_view(".."), std::string_view("../x"),
                                 std::string_view("/etc/passwd"), std::string_view("a/b"),
                                 std::string_view("a\\b"), std::string_view("a..b"),
                                 std::string_view("a\0b", 3)})
        EXPECT_FALSE(NomeArquivoSeguro(bad)) << bad;
}
