#include "download/ArquivoLocal.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

namespace mirelo_download {
namespace {

constexpr const char* kSufixoParcial = ".parcial";

bool SoDigitos(std::string_view texto)
{
    for (const char c : texto) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Whether `nome` is a temporary of the file `base`, for any size or none.
bool EParcialDe(const std::string& nome, const std::string& base)
{
    const std::string_view sufixo(kSufixoParcial);
    if (nome.size() < base.size() + sufixo.size() || nome.compare(0, base.size(), base) != 0 ||
        nome.compare(nome.size() - sufixo.size(), sufixo.size(), sufixo) != 0)
        return false;
    std::string_view meio(nome);
    meio = meio.substr(base.size(), meio.size() - base.size() - sufixo.size());
    // "base.parcial", or "base." + digits + ".parcial".
    return meio.empty() || (meio.size() >= 2 && meio.front() == '.' && SoDigitos(meio.substr(1)));
}

}  // namespace

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

std::string NomeParcial(const std::string& caminho, std::optional<std::int64_t> tamanho)
{
    if (!tamanho)
        return caminho + kSufixoParcial;
    return caminho + "." + std::to_string(*tamanho) + kSufixoParcial;
}

std::int64_t PreparaParcial(const std::string& caminho, std::optional<std::int64_t> tamanho,
                            std::time_t naoAntesDe)
{
    namespace fs = std::filesystem;
    const std::string parcial = NomeParcial(caminho, tamanho);
    const fs::path pasta = fs::path(caminho).parent_path();
    const std::string base = fs::path(caminho).filename().string();
    const std::string proprio = fs::path(parcial).filename().string();
    std::error_code erro;
    // Temporaries for sizes the server no longer reports can never be continued.
    for (fs::directory_iterator item(pasta.empty() ? fs::path(".") : pasta, erro), fim;
         !erro && item != fim; item.increment(erro)) {
        const std::string nome = item->path().filename().string();
        std::error_code semErro;
        if (nome != proprio && EParcialDe(nome, base))
            fs::remove(item->path(), semErro);
    }
    const std::int64_t temos = TamanhoArquivo(parcial);
    if (temos <= 0)
        return 0;
    if (!tamanho || temos > *tamanho || VerificaDataArquivo(parcial, naoAntesDe)) {
        std::remove(parcial.c_str());
        return 0;
    }
    return temos;
}

bool ConcluiParcial(const std::string& parcial, const std::string& caminho)
{
    return std::rename(parcial.c_str(), caminho.c_str()) == 0;
}

}  // namespace mirelo_download
