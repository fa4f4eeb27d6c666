#include "download/ContaBaixando.h"

#include <algorithm>
#include <cmath>

namespace mirelo_download {
namespace {

// Division in floating point, truncated toward zero, as the display has always computed it.
std::int64_t Kb(std::int64_t bytes)
{
    return static_cast<std::int64_t>(std::trunc(static_cast<double>(bytes) / 1024.0));
}

}  // namespace

LeituraBaixando CalculaTick(std::int32_t posicaoAnterior, std::int32_t contagem,
                            std::int32_t maximo, bool concluida)
{
    LeituraBaixando leitura;
    leitura.KbAtual = std::to_string(Kb(contagem)) + " kb";
    leitura.Posicao = std::clamp(contagem, 0, std::max(maximo, 0));

    const std::int64_t diferenca =
        static_cast<std::int64_t>(contagem) - static_cast<std::int64_t>(posicaoAnterior);
    leitura.Velocidade = diferenca == 0 ? std::string("??? kbs")
                                        : std::to_string(Kb(diferenca)) + " kbs";

    std::int64_t percentual = 0;
    if (maximo > 0)
        percentual = static_cast<std::int64_t>(
            std::trunc(static_cast<double>(leitura.Posicao) / maximo * 100.0));
    else if (concluida)
        percentual = 100;
    leitura.Percentual = std::to_string(percentual) + "%";
    return leitura;
}

std::string TextoTotal(std::int32_t maximo)
{
    return std::to_string(Kb(maximo)) + " kb";
}

}  // namespace mirelo_download
