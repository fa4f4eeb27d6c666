#include "app/Widgets.h"

#include <QMouseEvent>
#include <QPainter>

void TRotuloClicavel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}

TPainelFundo::TPainelFundo(QImage fundo, QWidget* parent) : QFrame(parent), Fundo_(std::move(fundo))
{
}

void TPainelFundo::paintEvent(QPaintEvent* event)
{
    if (!Fundo_.isNull()) {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(rect(), Fundo_);
    }
    QFrame::paintEvent(event);
}

void TFaixaClicavel::mouseReleaseEvent(QMouseEvent* event)
{
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}
