// Paints the detail panel's background and writes it as the JPEG that the program embeds
// (src/gui/arte/fundo-detalhes.jpg). Run again only to change the picture:
//   cmake --build <build> --target mirelo-gera-fundo && <build>/src/gui/mirelo-gera-fundo <file>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mirelo-gera-fundo <output.jpg>\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const int largura = 480;
    const int altura = 560;
    QImage imagem(largura, altura, QImage::Format_RGB32);
    QPainter p(&imagem);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient ceu(0, 0, largura * 0.4, altura);
    ceu.setColorAt(0, QColor(0xFB, 0xFC, 0xFE));
    ceu.setColorAt(1, QColor(0xDC, 0xE7, 0xF3));
    p.fillRect(imagem.rect(), ceu);

    // Pale sheets of paper drifting across the lower right corner.
    for (int folha = 0; folha < 5; ++folha) {
        p.save();
        p.translate(largura * (0.55 + 0.09 * folha), altura * (0.55 + 0.07 * folha));
        p.rotate(-18 + 9 * folha);
        p.setPen(QPen(QColor(0x31, 0x65, 0x9B, 40), 2));
        p.setBrush(QColor(255, 255, 255, 110));
        p.drawRect(QRectF(-60, -80, 120, 160));
        p.setPen(QPen(QColor(0x31, 0x65, 0x9B, 30), 2));
        for (int linha = 0; linha < 6; ++linha)
            p.drawLine(QPointF(-44, -52 + 22 * linha), QPointF(44, -52 + 22 * linha));
        p.restore();
    }

    QRadialGradient luz(QPointF(largura * 0.15, altura * 0.1), largura * 0.7);
    luz.setColorAt(0, QColor(255, 255, 255, 150));
    luz.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(imagem.rect(), luz);
    p.end();

    return imagem.save(QString::fromLocal8Bit(argv[1]), "JPG", 88) ? 0 : 1;
}
