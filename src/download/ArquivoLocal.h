// What the download run asks of the local copy of a file before it fetches it: is it there with
// the server's length, and is it older than the component's release; and the temporary file a
// fetch writes into, beside the final one, until the whole file has arrived. Reads and changes
// the file system only; any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace mirelo_download {

// True when `caminho` is a regular file whose length in bytes equals `tamanhoRemoto`. A server
// that refused SIZE reports 0, so an empty local file then counts as complete.
bool ExisteArquivo(const std::string& caminho, std::int64_t tamanhoRemoto);

// True when `caminho` exists and was last modified strictly before `disponibilizacao`; false
// when it does not exist or its time cannot be read.
bool VerificaDataArquivo(const std::string& caminho, std::time_t disponibilizacao);

// The fetch decision: fetch when the local copy is missing or of another length, or when it is
// complete but older than the release.
bool PrecisaBaixar(const std::string& caminho, std::int64_t tamanhoRemoto,
                   std::time_t disponibilizacao);

// The length of a regular file, or -1 when there is none at `caminho`.
std::int64_t TamanhoArquivo(const std::string& caminho);

// The temporary name a fetch of `caminho` writes into: "setup.exe.40000.parcial" for a file the
// server sized at 40000 bytes, "setup.exe.parcial" when the size is unknown. The size in the name
// is what lets a later run tell whether the bytes in it belong to the file the server has now.
std::string NomeParcial(const std::string& caminho, std::optional<std::int64_t> tamanho);

// Readies the temporary of `caminho` for a fetch of the server's file of `tamanho` bytes and
// returns how many of its bytes the fetch may keep (0: from the start). Removes the temporaries
// of the same file that were left for another size, and this one when it cannot be continued:
// the size is unknown, it is longer than the file, or it is older than `naoAntesDe` (the
// release, 0 for none).
std::int64_t PreparaParcial(const std::string& caminho, std::optional<std::int64_t> tamanho,
                            std::time_t naoAntesDe);

// Gives the temporary `parcial` its final name `caminho`, replacing an earlier copy in one
// step. False when the rename failed (errno tells why); the temporary then stays.
bool ConcluiParcial(const std::string& parcial, const std::string& caminho);

}  // namespace mirelo_download
