#include "catalogue/ProxySettings.h"

#include <vector>

#include "catalogue/TextFile.h"

namespace catalogue {

ConfiguracaoProxy ProxyIniPadrao() {
    return {"N", "servidor proxy", "3128"};
}

ConfiguracaoProxy InterpretaProxyIni(std::string_view texto) {
    const std::vector<std::string> linhas = SplitLines(texto);
    const auto linha = [&linhas](std::size_t i) {
        return i < linhas.size() ? linhas[i] : std::string();
    };
    return {linha(0), linha(1), linha(2)};
}

void GravaProxyIni(const std::string& caminho, const ConfiguracaoProxy& configuracao) {
    TextFileWriter arquivo(caminho);
    arquivo.WriteLine(configuracao.UsaProxy);
    arquivo.WriteLine(configuracao.ProxyServidor);
    arquivo.WriteLine(configuracao.ProxyPorta);
    arquivo.Close();
}

void AplicaProxy(const ConfiguracaoProxy& configuracao, SessaoFtp& sessao,
                 std::string_view primeiroServidor, std::string_view senhaAnonima) {
    if (configuracao.UsaProxy != "S")
        return;
    sessao.HostName = configuracao.ProxyServidor;
    sessao.UserName = "anonymous@" + std::string(primeiroServidor);
    sessao.PassWord = std::string(senhaAnonima);
    sessao.PassiveMode = true;
}

ConfiguracaoProxy SetProxy(SessaoFtp& sessao, std::string_view primeiroServidor,
                           std::string_view senhaAnonima, const std::string& caminho) {
    ConfiguracaoProxy estado;
    if (FileExists(caminho))
        estado = InterpretaProxyIni(ReadTextFile(caminho));
    else
        GravaProxyIni(caminho, ProxyIniPadrao());
    AplicaProxy(estado, sessao, primeiroServidor, senhaAnonima);
    return estado;
}

ConfiguracaoProxy LeProxyDoDialogo(const std::string& caminho) {
    if (FileExists(caminho))
        return InterpretaProxyIni(ReadTextFile(caminho));
    const ConfiguracaoProxy vazia{"N", "", ""};
    GravaProxyIni(caminho, vazia);
    return vazia;
}

}  // namespace catalogue
