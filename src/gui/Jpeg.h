// Decodes a JPEG picture held in memory with libjpeg, for the detail panel's background. Owns
// nothing beyond the returned image; safe to call from any thread.
#pragma once

#include <cstddef>

#include <QImage>

namespace mirelo_app {

// The picture as an RGB image, or a null image when the bytes are not a JPEG that libjpeg can
// turn into RGB or the picture is larger than kMaxLadoJpeg on a side. Never ends the process,
// whatever the bytes.
QImage DecodificaJpeg(const unsigned char* dados, std::size_t tamanho);

inline constexpr int kMaxLadoJpeg = 8192;

// The detail panel's background, built into the program.
QImage FundoDetalhes();

}  // namespace mirelo_app
