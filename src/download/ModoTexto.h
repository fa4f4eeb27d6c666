// The headless mode of mirelo-downloader, for people without a display and for scripts:
//   --list                                      the products, installations and components
//   --download PRODUCT INSTALLATION [--to DIR] [--skip COMPONENT]... [--install]
//   --help, --version
// The download runs the same session and download run as the window, with the poll event loop,
// questions answered yes, the folder DIR (or the current one), a line per file on the error
// stream, and the installer started only with --install. Names match exactly or by a unique
// case-insensitive prefix. Loop thread only (it creates its own loop).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace mirelo_download {

struct OpcoesModoTexto {
    enum class Acao { Ajuda, Versao, Listar, Baixar, BaixarTudo };
    Acao Pedido = Acao::Ajuda;
    std::string Produto;
    std::string Instalacao;
    std::string Pasta;  // empty: the current folder; --download-all: one folder under it per installation
    std::vector<std::string> Pular;
    bool Instalar = false;
    bool ExigeTls = false;  // --require-tls: a server without TLS is not used
};

// Whether the command line (without the program name) asks for the headless mode: its first
// argument is one of this mode's options. Anything else (no argument, or Qt's own such as
// "-session" from the desktop's session restore or "-style") starts the window.
bool PedeModoTexto(const std::vector<std::string>& argumentos);

// The program's version, as the window's header and --version show it.
inline constexpr const char* kVersaoPrograma = "2.0";

// The command line without the program name. nullopt with `erro` (for the user) when malformed.
std::optional<OpcoesModoTexto> LeArgumentos(const std::vector<std::string>& argumentos,
                                            std::string& erro);

// The position of `pedido` among `nomes` (UTF-8): the exact name, else the only name that starts
// with it regardless of case. nullopt with `erro` naming what was asked (`oque`: "produto", ...)
// and what there is.
std::optional<std::size_t> EncontraNome(const std::vector<std::string>& nomes,
                                        const std::string& pedido, const std::string& oque,
                                        std::string& erro);

// The usage text.
std::string TextoDeUso();

// Runs the headless mode; the listing and the summary go to `saida`, progress, messages and
// errors to `erros`. Returns the exit status: 0 on success, 1 on any failure (a bad command line
// included), after a line that names it. `terminal`: `erros` is a terminal, so the line of the
// arriving file may be redrawn.
int ExecutaModoTexto(const std::vector<std::string>& argumentos, std::ostream& saida,
                     std::ostream& erros, bool terminal);

}  // namespace mirelo_download
