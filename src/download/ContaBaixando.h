// The arithmetic of the progress dialog's display: what one tick of its 1000 ms timer shows from
// the byte count the FTP client reported last. Kilobytes are 1024 bytes, every division is
// truncated toward zero, and the bar's position is the count limited to the bar's range. The
// speed is the mean over the last few ticks, so a second without data does not read as a halt
// while the transfer goes on. Plain values; any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace mirelo_download {

// The byte counts of the last few ticks, for the speed and the time left.
class MediaVelocidade {
public:
    static constexpr std::size_t kTicks = 5;

    // The count at one tick. A count below the last one (the count of the previous file, or a
    // new try from the start) begins the mean anew.
    void Registra(std::int64_t contagem);
    // Bytes a second over the ticks held; 0 when nothing moved in them or only one is held.
    std::int64_t BytesPorSegundo() const;

private:
    std::deque<std::int64_t> Contagens;
};

struct LeituraBaixando {
    std::int64_t Posicao = 0;   // the bar's position after the tick
    std::string KbAtual;        // "<n> kb"
    std::string Velocidade;     // "<n> kbs", or "??? kbs" when nothing arrived in the last ticks
    std::string Percentual;     // "<n>%"
    std::string TempoRestante;  // "m:ss" or "h:mm:ss"; "???" while it cannot be told
};

// One tick: `contagem` is the last reported byte count (already registered in `media`),
// `maximo` the file's size (the bar's maximum) and `concluida` whether the retrieval has ended.
// A size of 0 or less reads 0% until the retrieval ends and 100% after.
LeituraBaixando CalculaTick(std::int64_t contagem, std::int64_t maximo, bool concluida,
                            const MediaVelocidade& media);

// The total label: "<size / 1024> kb".
std::string TextoTotal(std::int64_t maximo);

// The seconds `faltam` bytes take at `bytesPorSegundo`, rounded up: "m:ss" below an hour,
// "h:mm:ss" above; "???" when the speed is 0 or less.
std::string TextoTempoRestante(std::int64_t faltam, std::int64_t bytesPorSegundo);

// The note of a new try: "Tentando novamente (2 de 5)..." for the second of five tries in a row
// that moved nothing; "Tentando novamente..." after a try that moved bytes (`tentativa` 0).
std::string TextoTentativa(int tentativa, int maximo);

}  // namespace mirelo_download
