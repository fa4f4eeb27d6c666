#include "download/JanelasConsole.h"

#include <ostream>

#include "download/ContaBaixando.h"
#include "download/NomesArquivo.h"

namespace mirelo_download {

class TJanelasDownloadConsole::Tela : public TelaBaixando {
public:
    explicit Tela(TJanelasDownloadConsole& dono) : Dono(dono) { Dono.Atual = this; }
    ~Tela() override
    {
        if (Dono.Atual == this)
            Dono.Atual = nullptr;
    }

    void Inicia(const std::string&, const std::string& nomeArquivo) override
    {
        Nome = ParaUtf8(nomeArquivo);
    }
    void DefineTotal(std::int64_t tamanho) override { Total = tamanho; }

    void TentaDeNovo(int tentativa, int maximo, const std::string& motivo) override
    {
        if (Dono.Vivo)
            Dono.Saida << "\r\x1b[K";
        Dono.Saida << "tentando novamente";
        if (tentativa > 0)
            Dono.Saida << " (" << tentativa << " de " << maximo << ")";
        Dono.Saida << ": " << Nome << ": " << ParaUtf8(motivo) << "\n";
        Dono.Saida.flush();
    }

    void Termina(const std::string& falha) override
    {
        if (Dono.Vivo)
            Dono.Saida << "\r\x1b[K";
        if (falha.empty())
            Dono.Saida << "baixado: " << Nome << " (" << TextoTotal(Total) << ")\n";
        else
            Dono.Saida << "falhou:  " << Nome << ": " << ParaUtf8(falha) << "\n";
        Dono.Saida.flush();
        Fechada = true;
    }
    bool Aberta() const override { return !Fechada; }

    void Desenha(std::int64_t bytes)
    {
        Dono.Saida << "\r\x1b[Kbaixando " << Nome << ": " << TextoTotal(bytes) << " de "
                   << TextoTotal(Total);
        Dono.Saida.flush();
    }

private:
    TJanelasDownloadConsole& Dono;
    std::string Nome;
    std::int64_t Total = 0;
    bool Fechada = false;
};

TJanelasDownloadConsole::TJanelasDownloadConsole(std::string pasta, bool instalar,
                                                 std::ostream& saida, bool vivo)
    : Pasta(ComBarraFinal(std::move(pasta))), Instalar(instalar), Saida(saida), Vivo(vivo)
{
}

std::string TJanelasDownloadConsole::EscolhePasta(const std::string&)
{
    return Pasta;
}

std::unique_ptr<TelaBaixando> TJanelasDownloadConsole::MostraBaixando(std::function<void()>)
{
    // No one can press Cancelar here; an interrupt ends the whole program.
    return std::make_unique<Tela>(*this);
}

bool TJanelasDownloadConsole::PerguntaInstalar(const std::string&, const std::string&)
{
    if (!Instalar)
        Saida << "O instalador não foi iniciado (use --install para iniciá-lo).\n";
    return Instalar;
}

void TJanelasDownloadConsole::ArquivoMantido(const std::string& nomeArquivo)
{
    Saida << "mantido: " << ParaUtf8(nomeArquivo)
          << " (a cópia da pasta está completa e atualizada)\n";
    Saida.flush();
}

void TJanelasDownloadConsole::Progresso(std::int64_t bytesRecebidos)
{
    if (!Vivo || Atual == nullptr)
        return;
    const auto agora = std::chrono::steady_clock::now();
    if (agora - UltimoDesenho < std::chrono::milliseconds(250))
        return;
    UltimoDesenho = agora;
    Atual->Desenha(bytesRecebidos);
}

}  // namespace mirelo_download
