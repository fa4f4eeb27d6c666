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
        // Stretched once per size, not at every repaint.
        if (Esticado_.size() != size())
            Esticado_ = QPixmap::fromImage(
                Fundo_.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        QPainter p(this);
        p.drawPixmap(0, 0, Esticado_);
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
