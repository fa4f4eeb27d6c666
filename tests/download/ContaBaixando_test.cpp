#include "download/ContaBaixando.h"

#include <gtest/gtest.h>

using namespace mirelo_download;

namespace {

MediaVelocidade Media(std::initializer_list<std::int64_t> contagens)
{
    MediaVelocidade media;
    for (const std::int64_t contagem : contagens)
        media.Registra(contagem);
    return media;
}

}  // namespace

TEST(ContaBaixando, SpeedTotalsAndPercentOfAThreeMegabyteFile)
{
    EXPECT_EQ(TextoTotal(3'000'000), "2929 kb");
    LeituraBaixando tick = CalculaTick(150'000, 3'000'000, false, Media({0, 150'000}));
    EXPECT_EQ(tick.Velocidade, "146 kbs");
    EXPECT_EQ(tick.KbAtual, "146 kb");
    EXPECT_EQ(tick.Posicao, 150'000);
    EXPECT_EQ(tick.Percentual, "5%");

    tick = CalculaTick(3'000'000, 3'000'000, true, Media({2'999'000, 3'000'000}));
    EXPECT_EQ(tick.KbAtual, "2929 kb");
    EXPECT_EQ(tick.Percentual, "100%");
    EXPECT_EQ(tick.TempoRestante, "0:00");

    // Exact: 29 of 100 bytes is 29 %, which floating point made 28.
    EXPECT_EQ(CalculaTick(29, 100, false, Media({29})).Percentual, "29%");
    EXPECT_EQ(CalculaTick(57, 100, false, Media({57})).Percentual, "57%");
}

TEST(ContaBaixando, NothingNewReadsAsUnknownSpeedAndTruncationIsTowardZero)
{
    EXPECT_EQ(CalculaTick(4096, 10'000, false, Media({4096, 4096})).Velocidade, "??? kbs");
    EXPECT_EQ(CalculaTick(4096, 10'000, false, Media({4096, 4096})).TempoRestante, "???");
    EXPECT_EQ(CalculaTick(1023, 10'000, false, Media({0, 1023})).KbAtual, "0 kb");
    EXPECT_EQ(TextoTotal(2047), "1 kb");
    EXPECT_EQ(TextoTotal(1000), "0 kb");
    // A new transfer whose count is below the last one (the previous file's end) starts the
    // mean anew rather than showing a negative speed.
    EXPECT_EQ(CalculaTick(500, 10'000, false, Media({3000, 500})).Velocidade, "??? kbs");
    EXPECT_EQ(CalculaTick(2548, 10'000, false, Media({3000, 500, 2548})).Velocidade, "2 kbs");
}

// Data that comes in bursts (a second with, a second without) reads as one steady speed, and the
// time left follows from it.
TEST(ContaBaixando, SpeedIsTheMeanOfTheLastTicksAndGivesTheTimeLeft)
{
    MediaVelocidade media = Media({0, 102'400, 102'400, 204'800, 204'800});
    EXPECT_EQ(CalculaTick(204'800, 1'228'800, false, media).Velocidade, "50 kbs");
    // 1 MB left at 50 kb a second: 20 s.
    EXPECT_EQ(CalculaTick(204'800, 1'228'800, false, media).TempoRestante, "0:20");
    media.Registra(307'200);
    media.Registra(307'200);
    // Only the last five seconds count: 307200 - 102400 over 5.
    EXPECT_EQ(media.BytesPorSegundo(), 40'960);

    EXPECT_EQ(TextoTempoRestante(125, 1), "2:05");
    EXPECT_EQ(TextoTempoRestante(3601, 1), "1:00:01");
    EXPECT_EQ(TextoTempoRestante(1, 1000), "0:01");  // rounded up: never 0:00 before the end
    EXPECT_EQ(TextoTempoRestante(1000, 0), "???");
    // Without a size the time left cannot be told.
    EXPECT_EQ(CalculaTick(5000, 0, false, Media({0, 5000})).TempoRestante, "???");
}

TEST(ContaBaixando, BarIsLimitedToItsRange)
{
    // The previous file's end count, higher than the new file's size.
    const LeituraBaixando tick = CalculaTick(90'000, 1000, false, Media({90'000}));
    EXPECT_EQ(tick.Posicao, 1000);
    EXPECT_EQ(tick.KbAtual, "87 kb");
    EXPECT_EQ(tick.Percentual, "100%");
    EXPECT_EQ(CalculaTick(-5, 1000, false, Media({})).Posicao, 0);
}

TEST(ContaBaixando, SizeZeroShowsZeroUntilTheEndThenHundred)
{
    EXPECT_EQ(CalculaTick(0, 0, false, Media({})).Percentual, "0%");
    EXPECT_EQ(CalculaTick(5000, 0, false, Media({})).Percentual, "0%");
    EXPECT_EQ(CalculaTick(5000, 0, true, Media({})).Percentual, "100%");
    EXPECT_EQ(CalculaTick(5000, 0, true, Media({})).Posicao, 0);
    EXPECT_EQ(CalculaTick(0, -1, true, Media({})).Percentual, "100%");
}
