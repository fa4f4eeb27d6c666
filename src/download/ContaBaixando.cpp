#include "download/ContaBaixando.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mirelo_download {
namespace {

// Division in floating point, truncated toward zero, as the display has always computed it.
std::int64_t Kb(std::int64_t bytes)
{
    return static_cast<std::int64_t>(std::trunc(static_cast<double>(bytes) / 1024.0));
}

}  // namespace

void MediaVelocidade::Registra(std::int64_t contagem)
{
    if (!Contagens.empty() && contagem < Contagens.back())
        Contagens.clear();
    Contagens.push_back(contagem);
    // kTicks seconds lie between kTicks + 1 counts.
    while (Contagens.size() > kTicks + 1)
        Contagens.pop_front();
}

std::int64_t MediaVelocidade::BytesPorSegundo() const
{
    if (Contagens.size() < 2)
        return 0;
    return (Contagens.back() - Contagens.front()) /
           static_cast<std::int64_t>(Contagens.size() - 1);
}

LeituraBaixando CalculaTick(std::int64_t contagem, std::int64_t maximo, bool concluida,
                            const MediaVelocidade& media)
{
    LeituraBaixando leitura;
    leitura.KbAtual = std::to_string(Kb(contagem)) + " kb";
    leitura.Posicao = std::clamp<std::int64_t>(contagem, 0, std::max<std::int64_t>(maximo, 0));

    const std::int64_t velocidade = media.BytesPorSegundo();
    leitura.Velocidade =
        velocidade == 0 ? std::string("??? kbs") : std::to_string(Kb(velocidade)) + " kbs";

    // In integers: in floating point 29 of 100 bytes came out as 28.999… and so 28%.
    std::int64_t percentual = 0;
    if (maximo > 0)
        percentual = leitura.Posicao * 100 / maximo;
    else if (concluida)
        percentual = 100;
    leitura.Percentual = std::to_string(percentual) + "%";

    if (concluida)
        leitura.TempoRestante = TextoTempoRestante(0, 1);
    else if (maximo > 0)
        leitura.TempoRestante = TextoTempoRestante(maximo - leitura.Posicao, velocidade);
    else
        leitura.TempoRestante = TextoTempoRestante(0, 0);
    return leitura;
}

std::string TextoTotal(std::int64_t maximo)
{
    return std::to_string(Kb(maximo)) + " kb";
}

std::string TextoTempoRestante(std::int64_t faltam, std::int64_t bytesPorSegundo)
{
    if (bytesPorSegundo <= 0)
        return "???";
    const std::int64_t segundos = (std::max<std::int64_t>(faltam, 0) + bytesPorSegundo - 1) /
                                  bytesPorSegundo;
    char texto[32];
    if (segundos < 3600)
        std::snprintf(texto, sizeof texto, "%lld:%02lld", static_cast<long long>(segundos / 60),
                      static_cast<long long>(segundos % 60));
    else
        std::snprintf(texto, sizeof texto, "%lld:%02lld:%02lld",
                      static_cast<long long>(segundos / 3600),
                      static_cast<long long>(segundos / 60 % 60),
                      static_cast<long long>(segundos % 60));
    return texto;
}

std::string TextoTentativa(int tentativa, int maximo)
{
    if (tentativa <= 0)
        return "Tentando novamente...";
    return "Tentando novamente (" + std::to_string(tentativa) + " de " + std::to_string(maximo) +
           ")...";
}

}  // namespace mirelo_download
