// What the download run asks of the local copy of a file before it fetches it: is it there with
// the server's length, and is it older than the component's release. Reads the file system only;
// any thread.
#pragma once

#include <cstdint>
#include <ctime>
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

}  // namespace mirelo_download
