#include "download/ModoTexto.h"

#include <filesystem>
#include <ostream>

#include <QString>

#include "catalogue/ComponentCatalogue.h"
#include "catalogue/FormsCatalogue.h"
#include "download/ExecucaoDownload.h"
#include "download/JanelasConsole.h"
#include "download/NomesArquivo.h"
#include "download/ServicosConsole.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"
#include "platform/Registry.h"

namespace mirelo_download {
namespace {

constexpr int kSucesso = 0;
constexpr int kFalha = 1;

std::string Junta(const std::vector<std::string>& nomes)
{
    std::string texto;
    for (const std::string& nome : nomes)
        texto += (texto.empty() ? "" : ", ") + ParaUtf8(nome);
    return texto.empty() ? std::string("nenhum") : texto;
}

// A sentence ends in one full stop, whatever the text it closes ended in.
std::string Frase(std::string texto)
{
    while (!texto.empty() && (texto.back() == '.' || texto.back() == '\r' || texto.back() == ' '))
        texto.pop_back();
    return texto + ".";
}

std::string TamanhoLegivel(const std::string& tamanho)
{
    try {
        return catalogue::TamanhoEmKb(tamanho, ",", ".") + " kb";
    } catch (const std::exception&) {
        return "tamanho desconhecido (\"" + ParaUtf8(tamanho) + "\")";
    }
}

std::vector<std::string> NomesDosFormularios(const catalogue::TabelaFormularios& formularios)
{
    std::vector<std::string> nomes;
    for (std::size_t k = 1; k <= formularios.Count(); ++k)
        nomes.push_back(ParaUtf8(formularios.Slot(k)->Nome));
    return nomes;
}

// A catalogue name as one folder name: the server's names must not climb out of the folder
// the user chose nor split into folders of their own.
std::string NomeDePasta(std::string nome)
{
    for (char& c : nome)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    if (nome.empty() || nome == "." || nome == "..")
        nome = "_" + nome;
    return nome;
}

std::vector<std::string> NomesDasInstalacoes(const catalogue::TEstruturaForm& form)
{
    std::vector<std::string> nomes;
    for (const catalogue::Instalacao& instalacao : catalogue::InstalacoesDe(form))
        nomes.push_back(ParaUtf8(instalacao.Nome));
    return nomes;
}

// The session of one headless run with everything it talks through.
class ExecucaoSemJanela {
public:
    ExecucaoSemJanela(std::ostream& saida, std::ostream& erros)
        : Saida(saida),
          Erros(erros),
          Servicos(erros),
          Sessao(Loop, Servicos, Registro, ServidoresConfigurados()),
          Anunciado(Sessao.ServidorEmUso())
    {
        // Without a status bar, a line says when another server than the usual one answers.
        Sessao.OnServidorEmUso = [this] {
            if (!Sessao.IsControlOpen() || Sessao.ServidorEmUso() == Anunciado)
                return;
            Anunciado = Sessao.ServidorEmUso();
            Erros << "mirelo-downloader: usando o servidor " << Anunciado << ".\n";
            Erros.flush();
        };
    }

    int Listar();
    int Baixar(const OpcoesModoTexto& opcoes, bool terminal);
    int BaixarTudo(const OpcoesModoTexto& opcoes, bool terminal);

private:
    bool Conecta();
    // The download folder, made when missing; nullopt (after saying why) when it cannot be.
    std::optional<std::filesystem::path> PreparaPasta(const std::filesystem::path& pedida);
    // The folder of a download ready, the TLS policy set and the session connected; nullopt
    // (after saying why) when one of them fails.
    std::optional<std::filesystem::path> Comeca(const OpcoesModoTexto& opcoes);
    // One run of the download of installation `posicao` of product `formSlot` into `pasta`,
    // leaving out the optional components named in `pular`; the exit status.
    int BaixaInstalacao(std::size_t formSlot, std::size_t posicao, const std::filesystem::path& pasta,
                        const std::vector<std::string>& pular, bool instalar, bool terminal);
    // Fetches and reads the component catalogue; the node images, or nullopt when it failed.
    std::optional<std::vector<int>> Componentes(std::size_t formSlot, std::size_t posicao);
    int Falha(const std::string& texto);

