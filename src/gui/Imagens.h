// The program's own pictures, drawn in code: the six 20 x 20 pictures of the product tree, the
// maker's logo and the header art. Each call paints a fresh pixmap; call from the GUI thread
// once a QGuiApplication exists.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

class QPainter;

namespace mirelo_app {

// The tree's image numbers; the values are the positions in the image list.
enum TImagemArvore : int {
    imgFormulario = 0,
    imgComponenteMarcado = 1,
    imgComponenteDesmarcado = 2,
    imgInstalacaoFechada = 3,
    imgInstalacaoAberta = 4,
    imgComponenteFixo = 5,
};
inline constexpr int kImagensArvore = 6;
inline constexpr int kLadoImagemArvore = 20;

// The header's dark blue, shared by the header, the help-desk strip and the tree's text.
inline const QColor kAzulCabecalho{0x31, 0x65, 0x9B};

// Each picture is painted for a screen of `dpr` device pixels per logical pixel: the pixmap is
// dpr times larger and carries that ratio, so it is sharp on a 200 % screen.
QPixmap ImagemArvore(int indice, qreal dpr = 1.0);
inline constexpr int kLadoLogotipo = 64;

QPixmap Logotipo(qreal dpr = 1.0);         // 64 x 64
// Paints the logo into the square (0, 0, 64, 64) of `p`; scale the painter for other sizes.
void PintaLogotipo(QPainter& p);
QPixmap ArteCabecalho(int largura, int altura, qreal dpr = 1.0);
QPixmap ImagemCancelar(qreal dpr = 1.0);   // 16 x 16, the toolbar's image 1
QPixmap ImagemSair(qreal dpr = 1.0);       // 16 x 16, the exit tool button

// The same pictures as icons that paint themselves anew for whatever size and pixel ratio a
// control asks (and grey when it is disabled).
QIcon IconeArvore(int indice);
QIcon IconeLogotipo();
QIcon IconeCancelar();
QIcon IconeSair();

}  // namespace mirelo_app
