#include "gui/Widgets.h"

#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace widgets {

bool TeclaDeAtivar(const QKeyEvent* event)
{
    const int tecla = event->key();
    return event->modifiers() == Qt::NoModifier &&
           (tecla == Qt::Key_Return || tecla == Qt::Key_Enter || tecla == Qt::Key_Space ||
            tecla == Qt::Key_Select);
}

void DesenhaFoco(QWidget* widget)
{
    if (!widget->hasFocus())
        return;
    QStylePainter p(widget);
    QStyleOptionFocusRect opcao;
    opcao.initFrom(widget);
    opcao.rect = widget->rect().adjusted(1, 1, -1, -1);
    p.drawPrimitive(QStyle::PE_FrameFocusRect, opcao);
}

}  // namespace widgets

TPainelFundo::TPainelFundo(QImage fundo, QWidget* parent) : QFrame(parent), Fundo_(std::move(fundo))
{
}

void TPainelFundo::paintEvent(QPaintEvent* event)
{
    if (!Fundo_.isNull()) {
        // Stretched once per size, not at every repaint, to every device pixel of the screen.
        const qreal dpr = devicePixelRatioF();
        const QSize fisico = size() * dpr;
        if (Esticado_.size() != fisico) {
            Esticado_ = QPixmap::fromImage(
                Fundo_.scaled(fisico, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
            Esticado_.setDevicePixelRatio(dpr);
        }
        QPainter p(this);
        p.drawPixmap(0, 0, Esticado_);
    }
    QFrame::paintEvent(event);
}
