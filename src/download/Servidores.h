// The FTP servers the program may log on to: the built-in pair, or the one or two given in
// MIRELO_FTP_HOSTS ("host" or "host:port", comma-separated), and the "host:port" form that a
// mirror line may also use. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TServidorFtp {
    std::string Host;
    std::string Porta = "ftp";  // a service name or a number, as the FTP client's Port takes it

    bool operator==(const TServidorFtp&) const = default;
};

// The maker's two servers.
std::vector<TServidorFtp> ServidoresEmbutidos();

// "host" or "host:port" (a port of 1 to 65535). nullopt for an empty host or a bad port.
std::optional<TServidorFtp> SeparaHostPorta(const std::string& texto);

// The value of MIRELO_FTP_HOSTS: one or two entries, comma-separated, blanks around each ignored.
// nullopt with `erro` set (in English, for the developer) when the value is malformed.
std::optional<std::vector<TServidorFtp>> LeListaServidores(const std::string& valor,
                                                          std::string& erro);

// The servers to use: MIRELO_FTP_HOSTS when it is set and well formed, else the built-in pair.
// A malformed value is reported on standard error.
std::vector<TServidorFtp> ServidoresConfigurados();

// The anonymous password, an e-mail-style text of 15 characters.
inline constexpr const char* kSenhaAnonima = "user@mirelo.net";
// The maker's page and help desk.
inline constexpr const char* kPaginaOrva = "www.orva.org.br";
inline constexpr const char* kEmailAtendimento = "atendimento@orva.org.br";
inline constexpr const char* kTelefoneAtendimento = "0800 770 4510";