    std::ostream& Saida;
    std::ostream& Erros;
    platform::PollEventLoop Loop;
    TServicosConsole Servicos;
    platform::WineRegistry Registro;
    TSessaoDownloader Sessao;
    std::string Anunciado;  // the server the user knows to be in use
};

bool ExecucaoSemJanela::Conecta()
{
    if (Sessao.Conectar()) {
        // As the window's status bar does: nobody is left to think the session is private.
        if (!Sessao.ftpDownloader().TlsEncrypted()) {
            // A note, not a failure: the prefix of the program's failure lines stays theirs.
            Erros << "Aviso: a conexão com o servidor " << Sessao.ServidorEmUso()
                  << " não é criptografada.\n";
            Erros.flush();
        }
        return true;
    }
    Falha("não foi possível ler o catálogo de formulários do servidor " + Sessao.HostName() +
          ".");
    return false;
}

std::optional<std::vector<int>> ExecucaoSemJanela::Componentes(std::size_t formSlot,
                                                               std::size_t posicao)
{
    if (!Sessao.PegaDownloadCfg(formSlot, posicao))
        return std::nullopt;
    return Sessao.LeDownloadCfg();
}

int ExecucaoSemJanela::Falha(const std::string& texto)
{
    Erros << "mirelo-downloader: " << texto << "\n";
    Erros.flush();
    return kFalha;
}

int ExecucaoSemJanela::Listar()
{
    if (!Conecta())
        return kFalha;
    int status = kSucesso;
    for (std::size_t f = 1; f <= Sessao.Formularios.Count(); ++f) {
        const catalogue::TEstruturaForm form = *Sessao.Formularios.Slot(f);
        Saida << ParaUtf8(form.Nome) << " (versão " << ParaUtf8(form.Versao) << "/"
              << ParaUtf8(form.Build) << ")\n"
              << "    situação: " << ParaUtf8(Sessao.StatusDoFormulario(form).Texto) << "\n";
        const std::vector<catalogue::Instalacao> instalacoes = catalogue::InstalacoesDe(form);
        for (std::size_t i = 0; i < instalacoes.size(); ++i) {
            Saida << "    instalação: " << ParaUtf8(instalacoes[i].Nome) << "\n";
            const std::optional<std::vector<int>> imagens = Componentes(f, i);
            if (!imagens) {
                Saida << "        (o catálogo de componentes não pôde ser baixado)\n";
                status = Falha("o catálogo de componentes de \"" + ParaUtf8(form.Nome) + "\" / \"" +
                               ParaUtf8(instalacoes[i].Nome) + "\" não pôde ser baixado.");
                continue;
            }
            for (std::size_t k = 1; k <= Sessao.Componentes.Count(); ++k) {
                const catalogue::TEstruturaComp& componente = *Sessao.Componentes.Slot(k);
                const bool fixo = k <= imagens->size() && (*imagens)[k - 1] == catalogue::kImagemFixo;
                Saida << "        " << ParaUtf8(componente.Nome) << ": "
                      << TamanhoLegivel(componente.Tamanho) << ", " << (fixo ? "fixo" : "opcional")
                      << "\n";
            }
        }
    }
    Saida.flush();
    return status;
}

std::optional<std::filesystem::path> ExecucaoSemJanela::PreparaPasta(const std::filesystem::path& pedida)
{
    std::error_code erro;
    std::filesystem::path pasta = pedida.empty() ? std::filesystem::current_path(erro) : pedida;
    pasta = std::filesystem::absolute(pasta, erro);
    std::filesystem::create_directories(pasta, erro);
    if (!std::filesystem::is_directory(pasta)) {
        Falha("a pasta de download \"" + pasta.string() + "\" não existe e não pôde ser criada.");
        return std::nullopt;
    }
    return pasta;
}

std::optional<std::filesystem::path> ExecucaoSemJanela::Comeca(const OpcoesModoTexto& opcoes)
{
    std::optional<std::filesystem::path> pasta = PreparaPasta(opcoes.Pasta);
    if (!pasta)
        return std::nullopt;
    Sessao.ExigeTls = opcoes.ExigeTls;
    if (!Conecta())
        return std::nullopt;
    return pasta;
}

int ExecucaoSemJanela::Baixar(const OpcoesModoTexto& opcoes, bool terminal)
{
    const std::optional<std::filesystem::path> pasta = Comeca(opcoes);
    if (!pasta)
        return kFalha;
    std::string problema;
    const auto formSlot = EncontraNome(NomesDosFormularios(Sessao.Formularios), opcoes.Produto,
                                       "produto", problema);
    if (!formSlot)
        return Falha(problema);
    const catalogue::TEstruturaForm form = *Sessao.Formularios.Slot(*formSlot + 1);
    const auto posicao =
        EncontraNome(NomesDasInstalacoes(form), opcoes.Instalacao, "instalação", problema);
    if (!posicao)
        return Falha(problema);
    return BaixaInstalacao(*formSlot + 1, *posicao, *pasta, opcoes.Pular, opcoes.Instalar, terminal);
}

int ExecucaoSemJanela::BaixarTudo(const OpcoesModoTexto& opcoes, bool terminal)
{
    const std::optional<std::filesystem::path> base = Comeca(opcoes);
    if (!base)
        return kFalha;
    int status = kSucesso;
    for (std::size_t f = 1; f <= Sessao.Formularios.Count(); ++f) {
        const catalogue::TEstruturaForm form = *Sessao.Formularios.Slot(f);
        const std::vector<std::string> instalacoes = NomesDasInstalacoes(form);
        const std::string produto = ParaUtf8(form.Nome);
        for (std::size_t i = 0; i < instalacoes.size(); ++i) {
            Saida << "== " << produto << " / " << instalacoes[i] << "\n";
            Saida.flush();
            const std::optional<std::filesystem::path> pasta =
                PreparaPasta(*base / NomeDePasta(produto) / NomeDePasta(instalacoes[i]));
            if (!pasta || BaixaInstalacao(f, i, *pasta, {}, false, terminal) != kSucesso)
                status = kFalha;  // the next installation is still fetched
        }
    }
    return status;
}

int ExecucaoSemJanela::BaixaInstalacao(std::size_t formSlot, std::size_t posicao,
                                       const std::filesystem::path& pasta,
                                       const std::vector<std::string>& pular, bool instalar,
                                       bool terminal)
{
    const std::optional<std::vector<int>> imagens = Componentes(formSlot, posicao);
    if (!imagens)
        return Falha("o catálogo de componentes não pôde ser baixado.");
    std::string problema;
    std::vector<std::string> nomes;
    for (std::size_t k = 1; k <= Sessao.Componentes.Count(); ++k)
        nomes.push_back(ParaUtf8(Sessao.Componentes.Slot(k)->Nome));
    for (const std::string& pedido : pular) {
        const auto indice = EncontraNome(nomes, pedido, "componente", problema);
        if (!indice)
            return Falha(problema);
        if (*indice < imagens->size() && (*imagens)[*indice] == catalogue::kImagemFixo)
            return Falha("o componente \"" + nomes[*indice] +
                         "\" é fixo: ele sempre faz parte do download.");
        Sessao.Componentes.Slot(*indice + 1)->Marcado = "0";
    }

    TJanelasDownloadConsole janelas(pasta.string(), instalar, Erros, terminal);
    Sessao.OnProgresso = [this, &janelas] { janelas.Progresso(Sessao.BytesRecebidos); };
    TExecucaoDownload execucao(Sessao, janelas);
    const ResultadoExecucao resultado = execucao.btnBaixarClick();
    Sessao.OnProgresso = nullptr;

    if (!resultado.Pasta.empty()) {
        Saida << "Pasta: " << resultado.Pasta << "\n"
              << "Baixados: " << Junta(resultado.Baixados) << "\n"
              << "Mantidos: " << Junta(resultado.Mantidos) << "\n";
        if (resultado.Fim == FimExecucao::Concluida || resultado.Fim == FimExecucao::ComFalhas)
            Saida << "Arquivos de suporte (Regras.Ini): " << Junta(resultado.Suportes) << "\n";
        if (!resultado.Instalador.empty())
            Saida << "Instalador: " << ParaUtf8(resultado.Instalador)
                  << (resultado.InstaladorIniciado ? " (iniciado)" : " (não iniciado)") << "\n";
        Saida.flush();
    }
    switch (resultado.Fim) {
    case FimExecucao::Concluida:
        // --install asked for the installer; the run has said why it did not start.
        if (instalar && !resultado.Instalador.empty() && !resultado.InstaladorIniciado)
            return Falha("o instalador não foi iniciado.");
        return kSucesso;
    case FimExecucao::ComFalhas:
        return Falha(Frase("alguns arquivos não foram baixados: " + Junta(resultado.Falhas)));
    case FimExecucao::NaoIniciada:
    case FimExecucao::Cancelada:
    case FimExecucao::Interrompida:
        break;
    }
    return Falha(Frase("o download não foi concluído" +
                       (resultado.Mensagem.empty() ? std::string() : ": " + resultado.Mensagem)));
}

}  // namespace

std::string TextoDeUso()
{
    return "Uso:\n"
           "  mirelo-downloader                 abre a janela do Downloader\n"
           "  mirelo-downloader --list          lista produtos (com a versão instalada), instalações "
           "e componentes\n"
           "  mirelo-downloader --download PRODUTO INSTALACAO [--to PASTA] [--skip COMPONENTE]... "
           "[--install]\n"
           "                  [--require-tls]\n"
           "                                    baixa os componentes da instalação para PASTA (ou a "
           "pasta atual),\n"
           "                                    deixando de fora os componentes opcionais "
           "indicados;\n"
           "                                    com --install inicia o instalador no fim;\n"
           "                                    com --require-tls usa só servidores com conexão "
           "segura (TLS).\n"
           "  mirelo-downloader --download-all [--to PASTA] [--require-tls]\n"
           "                                    baixa todas as instalações de todos os produtos "
           "numa só conexão,\n"
           "                                    cada uma em PASTA/PRODUTO/INSTALACAO.\n"
           "  mirelo-downloader --version       mostra a versão do programa\n"
           "Os nomes podem ser abreviados pelo começo, sem distinção de maiúsculas, quando não há "
           "dúvida.\n"
           "O servidor pode ser indicado em MIRELO_FTP_HOSTS (host ou host:porta).\n";
}

bool PedeModoTexto(const std::vector<std::string>& argumentos)
{
    static const char* const kOpcoes[] = {"--list", "--download", "--download-all", "--help", "-h",
                                          "--version"};
    if (argumentos.empty())
        return false;
    for (const char* opcao : kOpcoes)
        if (argumentos[0] == opcao)
            return true;
    return false;
}

std::optional<OpcoesModoTexto> LeArgumentos(const std::vector<std::string>& argumentos,
                                            std::string& erro)
{
    OpcoesModoTexto opcoes;
    if (argumentos.empty() || argumentos[0] == "--help" || argumentos[0] == "-h") {
        if (argumentos.size() > 1) {
            erro = "argumento inesperado: " + argumentos[1];
            return std::nullopt;
        }
        return opcoes;
    }
    if (argumentos[0] == "--version") {
        if (argumentos.size() > 1) {
            erro = "--version não aceita argumentos (recebeu \"" + argumentos[1] + "\").";
            return std::nullopt;
        }
        opcoes.Pedido = OpcoesModoTexto::Acao::Versao;
        return opcoes;
    }
    if (argumentos[0] == "--list") {
        if (argumentos.size() > 1) {
            erro = "--list não aceita argumentos (recebeu \"" + argumentos[1] + "\").";
            return std::nullopt;
        }
        opcoes.Pedido = OpcoesModoTexto::Acao::Listar;
        return opcoes;
    }
    if (argumentos[0] != "--download" && argumentos[0] != "--download-all") {
        erro = "opção desconhecida: " + argumentos[0];
        return std::nullopt;
    }
    const bool tudo = argumentos[0] == "--download-all";
    opcoes.Pedido = tudo ? OpcoesModoTexto::Acao::BaixarTudo : OpcoesModoTexto::Acao::Baixar;
    std::vector<std::string> posicionais;
    for (std::size_t i = 1; i < argumentos.size(); ++i) {
        const std::string& argumento = argumentos[i];
        if (argumento == "--to" || (argumento == "--skip" && !tudo)) {
            if (i + 1 >= argumentos.size()) {
                erro = argumento + " precisa de um valor.";
                return std::nullopt;
            }
            const std::string& valor = argumentos[++i];
            if (argumento == "--to") {
                if (!opcoes.Pasta.empty()) {
                    erro = "--to foi dado mais de uma vez.";
                    return std::nullopt;
                }
                opcoes.Pasta = valor;
            } else {
                opcoes.Pular.push_back(valor);
            }
        } else if (argumento == "--install" && !tudo) {
            opcoes.Instalar = true;
        } else if (argumento == "--require-tls") {
            opcoes.ExigeTls = true;
        } else if (argumento.rfind("--", 0) == 0) {
            erro = "opção desconhecida: " + argumento;
            return std::nullopt;
        } else {
            posicionais.push_back(argumento);
        }
    }
    if (tudo) {
        if (!posicionais.empty()) {
            erro = "--download-all não aceita nomes (recebeu \"" + posicionais[0] + "\").";
            return std::nullopt;
        }
        return opcoes;
    }
    if (posicionais.size() != 2) {
        erro = "--download precisa do PRODUTO e da INSTALACAO (recebeu " +
               std::to_string(posicionais.size()) + " nomes).";
        return std::nullopt;
    }
    opcoes.Produto = posicionais[0];
    opcoes.Instalacao = posicionais[1];
    return opcoes;
}

std::optional<std::size_t> EncontraNome(const std::vector<std::string>& nomes,
                                        const std::string& pedido, const std::string& oque,
                                        std::string& erro)
{
    std::vector<std::string> lista;
    for (const std::string& nome : nomes)
        lista.push_back("\"" + nome + "\"");
    const std::string disponiveis = lista.empty() ? std::string("nenhum") : Junta(lista);

    for (std::size_t i = 0; i < nomes.size(); ++i) {
        if (nomes[i] == pedido)
            return i;
    }
    const QString procurado = QString::fromStdString(pedido);
    std::vector<std::size_t> iguais;
    std::vector<std::size_t> comecos;
    for (std::size_t i = 0; i < nomes.size() && !procurado.isEmpty(); ++i) {
        const QString nome = QString::fromStdString(nomes[i]);
        if (nome.compare(procurado, Qt::CaseInsensitive) == 0)
            iguais.push_back(i);
        if (nome.startsWith(procurado, Qt::CaseInsensitive))
            comecos.push_back(i);
    }
    if (iguais.size() == 1)
        return iguais.front();
    if (comecos.size() == 1)
        return comecos.front();
    if (comecos.empty())
        erro = "nenhum " + oque + " se chama \"" + pedido + "\". Há: " + disponiveis + ".";
    else
        erro = "\"" + pedido + "\" pode ser mais de um " + oque + ". Há: " + disponiveis + ".";
    return std::nullopt;
}

int ExecutaModoTexto(const std::vector<std::string>& argumentos, std::ostream& saida,
                     std::ostream& erros, bool terminal)
{
    std::string erro;
    const std::optional<OpcoesModoTexto> opcoes = LeArgumentos(argumentos, erro);
    if (!opcoes) {
        erros << "mirelo-downloader: " << erro << "\n" << TextoDeUso();
        return kFalha;
    }
    if (opcoes->Pedido == OpcoesModoTexto::Acao::Ajuda) {
        saida << TextoDeUso();
        return kSucesso;
    }
    if (opcoes->Pedido == OpcoesModoTexto::Acao::Versao) {
        saida << "mirelo-downloader " << kVersaoPrograma << "\n";
        return kSucesso;
    }
    ExecucaoSemJanela execucao(saida, erros);
    if (opcoes->Pedido == OpcoesModoTexto::Acao::Listar)
        return execucao.Listar();
    if (opcoes->Pedido == OpcoesModoTexto::Acao::BaixarTudo)
        return execucao.BaixarTudo(*opcoes, terminal);
    return execucao.Baixar(*opcoes, terminal);
}

}  // namespace mirelo_download
