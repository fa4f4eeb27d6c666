// The names of a download run's files: the part names of a split component, the local path of a
// server file in the download folder, and server text turned into UTF-8 for messages. Pure
// functions; any thread.
#pragma once

#include <optional>
#include <string>

namespace mirelo_download {

// The k-th file (k >= 2) of a component whose first file is `arquivo`: the name before its first
// "." (the whole name when there is none), ".w" and k in decimal, padded to two digits
// ("setup.exe", 3 gives "setup.w03"; "dados.zip", 100 gives "dados.w100").
std::string NomeParte(const std::string& arquivo, int k);

// `pasta` (ending in "/") followed by `nome` as it is written on disk (catalogue::NomeEmDisco:
// UTF-8), or nullopt when `nome` is not a plain file name (empty, absolute, or holding "/", "\"
// or "..") and so could reach outside the folder.
std::optional<std::string> CaminhoLocal(const std::string& pasta, const std::string& nome);

// The user's message for a refused name; `nome` keeps the server's bytes.
std::string MensagemNomeInvalido(const std::string& nome);

// Server and catalogue texts are Windows-1252; messages are UTF-8 (catalogue::ParaUtf8).
std::string ParaUtf8(const std::string& texto);

// A folder as the program hands it around: ending in "/" ("./" for the empty text).
std::string ComBarraFinal(std::string pasta);

}  // namespace mirelo_download
