// The bytes of the detail panel's background picture (a JPEG), built into the program from
// src/app/arte/fundo-detalhes.jpg. Read-only data, any thread.
#pragma once

#include <cstddef>

namespace mirelo_app {

extern const unsigned char kFundoDetalhesJpeg[];
extern const std::size_t kFundoDetalhesJpegTamanho;

}  // namespace mirelo_app
