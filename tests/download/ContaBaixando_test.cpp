#include "download/ContaBaixando.h"

#include <gtest/gtest.h>

using namespace mirelo_download;

TEST(ContaBaixando, SpeedTotalsAndPercentOfAThreeMegabyteFile)
{
    EXPECT_EQ(TextoTotal(3'000'000), "2929 kb");
    LeituraBaixando tick = CalculaTick(0, 150'000, 3'000'000, false);
    EXPECT_EQ(tick.Velocidade, "146 kbs");
    EXPECT_EQ(tick.KbAtual, "146 kb");
    EXPECT_EQ(tick.Posicao, 150'000);
    EXPECT_EQ(tick.Percentual, "5%");

    tick = CalculaTick(2'999'000, 3'000'000, 3'000'000, true);
    EXPECT_EQ(tick.KbAtual, "2929 kb");
    EXPECT_EQ(tick.Percentual, "100%");
}

TEST(ContaBaixando, NothingNewReadsAsUnknownSpeedAndTruncationIsTowardZero)
{
    EXPECT_EQ(CalculaTick(4096, 4096, 10'000, false).Velocidade, "??? kbs");
    EXPECT_EQ(CalculaTick(0, 1023, 10'000, false).KbAtual, "0 kb");
    EXPECT_EQ(TextoTotal(2047), "1 kb");
    EXPECT_EQ(TextoTotal(1000), "0 kb");
    // A new transfer whose count is below the bar's position shows a negative speed.
    EXPECT_EQ(CalculaTick(3000, 500, 10'000, false).Velocidade, "-2 kbs");
}

TEST(ContaBaixando, BarIsLimitedToItsRange)
{
    // The previous file's end count, higher than the new file's size.
    const LeituraBaixando tick = CalculaTick(0, 90'000, 1000, false);
    EXPECT_EQ(tick.Posicao, 1000);
    EXPECT_EQ(tick.KbAtual, "87 kb");
    EXPECT_EQ(tick.Percentual, "100%");
    EXPECT_EQ(CalculaTick(0, -5, 1000, false).Posicao, 0);
}

TEST(ContaBaixando, SizeZeroShowsZeroUntilTheEndThenHundred)
{
    EXPECT_EQ(CalculaTick(0, 0, 0, false).Percentual, "0%");
    EXPECT_EQ(CalculaTick(0, 5000, 0, false).Percentual, "0%");
    EXPECT_EQ(CalculaTick(0, 5000, 0, true).Percentual, "100%");
    EXPECT_EQ(CalculaTick(0, 5000, 0, true).Posicao, 0);
    EXPECT_EQ(CalculaTick(0, 0, -1, true).Percentual, "100%");
}
