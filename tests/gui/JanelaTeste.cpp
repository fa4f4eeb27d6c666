#include "JanelaTeste.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <QTreeWidget>

#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "gui/uMireloDownloaderAsyncConexao.h"
#include "gui/uMireloDownloaderAsyncPrincipal.h"
#include "gui/uMireloDownloaderAsyncProxy.h"

namespace fs = std::filesystem;

void EscreveCp1252(const std::string& caminho, const std::string& texto)
{
    if (const fs::path pasta = fs::path(caminho).parent_path(); !pasta.empty())
        fs::create_directories(pasta);
    const QByteArray bytes = QString::fromStdString(texto).replace("\n", "\r\n").toLatin1();
    std::ofstream saida(caminho, std::ios::binary | std::ios::trunc);
    saida.write(bytes.constData(), bytes.size());
    if (!saida)
        throw std::runtime_error("cannot write " + caminho);
}

JanelaTeste::JanelaTeste()
    : antes(fs::current_path()), registro(trabalho / "system.reg")
{
    fs::current_path(trabalho.Path());
}

JanelaTeste::~JanelaTeste()
{
    Fecha();
    fs::current_path(antes);
}

void JanelaTeste::Fecha()
{
    // The dialogs are the window's children: they go first, as in the program entry.
    proxy.reset();
    conexao.reset();
    janela.reset();
    sessao.reset();
}

void JanelaTeste::EscreveSite(const std::string& raiz, const std::string& diretorioSite,
                              const std::string& nomeComponente)
{
    const std::string produtos = raiz + "pub/mirelo/";
    EscreveCp1252(produtos + "formularios.cfg",
                  "[Formulario 1]\n"
                  "nome=Declaração Anual\n"
                  "descricao=Declaração do exercício\n"
                  "versao=2.1|34\n"
                  "chave=SOFTWARE\\Mirelo\\Declaracao\\Versao\n"
                  "instalacoes=Completa|/decl/completa/|Atualização|/decl/atual/\n"
                  "\n"
                  "[Formulario 2]\n"
                  "nome=Cadastro\n"
                  "descricao=Cadastro de contribuintes\n"
                  "versao=1.4|102\n"
                  "chave=SOFTWARE\\Mirelo\\Cadastro\\Versao\n"
                  "instalacoes=Windows|/cad/win/\n"
                  "\n"
                  "[Formulario 3]\n"
                  "nome=<b>Negrito</b>\n"
                  "descricao=<i>sem marcação</i>\n"
                  "versao=3.0|1\n"
                  "chave=SOFTWARE\\Mirelo\\Nada\\Versao\n"
                  "instalacoes=\n");
    EscreveCp1252(produtos + "mensagem.txt", "Mensagem de teste: <b>prazo</b> até 30/04.\n");
    const std::string instalacoes = raiz + diretorioSite.substr(1) + "/";
    EscreveCp1252(instalacoes + "decl/completa/download.cfg",
                  "[componente 1]\n"
                  "nome=Programa principal\n"
                  "descricao=O programa|0\n"
                  "disponibilizacao=15/03/2024 08:00:00\n"
                  "versao=2.1|34\n"
                  "instalacao=setup.exe|2|/decl/arquivos/\n"
                  "tamanho=1536\n"
                  "\n"
                  "[componente 2]\n"
                  "nome=" + nomeComponente + "\n"
                  "descricao=Manual em PDF|1\n"
                  "disponibilizacao=16/03/2024 09:00:00\n"
                  "versao=2.1|35\n"
                  "instalacao=manual.pdf|1|/decl/arquivos/\n"
                  "tamanho=2097152\n"
                  "\n"
                  "[componente 3]\n"
                  "nome=Tabelas\n"
                  "descricao=Tabelas de cálculo\n"
                  "versao=2.1|35\n"
                  "instalacao=tabelas.zip|1|/decl/arquivos/\n"
                  "tamanho=x12\n");
    EscreveCp1252(instalacoes + "decl/atual/download.cfg",
                  "[componente 1]\n"
                  "nome=Atualização\n"
                  "descricao=Só a atualização|0\n"
                  "versao=2.1|34\n"
                  "instalacao=atualiza.exe|1|/decl/arquivos/\n"
                  "tamanho=0\n");
}

void JanelaTeste::Abre(std::vector<TServidorFtp> servidores)
{
    sessao = std::make_unique<TSessaoDownloader>(loop, servicos, registro, std::move(servidores),
                                                 0);
    if (std::getenv("MIRELO_FTP_TRACE") != nullptr)
        sessao->ftpDownloader().OnDisplay = [](TObject*, std::string& texto) {
            std::fprintf(stderr, "%s\n", texto.c_str());
        };
    // A lost event fails the test in seconds instead of waiting out the program's 900.
    sessao->ftpDownloader().SetTimeout(20);
    janela = std::make_unique<TfrmMireloDownloaderAsyncPrincipal>(*sessao);
    conexao = std::make_unique<TfMireloDownloaderAsyncConexao>(
        servicos, TfrmMireloDownloaderAsyncPrincipal::ImagemBarra(1), janela.get());
    proxy = std::make_unique<TfMireloDownloaderAsyncProxy>(servicos, "proxy.ini", janela.get());
    janela->SetConexao(conexao.get());
    janela->SetDialogoProxy(proxy.get());
}

QTreeWidgetItem* JanelaTeste::Topo() const
{
    return janela->NoTopo();
}

QTreeWidgetItem* JanelaTeste::No(std::initializer_list<int> posicoes) const
{
    QTreeWidgetItem* node = Topo();
    for (int posicao : posicoes) {
        if (node == nullptr || posicao >= node->childCount())
            return nullptr;
        node = node->child(posicao);
    }
    return node;
}

std::vector<int> JanelaTeste::ImagensDosFilhos(QTreeWidgetItem* node) const
{
    std::vector<int> imagens;
    for (int i = 0; node != nullptr && i < node->childCount(); ++i)
        imagens.push_back(TfrmMireloDownloaderAsyncPrincipal::ImagemDoNo(node->child(i)));
    return imagens;
}
