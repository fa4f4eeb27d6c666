#include "gui/Widgets.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace {

// Enter, Return and Space activate a focused link, as a click does.
bool TeclaDeAtivar(const QKeyEvent* event)
{
    const int tecla = event->key();
    return event->modifiers() == Qt::NoModifier &&
           (tecla == Qt::Key_Return || tecla == Qt::Key_Enter || tecla == Qt::Key_Space ||
            tecla == Qt::Key_Select);
}

// The dotted frame that tells a keyboard user where the focus is.
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

}  // namespace

void TRotuloClicavel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}

void TRotuloClicavel::keyPressEvent(QKeyEvent* event)
{
    if (TeclaDeAtivar(event) && OnClick) {
        OnClick();
        return;
    }
    QLabel::keyPressEvent(event);
}

void TRotuloClicavel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    DesenhaFoco(this);
}

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

void TFaixaClicavel::mouseReleaseEvent(QMouseEvent* event)
{
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}

void TFaixaClicavel::keyPressEvent(QKeyEvent* event)
{
    if (TeclaDeAtivar(event) && OnClick) {
        OnClick();
        return;
    }
    QFrame::keyPressEvent(event);
}

void TFaixaClicavel::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    DesenhaFoco(this);
}
