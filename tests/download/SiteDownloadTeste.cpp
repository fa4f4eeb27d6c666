#include "SiteDownloadTeste.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string Crlf(const std::vector<std::string>& linhas)
{
    std::string texto;
    for (const std::string& linha : linhas)
        texto += linha + "\r\n";
    return texto;
}

}  // namespace

const char* const SiteDownloadTeste::kRegistro =
    "WINE REGISTRY Version 2\n"
    "[Software\\\\Orva\\\\Fonte] 1700000000\n"
    "\"Versao\"=\"1.5\"\n";

std::string SiteDownloadTeste::Conteudo(const std::string& nome, std::size_t tamanho)
{
    std::string bytes(tamanho, '\0');
    std::uint32_t estado = 2166136261u;
    for (const char c : nome)
        estado = (estado ^ static_cast<unsigned char>(c)) * 16777619u;
    for (std::size_t i = 0; i < tamanho; ++i) {
        estado = estado * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(estado >> 24);
    }
    return bytes;
}

void SiteDownloadTeste::Escreve(const std::string& caminho, const std::string& bytes) const
{
    const std::filesystem::path destino = Raiz_.Path() + caminho;
    std::filesystem::create_directories(destino.parent_path());
    std::ofstream saida(destino, std::ios::binary | std::ios::trunc);
    saida << bytes;
}

SiteDownloadTeste::SiteDownloadTeste()
{
    Escreve("pub/mirelo/formularios.cfg",
            Crlf({"[Formulario 1]", "nome=Declara\xE7\xE3o Anual", "descricao=Declara\xE7\xE3o",
                  "versao=2.0|15", "chave=SOFTWARE\\Orva\\Declaracao\\Versao",
                  "instalacoes=Completa|/dec/completa/|Simples|/dec/simples/", "",
                  "[Formulario 2]", "nome=Cadastro", "descricao=Cadastro", "versao=1.0|1",
                  "chave=SOFTWARE\\Orva\\Cadastro\\Versao", "instalacoes=Windows|/cad/"}));

    Escreve("pub/mirelo/dec/completa/download.cfg",
            Crlf({"[componente 1]", "nome=Programa", "descricao=Programa principal|0",
                  "disponibilizacao=01/01/2024 10:00:00", "versao=2.0|15",
                  "instalacao=setup.exe|3|/dec/arquivos/",
                  "regra=/regras/r1.txt|/regras/r2.txt", "tamanho=70000", "",
                  "[componente 2]", "nome=Ajuda", "descricao=Manual|1",
                  "disponibilizacao=01/01/2024", "versao=2.0|15",
                  "instalacao=ajuda.zip|1|/dec/arquivos/", "regra=/regras/r3.txt",
                  "tamanho=5000", "", "[componente 3]", "nome=Tabelas",
                  "descricao=Tabelas|1", "disponibilizacao=01/01/2024 10:00",
                  "versao=2.0|16", "instalacao=tabelas.dat|2|/comum/", "tamanho=3000"}));
    Escreve("pub/mirelo/dec/arquivos/setup.exe", Conteudo("setup.exe", 40000));
    Escreve("pub/mirelo/dec/arquivos/setup.w02", Conteudo("setup.w02", 20000));
    Escreve("pub/mirelo/dec/arquivos/setup.w03", Conteudo("setup.w03", 10000));
    Escreve("pub/mirelo/dec/arquivos/ajuda.zip", Conteudo("ajuda.zip", 5000));
    Escreve("pub/mirelo/comum/tabelas.dat", Conteudo("tabelas.dat", 2000));
    Escreve("pub/mirelo/comum/tabelas.w02", Conteudo("tabelas.w02", 1000));

    // r1: one record that applies (no runtime installed). r2: the same support file again, a
    // record of another type and one whose registry value matches. r3: a support file for the
    // second component.
    Escreve("pub/mirelo/regras/r1.txt",
            Crlf({"Regras do programa", "[Regra]", "Tipo=R", "Chave: SOFTWARE\\Orva\\Runtime\\Versao",
                  "Biblioteca", "Valor=3.0", "Arquivo=runtime.dll", "Fim"}));
    Escreve("pub/mirelo/regras/r2.txt",
            Crlf({"// Regras adicionais", "[Regra]", "Tipo=R",
                  "Chave: SOFTWARE\\Orva\\Runtime\\Versao", "De novo", "Valor=3.0",
                  "Arquivo=runtime.dll", "Fim", "[Regra]", "Tipo=r",
                  "Chave: SOFTWARE\\Orva\\Runtime\\Versao", "Tipo inerte", "Valor=3.0",
                  "Arquivo=inerte.dll", "Fim", "[Regra]", "Tipo=R",
                  "Chave: SOFTWARE\\Orva\\Fonte\\Versao", "Instalada", "Valor=1.5",
                  "Arquivo=naoprecisa.dll", "Fim"}));
    Escreve("pub/mirelo/regras/r3.txt",
            Crlf({"Regra da ajuda", "[Regra]", "Tipo=R", "Chave: SOFTWARE\\Orva\\Leitor\\Versao",
                  "Leitor", "Valor=9", "Arquivo=leitor.ttf", "Fim"}));
    Escreve("pub/mirelo/suporte/runtime.dll", Conteudo("runtime.dll", 3000));
    Escreve("pub/mirelo/suporte/leitor.ttf", Conteudo("leitor.ttf", 1500));

    Escreve("pub/mirelo/dec/simples/download.cfg",
            Crlf({"[componente 1]", "nome=Leitor", "descricao=Leitor|0",
                  "disponibilizacao=01/01/2024 10:00:00", "versao=2.0|15",
                  "instalacao=leitor.zip|1|/dec/simples/", "tamanho=4000", "",
                  "[componente 2]", "nome=Vazio", "descricao=Arquivo vazio|1",
                  "disponibilizacao=01/01/2024 10:00:00", "versao=2.0|15",
                  "instalacao=vazio.txt|1|/dec/simples/", "tamanho=0"}));
    Escreve("pub/mirelo/dec/simples/leitor.zip", Conteudo("leitor.zip", 4000));
    Escreve("pub/mirelo/dec/simples/vazio.txt", "");

    Escreve("pub/mirelo/cad/download.cfg",
            Crlf({"[componente 1]", "nome=Cadastro", "descricao=Cadastro|0",
                  "disponibilizacao=01/01/2024 10:00:00", "versao=1.0|1",
                  "instalacao=cadastro.exe|1|/cad/", "tamanho=1000"}));
    Escreve("pub/mirelo/cad/cadastro.exe", Conteudo("cadastro.exe", 1000));

    Serve(0);
}

