// Paints the program's icon (the maker's logo) as PNG files of the hicolor theme's sizes:
//   mirelo-gera-icones PASTA NOME
// writes PASTA/<n>x<n>/apps/NOME.png for each size. Run by the build for the install.
#include <cstdio>

#include <QDir>
#include <QImage>
#include <QPainter>

#include "gui/Imagens.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: mirelo-gera-icones FOLDER NAME\n");
        return 2;
    }
    const QString pasta = QString::fromLocal8Bit(argv[1]);
    const QString nome = QString::fromLocal8Bit(argv[2]);
    for (const int lado : {16, 24, 32, 48, 64, 128, 256}) {
        QImage imagem(lado, lado, QImage::Format_ARGB32_Premultiplied);
        imagem.fill(Qt::transparent);
        {
            QPainter p(&imagem);
            // Drawn at each size rather than scaled from one picture, so small icons stay sharp.
            p.scale(lado / double(mirelo_app::kLadoLogotipo), lado / double(mirelo_app::kLadoLogotipo));
            mirelo_app::PintaLogotipo(p);
        }
        const QString destino = QStringLiteral("%1/%2x%2/apps").arg(pasta).arg(lado);
        if (!QDir().mkpath(destino) || !imagem.save(destino + "/" + nome + ".png", "PNG")) {
            std::fprintf(stderr, "mirelo-gera-icones: cannot write %s\n", qPrintable(destino));
            return 1;
        }
    }
    return 0;
}
