#include "gui/Imagens.h"

#include <algorithm>
#include <functional>

#include <QFont>
#include <QIconEngine>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace mirelo_app {
namespace {

// A transparent pixmap of `lado` x `lado` logical pixels for a screen of `dpr` device pixels
// per pixel: painted in logical coordinates, it holds every device pixel, so it stays sharp.
QPixmap Transparente(int lado, qreal dpr)
{
    QPixmap pixmap(QSize(lado, lado) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// An icon that paints its picture anew for every size and pixel ratio asked of it.
class TMotorDesenho : public QIconEngine {
public:
    TMotorDesenho(std::function<QPixmap(qreal)> desenha, int lado)
        : Desenha(std::move(desenha)), Lado(lado)
    {
    }

    // `tamanho` is in device pixels.
    QPixmap pixmap(const QSize& tamanho, QIcon::Mode modo, QIcon::State) override
    {
        const qreal fator = qreal(std::min(tamanho.width(), tamanho.height())) / Lado;
        if (fator <= 0)
            return {};
        QPixmap pixmap = Desenha(fator);
        pixmap.setDevicePixelRatio(1.0);
        return modo == QIcon::Disabled ? Apagado(pixmap) : pixmap;
    }

    void paint(QPainter* p, const QRect& area, QIcon::Mode modo, QIcon::State estado) override
    {
        const qreal dpr = p->device()->devicePixelRatioF();
        QPixmap imagem = pixmap(area.size() * dpr, modo, estado);
        imagem.setDevicePixelRatio(dpr);
        p->drawPixmap(area, imagem);
    }

    QSize actualSize(const QSize& tamanho, QIcon::Mode, QIcon::State) override
    {
        const int lado = std::min(tamanho.width(), tamanho.height());
        return {lado, lado};
    }

    QIconEngine* clone() const override { return new TMotorDesenho(Desenha, Lado); }

private:
    // A disabled control's picture: grey and faint.
    static QPixmap Apagado(const QPixmap& pixmap)
    {
        QImage imagem = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < imagem.height(); ++y) {
            auto* linha = reinterpret_cast<QRgb*>(imagem.scanLine(y));
            for (int x = 0; x < imagem.width(); ++x) {
                const int cinza = qGray(linha[x]);
                linha[x] = qRgba(cinza, cinza, cinza, qAlpha(linha[x]) / 2);
            }
        }
        return QPixmap::fromImage(imagem);
    }

    std::function<QPixmap(qreal)> Desenha;
    int Lado;
};

void Folha(QPainter& p)
{
    QPainterPath folha;
    folha.moveTo(4.5, 1.5);
    folha.lineTo(12.5, 1.5);
    folha.lineTo(16.5, 5.5);
    folha.lineTo(16.5, 18.5);
    folha.lineTo(4.5, 18.5);
    folha.closeSubpath();
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.setBrush(Qt::white);
    p.drawPath(folha);
    p.setBrush(QColor(0xD8, 0xD8, 0xD8));
    p.drawPolygon(QPolygonF({{12.5, 1.5}, {12.5, 5.5}, {16.5, 5.5}}));
    // The lines of a form to fill in.
    p.setPen(QPen(kAzulCabecalho, 1));
    for (int y = 8; y <= 16; y += 2)
        p.drawLine(QPointF(6.5, y + 0.5), QPointF(y == 16 ? 11.5 : 14.5, y + 0.5));
}

void Caixa(QPainter& p, const QColor& fundo)
{
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1));
    p.setBrush(fundo);
    p.drawRoundedRect(QRectF(3.5, 3.5, 13, 13), 2, 2);
}

void Marca(QPainter& p, const QColor& cor)
{
    QPen pen(cor, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawPolyline(QPolygonF({{6.0, 10.0}, {9.0, 13.5}, {15.0, 6.0}}));
}

void Pasta(QPainter& p, bool aberta)
{
    const QColor borda(0x8A, 0x63, 0x10);
    p.setPen(QPen(borda, 1));
    p.setBrush(QColor(0xE0, 0xB0, 0x40));
    p.drawPolygon(QPolygonF({{1.5, 4.5}, {7.5, 4.5}, {9.5, 6.5}, {17.5, 6.5}, {17.5, 16.5},
                             {1.5, 16.5}}));
    if (aberta) {
        p.setBrush(QColor(0xF8, 0xD8, 0x70));
        p.drawPolygon(QPolygonF({{4.5, 9.5}, {19.5, 9.5}, {16.5, 16.5}, {1.5, 16.5}}));
    } else {
        p.setBrush(QColor(0xF0, 0xC8, 0x58));
        p.drawRect(QRectF(1.5, 8.5, 16, 8));
    }
}

void Cadeado(QPainter& p)
{
    p.setPen(QPen(QColor(0x50, 0x50, 0x50), 1.4));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(12.0, 9.0, 5.0, 6.0), 0, 180 * 16);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.setBrush(QColor(0xC8, 0x9A, 0x20));
    p.drawRect(QRectF(11.5, 12.5, 6, 5));
}

}  // namespace

