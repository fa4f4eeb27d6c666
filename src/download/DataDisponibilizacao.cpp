#include "download/DataDisponibilizacao.h"

#include <cctype>

namespace mirelo_download {
namespace {

// A cursor over the text that reads the fields one by one.
class Leitor {
public:
    explicit Leitor(std::string_view texto) : texto_(texto) {}

    // A number of `minimo` to `maximo` digits.
    std::optional<int> Numero(std::size_t minimo, std::size_t maximo)
    {
        std::size_t digitos = 0;
        int valor = 0;
        while (pos_ < texto_.size() && digitos < maximo &&
               std::isdigit(static_cast<unsigned char>(texto_[pos_]))) {
            valor = valor * 10 + (texto_[pos_] - '0');
            ++pos_;
            ++digitos;
        }
        if (digitos < minimo)
            return std::nullopt;
        // A longer run of digits than the field allows is another shape, not a truncation.
        if (pos_ < texto_.size() && std::isdigit(static_cast<unsigned char>(texto_[pos_])))
            return std::nullopt;
        return valor;
    }

    bool Caractere(char c)
    {
        if (pos_ < texto_.size() && texto_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool Brancos()
    {
        const std::size_t inicio = pos_;
        while (pos_ < texto_.size() && (texto_[pos_] == ' ' || texto_[pos_] == '\t'))
            ++pos_;
        return pos_ > inicio;
    }

    bool Fim() const { return pos_ == texto_.size(); }

private:
    std::string_view texto_;
    std::size_t pos_ = 0;
};

bool Bissexto(int ano)
{
    return (ano % 4 == 0 && ano % 100 != 0) || ano % 400 == 0;
}

int DiasDoMes(int mes, int ano)
{
    static constexpr int kDias[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return mes == 2 && Bissexto(ano) ? 29 : kDias[mes - 1];
}

}  // namespace

std::optional<std::time_t> LeDisponibilizacao(std::string_view texto)
{
    Leitor leitor(texto);
    leitor.Brancos();
    const auto dia = leitor.Numero(1, 2);
    if (!dia || !leitor.Caractere('/'))
        return std::nullopt;
    const auto mes = leitor.Numero(1, 2);
    if (!mes || !leitor.Caractere('/'))
        return std::nullopt;
    const auto ano = leitor.Numero(4, 4);
    if (!ano)
        return std::nullopt;

    int hora = 0;
    int minuto = 0;
    int segundo = 0;
    if (leitor.Brancos() && !leitor.Fim()) {
        const auto h = leitor.Numero(1, 2);
        if (!h || !leitor.Caractere(':'))
            return std::nullopt;
        const auto m = leitor.Numero(1, 2);
        if (!m)
            return std::nullopt;
        hora = *h;
        minuto = *m;
        if (leitor.Caractere(':')) {
            const auto s = leitor.Numero(1, 2);
            if (!s)
                return std::nullopt;
            segundo = *s;
        }
        leitor.Brancos();
    }
    if (!leitor.Fim())
        return std::nullopt;

    if (*ano < 1900 || *mes < 1 || *mes > 12 || *dia < 1 || *dia > DiasDoMes(*mes, *ano) ||
        hora > 23 || minuto > 59 || segundo > 59)
        return std::nullopt;

    std::tm campos{};
    campos.tm_year = *ano - 1900;
    campos.tm_mon = *mes - 1;
    campos.tm_mday = *dia;
    campos.tm_hour = hora;
    campos.tm_min = minuto;
    campos.tm_sec = segundo;
    campos.tm_isdst = -1;  // whatever the local rules say for that day
    const std::time_t instante = std::mktime(&campos);
    if (instante == static_cast<std::time_t>(-1))
        return std::nullopt;
    return instante;
}

}  // namespace mirelo_download