void SiteDownloadTeste::Serve(double atrasoRespostas)
{
    Servidor.reset();
    PyFtpdServer::Options opcoes;
    opcoes.Root = Raiz_.Path();
    opcoes.LogFile = Registros / "comandos.log";
    opcoes.ReplyDelaySeconds = atrasoRespostas;
    Servidor = std::make_unique<PyFtpdServer>(opcoes);
}

std::vector<std::string> SiteDownloadTeste::Comandos() const
{
    std::ifstream log(Registros / "comandos.log");
    std::vector<std::string> comandos;
    std::string linha;
    while (std::getline(log, linha)) {
        const std::size_t fim = linha.find("] ");
        if (fim != std::string::npos)
            comandos.push_back(linha.substr(fim + 2));
    }
    return comandos;
}

std::vector<std::string> SiteDownloadTeste::Retrs() const
{
    std::vector<std::string> caminhos;
    for (const std::string& comando : Comandos()) {
        if (comando.rfind("RETR ", 0) == 0)
            caminhos.push_back(comando.substr(5));
    }
    return caminhos;
}

int SiteDownloadTeste::ContaRetr(const std::string& nome) const
{
    int conta = 0;
    for (const std::string& caminho : Retrs()) {
        if (caminho.size() > nome.size() &&
            caminho.compare(caminho.size() - nome.size() - 1, nome.size() + 1, "/" + nome) == 0)
            ++conta;
    }
    return conta;
}
