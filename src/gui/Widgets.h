// Small widgets of the main window: a label that reports clicks, and the detail panel that paints
// its background picture stretched to its size. GUI thread only.
#pragma once

#include <functional>

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>

// Given a focus policy, it is also reached with Tab and activated with Enter or Space.
class TRotuloClicavel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

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

// A strip that reports clicks (the help-desk strip at the foot of the detail panel).
class TFaixaClicavel : public QFrame {
public:
    using QFrame::QFrame;
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
