#include "gui/Imagens.h"
#include "gui/Jpeg.h"

#include <QBuffer>
#include <QImage>
#include <QSet>

#include <gtest/gtest.h>

#include "JanelaTeste.h"
#include "gui/FundoJpeg.h"

namespace {

using namespace mirelo_app;

TEST(Imagens, SixDistinctTreePicturesOfTwentyByTwenty)
{
    QtTestApp();
    QSet<QByteArray> vistas;
    for (int i = 0; i < kImagensArvore; ++i) {
        const QImage imagem = ImagemArvore(i).toImage();
        ASSERT_EQ(imagem.size(), QSize(20, 20)) << i;
        bool desenhada = false;
        for (int y = 0; y < 20 && !desenhada; ++y)
            for (int x = 0; x < 20 && !desenhada; ++x)
                desenhada = qAlpha(imagem.pixel(x, y)) != 0;
        EXPECT_TRUE(desenhada) << "picture " << i << " is empty";
        vistas.insert(QByteArray(reinterpret_cast<const char*>(imagem.constBits()),
                                 imagem.sizeInBytes()));
    }
    EXPECT_EQ(vistas.size(), kImagensArvore);
}

// On a 200 % screen the pictures are painted with twice the pixels, not stretched from 1x.
TEST(Imagens, PicturesArePaintedForTheScreensPixelRatio)
{
    QtTestApp();
    for (int i = 0; i < kImagensArvore; ++i) {
        const QPixmap dobro = IconeArvore(i).pixmap(QSize(20, 20), 2.0);
        EXPECT_EQ(dobro.size(), QSize(40, 40)) << i;
        EXPECT_EQ(dobro.devicePixelRatio(), 2.0) << i;
        EXPECT_EQ(dobro.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                  ImagemArvore(i, 2.0).toImage().convertToFormat(
                      QImage::Format_ARGB32_Premultiplied))
            << i;
    }
    const QPixmap logo = Logotipo(2.0);
    EXPECT_EQ(logo.size(), QSize(128, 128));
    EXPECT_EQ(logo.deviceIndependentSize(), QSizeF(64, 64));
    EXPECT_EQ(IconeLogotipo().pixmap(QSize(64, 64), 2.0).size(), QSize(128, 128));
    EXPECT_EQ(IconeCancelar().pixmap(QSize(16, 16), 2.0).size(), QSize(32, 32));
    // Painted, not scaled: a smooth upscale of the 1x picture has no edge as sharp.
    const QImage pintado = Logotipo(2.0).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage esticado = Logotipo(1.0)
                                .toImage()
                                .scaled(128, 128, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                .convertToFormat(QImage::Format_ARGB32);
    EXPECT_NE(pintado, esticado);
}

TEST(Jpeg, TheBuiltInBackgroundDecodesFromMemory)
{
    const QImage fundo = FundoDetalhes();
    ASSERT_FALSE(fundo.isNull());
    EXPECT_EQ(fundo.size(), QSize(480, 560));
    // The picture is pale: light enough for dark text on it.
    EXPECT_GT(qGray(fundo.pixel(10, 10)), 200);
}

TEST(Jpeg, DecodesWhatQtWritesColourAndGrey)
{
    QtTestApp();
    for (const QImage::Format formato : {QImage::Format_RGB32, QImage::Format_Grayscale8}) {
        QImage origem(33, 17, formato);
        origem.fill(QColor(200, 40, 90));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(origem.save(&buffer, "JPG", 95));
        const QImage lida = DecodificaJpeg(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                           static_cast<std::size_t>(bytes.size()));
        ASSERT_FALSE(lida.isNull());
        EXPECT_EQ(lida.size(), QSize(33, 17));
        const QColor meio = lida.pixelColor(16, 8);
        const QColor esperada = origem.pixelColor(16, 8);
        EXPECT_NEAR(meio.red(), esperada.red(), 8);
        EXPECT_NEAR(meio.green(), esperada.green(), 8);
        EXPECT_NEAR(meio.blue(), esperada.blue(), 8);
    }
}

TEST(Jpeg, BadBytesGiveANullImageAndNeverEndTheProcess)
{
    EXPECT_TRUE(DecodificaJpeg(nullptr, 0).isNull());
    const unsigned char lixo[] = {0x00, 0x01, 0x02, 0x03, 0x04};
    EXPECT_TRUE(DecodificaJpeg(lixo, sizeof lixo).isNull());
    // A picture cut short anywhere: libjpeg's errors come back as a null image or, past the
    // header, as a picture whose missing rows libjpeg fills; never an exit.
    for (std::size_t tamanho : {std::size_t{2}, std::size_t{20}, std::size_t{200},
                                mirelo_app::kFundoDetalhesJpegTamanho / 2}) {
        const QImage cortada = DecodificaJpeg(kFundoDetalhesJpeg, tamanho);
        if (!cortada.isNull()) {
            EXPECT_EQ(cortada.size(), QSize(480, 560));
        }
    }
    // A header that claims a picture beyond the limit is refused before any allocation.
    std::vector<unsigned char> enorme(kFundoDetalhesJpeg,
                                      kFundoDetalhesJpeg + kFundoDetalhesJpegTamanho);
    for (std::size_t i = 0; i + 8 < enorme.size(); ++i)
        if (enorme[i] == 0xFF && enorme[i + 1] == 0xC0) {  // the frame header: height, width
            enorme[i + 5] = 0xFF;
            enorme[i + 6] = 0xFF;
            break;
        }
    EXPECT_TRUE(DecodificaJpeg(enorme.data(), enorme.size()).isNull());
}

}  // namespace
