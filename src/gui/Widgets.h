// Small widgets of the main window: labels and strips that report clicks, and the detail panel
// that paints its background picture stretched to its size. GUI thread only.
#pragma once

#include <functional>

#include <QFrame>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>

namespace widgets {
// Enter, Return and Space activate a focused widget, as a click does.
bool TeclaDeAtivar(const QKeyEvent* event);
// The dotted frame that tells a keyboard user where the focus is.
void DesenhaFoco(QWidget* widget);
}  // namespace widgets

// A widget of kind `Base` that reports clicks. Given a focus policy, it is also reached with Tab,
// shows the focus, and is activated with Enter or Space.
template <class Base>
class TClicavel : public Base {
public:
    using Base::Base;
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        Base::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton && this->rect().contains(event->position().toPoint()) &&
            OnClick)
            OnClick();
    }
    void keyPressEvent(QKeyEvent* event) override
    {
        if (widgets::TeclaDeAtivar(event) && OnClick) {
            OnClick();
            return;
        }
        Base::keyPressEvent(event);
    }
    void paintEvent(QPaintEvent* event) override
    {
        Base::paintEvent(event);
        widgets::DesenhaFoco(this);
    }
};

using TRotuloClicavel = TClicavel<QLabel>;
// The help-desk strip at the foot of the detail panel.
using TFaixaClicavel = TClicavel<QFrame>;

class TPainelFundo : public QFrame {
public:
    explicit TPainelFundo(QImage fundo, QWidget* parent = nullptr);
    const QImage& Fundo() const { return Fundo_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage Fundo_;
    QPixmap Esticado_;
};