QPixmap ImagemArvore(int indice, qreal dpr)
{
    QPixmap pixmap = Transparente(kLadoImagemArvore, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (indice) {
    case imgFormulario:
        Folha(p);
        break;
    case imgComponenteMarcado:
        Caixa(p, Qt::white);
        Marca(p, QColor(0x10, 0x90, 0x20));
        break;
    case imgComponenteDesmarcado:
        Caixa(p, Qt::white);
        break;
    case imgInstalacaoFechada:
        Pasta(p, false);
        break;
    case imgInstalacaoAberta:
        Pasta(p, true);
        break;
    case imgComponenteFixo:
        Caixa(p, QColor(0xE4, 0xE4, 0xE4));
        Marca(p, QColor(0x70, 0x70, 0x70));
        Cadeado(p);
        break;
    default:
        break;
    }
    return pixmap;
}

void PintaLogotipo(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient brilho(QPointF(24, 22), 40);
    brilho.setColorAt(0, QColor(0xFF, 0xE0, 0x80));
    brilho.setColorAt(1, QColor(0xE0, 0x8A, 0x10));
    p.setPen(QPen(Qt::white, 3));
    p.setBrush(brilho);
    p.drawEllipse(QRectF(4, 4, 56, 56));
    // Three rising strokes: forms going out to the people.
    p.setPen(QPen(kAzulCabecalho, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(19, 44), QPointF(19, 34));
    p.drawLine(QPointF(32, 44), QPointF(32, 26));
    p.drawLine(QPointF(45, 44), QPointF(45, 18));
}

QPixmap Logotipo(qreal dpr)
{
    QPixmap pixmap = Transparente(kLadoLogotipo, dpr);
    QPainter p(&pixmap);
    PintaLogotipo(p);
    return pixmap;
}

QPixmap ArteCabecalho(int largura, int altura, qreal dpr)
{
    QPixmap pixmap(QSize(largura, altura) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(kAzulCabecalho);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // Soft waves that fade in towards the right edge.
    for (int onda = 0; onda < 4; ++onda) {
        QPainterPath caminho;
        const double base = altura * (0.35 + 0.18 * onda);
        caminho.moveTo(largura * 0.3, altura);
        caminho.lineTo(largura * 0.3, base);
        caminho.cubicTo(largura * 0.55, base - altura * 0.45, largura * 0.75, base + altura * 0.35,
                        largura, base - altura * 0.2);
        caminho.lineTo(largura, altura);
        caminho.closeSubpath();
        QLinearGradient gradiente(largura * 0.3, 0, largura, 0);
        gradiente.setColorAt(0, QColor(255, 255, 255, 0));
        gradiente.setColorAt(1, QColor(255, 255, 255, 28 + 6 * onda));
        p.fillPath(caminho, gradiente);
    }
    return pixmap;
}

QPixmap ImagemCancelar(qreal dpr)
{
    QPixmap pixmap = Transparente(16, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xC0, 0x20, 0x20));
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(5, 5), QPointF(11, 11));
    p.drawLine(QPointF(11, 5), QPointF(5, 11));
    return pixmap;
}

QPixmap ImagemSair(qreal dpr)
{
    QPixmap pixmap = Transparente(16, dpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x60, 0x40, 0x20), 1));
    p.setBrush(QColor(0xB0, 0x80, 0x50));
    p.drawRect(QRectF(2.5, 1.5, 8, 13));
    p.setPen(QPen(QColor(0xC0, 0x20, 0x20), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(7, 8), QPointF(14.5, 8));
    p.drawPolyline(QPolygonF({{12, 5.5}, {14.5, 8}, {12, 10.5}}));
    return pixmap;
}

QIcon IconeArvore(int indice)
{
    return QIcon(new TMotorDesenho([indice](qreal dpr) { return ImagemArvore(indice, dpr); },
                                   kLadoImagemArvore));
}

QIcon IconeLogotipo()
{
    return QIcon(new TMotorDesenho([](qreal dpr) { return Logotipo(dpr); }, kLadoLogotipo));
}

QIcon IconeCancelar()
{
    return QIcon(new TMotorDesenho([](qreal dpr) { return ImagemCancelar(dpr); }, 16));
}

QIcon IconeSair()
{
    return QIcon(new TMotorDesenho([](qreal dpr) { return ImagemSair(dpr); }, 16));
}

}  // namespace mirelo_app
