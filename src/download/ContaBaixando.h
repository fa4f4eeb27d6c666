// The arithmetic of the progress dialog's display: what one tick of its 1000 ms timer shows from
// the byte count the FTP client reported last. Kilobytes are 1024 bytes, every division is
// truncated toward zero, and the bar's position is the count limited to the bar's range. Pure
// functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace mirelo_download {

struct LeituraBaixando {
    std::int64_t Posicao = 0;   // the bar's position after the tick
    std::string KbAtual;        // "<n> kb"
    std::string Velocidade;     // "<n> kbs", or "??? kbs" when nothing arrived since the last tick
    std::string Percentual;     // "<n>%"
};

// One tick: `posicaoAnterior` is the bar's position before it, `contagem` the last reported byte
// count, `maximo` the file's size (the bar's maximum) and `concluida` whether the retrieval has
// ended. A size of 0 or less reads 0% until the retrieval ends and 100% after.
LeituraBaixando CalculaTick(std::int64_t posicaoAnterior, std::int64_t contagem,
                            std::int64_t maximo, bool concluida);

// The total label: "<size / 1024> kb".
std::string TextoTotal(std::int64_t maximo);

}  // namespace mirelo_download
