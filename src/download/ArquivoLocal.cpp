#include "download/ArquivoLocal.h"

#include <sys/stat.h>

namespace mirelo_download {

std::int64_t TamanhoArquivo(const std::string& caminho)
{
    struct stat info {};
    if (::stat(caminho.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<std::int64_t>(info.st_size);
}

bool ExisteArquivo(const std::string& caminho, std::int64_t tamanhoRemoto)
{
    return TamanhoArquivo(caminho) == tamanhoRemoto;
}

bool VerificaDataArquivo(const std::string& caminho, std::time_t disponibilizacao)
{
    struct stat info {};
    if (::stat(caminho.c_str(), &info) != 0)
        return false;
    // Whole seconds: a copy written within the release's own second is not older than it.
    return info.st_mtim.tv_sec < disponibilizacao;
}

bool PrecisaBaixar(const std::string& caminho, std::int64_t tamanhoRemoto,
                   std::time_t disponibilizacao)
{
    if (!ExisteArquivo(caminho, tamanhoRemoto))
        return true;
    return VerificaDataArquivo(caminho, disponibilizacao);
}

}  // namespace mirelo_download
