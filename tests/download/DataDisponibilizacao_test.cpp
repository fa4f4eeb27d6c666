#include "download/DataDisponibilizacao.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

using namespace mirelo_download;

namespace {

std::time_t Local(int ano, int mes, int dia, int hora = 0, int minuto = 0, int segundo = 0)
{
    std::tm campos{};
    campos.tm_year = ano - 1900;
    campos.tm_mon = mes - 1;
    campos.tm_mday = dia;
    campos.tm_hour = hora;
    campos.tm_min = minuto;
    campos.tm_sec = segundo;
    campos.tm_isdst = -1;
    return std::mktime(&campos);
}

}  // namespace

TEST(DataDisponibilizacao, ReadsTheThreeCatalogueShapes)
{
    EXPECT_EQ(LeDisponibilizacao("13/02/2024"), Local(2024, 2, 13));
    EXPECT_EQ(LeDisponibilizacao("13/02/2024 08:30"), Local(2024, 2, 13, 8, 30));
    EXPECT_EQ(LeDisponibilizacao("13/02/2024 08:30:15"), Local(2024, 2, 13, 8, 30, 15));
    EXPECT_EQ(LeDisponibilizacao(" 1/2/2024 8:05 "), Local(2024, 2, 1, 8, 5));
    EXPECT_EQ(LeDisponibilizacao("29/02/2024"), Local(2024, 2, 29));
}

TEST(DataDisponibilizacao, DayComesFirstWhateverTheLocale)
{
    // A month-first locale must not turn 02/03 into the 3rd of February.
    const char* antes = std::setlocale(LC_TIME, nullptr);
    const std::string salvo = antes != nullptr ? antes : "C";
    std::setlocale(LC_TIME, "en_US.UTF-8");
    EXPECT_EQ(LeDisponibilizacao("02/03/2024"), Local(2024, 3, 2));
    std::setlocale(LC_TIME, salvo.c_str());
}

TEST(DataDisponibilizacao, RefusesOtherShapesAndImpossibleDates)
{
    for (const char* ruim : {"", "2024-02-13", "13/02/24", "13.02.2024", "13/02/2024 8",
                             "13/02/2024 08:30:15:00", "31/02/2023", "29/02/2023", "00/01/2024",
                             "13/13/2024", "13/02/2024 24:00", "13/02/2024 23:60",
                             "13/02/2024 08:30x", "113/02/2024", "13/02/20245"})
        EXPECT_EQ(LeDisponibilizacao(ruim), std::nullopt) << ruim;
}
