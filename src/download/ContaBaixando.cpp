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

LeituraBaixando CalculaTick(std::int64_t posicaoAnterior, std::int64_t contagem,
                            std::int64_t maximo, bool concluida)
{
    LeituraBaixando leitura;
    leitura.KbAtual = std::to_string(Kb(contagem)) + " kb";
    leitura.Posicao = std::clamp<std::int64_t>(contagem, 0, std::max<std::int64_t>(maximo, 0));

    const std::int64_t diferenca = contagem - posicaoAnterior;
    leitura.Velocidade = diferenca == 0 ? std::string("??? kbs")
                                        : std::to_string(Kb(diferenca)) + " kbs";

    std::int64_t percentual = 0;
    if (maximo > 0)
        percentual = static_cast<std::int64_t>(
            std::trunc(static_cast<double>(leitura.Posicao) / static_cast<double>(maximo) * 100.0));
    else if (concluida)
        percentual = 100;
    leitura.Percentual = std::to_string(percentual) + "%";
    return leitura;
}

std::string TextoTotal(std::int64_t maximo)
{
    return std::to_string(Kb(maximo)) + " kb";
}

}  // namespace mirelo_download
