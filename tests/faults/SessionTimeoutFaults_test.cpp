// The faults that only the Timeout can end, on the session and download run that the headless
// mode drives (the program's Timeout is 900 s; here it is 2 s, the only difference): a reply that
// never comes, a multi-line reply that never ends, a data connection the server never opens. The
// wait must end with the user told why, the file must not count as fetched, the process must
// not grow, and a new session must fetch the file again. Then the faults of the connection
// itself: a busy server, a connection the server keeps closing, and the proxy's way to a mirror.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "FaultSite.h"
#include "FaultyFtpServer.h"
#include "LoopbackPeer.h"
#include "ProgramRun.h"
#include "RecordingUserServices.h"
#include "download/ExecucaoDownload.h"
#include "download/JanelasConsole.h"
#include "download/SessaoDownloader.h"
#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"
#include "platform/Registry.h"

namespace {

using Fault = FaultyFtpServer::Fault;
using mirelo_download::FimExecucao;
using mirelo_download::ResultadoExecucao;

constexpr int kTimeoutSeconds = 2;

// One session as the headless mode builds it, working in the sandbox's working folder, which
// is where the session keeps its catalogue copies.
class Sessao {
public:
    Sessao(FaultyFtpServer& server, const faultsite::Sandbox& sandbox)
        : Sessao(std::vector<FaultyFtpServer*>{&server}, sandbox) {}

    // The servers in the order the session tries them.
    Sessao(const std::vector<FaultyFtpServer*>& servers, const faultsite::Sandbox& sandbox)
        : Sessao(Servidores(servers), sandbox) {}

    Sessao(std::vector<TServidorFtp> servidores, const faultsite::Sandbox& sandbox)
        : registro(sandbox.Root / "wine/system.reg"), sessao(loop, servicos, registro, std::move(servidores), 0) {
        sessao.ftpDownloader().SetTimeout(kTimeoutSeconds);
        // A data command that gets no answer is the stall limit's when there is one; these
        // faults are the Timeout's.
        sessao.ftpDownloader().SetStallTimeout(0);
    }

    static std::vector<TServidorFtp> Servidores(const std::vector<FaultyFtpServer*>& servers) {
        std::vector<TServidorFtp> servidores;
        for (const FaultyFtpServer* server : servers)
            servidores.push_back({"127.0.0.1", std::to_string(server->Port())});
        return servidores;
    }

    // Connects, reads the installation's catalogue and runs the download into `pasta`.
    ResultadoExecucao Baixa(const std::string& pasta) {
        if (!sessao.Conectar() || !sessao.PegaDownloadCfg(1, 0))
            return {};
        sessao.LeDownloadCfg();
        mirelo_download::TJanelasDownloadConsole janelas(pasta, false, linhas, false);
        mirelo_download::TExecucaoDownload execucao(sessao, janelas);
        return execucao.btnBaixarClick();
    }

    bool Disse(const std::string& texto) const {
        for (const RecordingUserServices::Box& box : servicos.Boxes)
            if (box.Text.find(texto) != std::string::npos)
                return true;
        return false;
    }

    std::string Mensagens() const {
        std::string todas = linhas.str();
        for (const RecordingUserServices::Box& box : servicos.Boxes)
            todas += box.Caption + ": " + box.Text + "\n";
        return todas;
    }

    platform::PollEventLoop loop;
    RecordingUserServices servicos;
    platform::WineRegistry registro;
    std::ostringstream linhas;
    TSessaoDownloader sessao;
};

class SessionTimeoutFaults : public testing::Test {
protected:
    void SetUp() override {
        faultsite::Serve(server);
        previous = std::filesystem::current_path();
        std::filesystem::current_path(sandbox.Trabalho);
    }

    void TearDown() override { std::filesystem::current_path(previous); }

    // A run that the fault ends: told to the user, no file taken for fetched that was not, and
    // a new session fetches everything whole.
    void ExpectTimedOutRunAndRecovery(Sessao& first, const ResultadoExecucao& result, const std::string& file) {
        EXPECT_EQ(result.Fim, FimExecucao::Interrompida) << first.Mensagens();
        EXPECT_TRUE(first.Disse("A Conexão caiu por Time-out")) << first.Mensagens();
        for (const std::string& baixado : result.Baixados)
            EXPECT_NE(baixado, file);

        server.ClearFault();
        const int before = server.CountCommands("RETR " + file);
        Sessao second(server, sandbox);
        const ResultadoExecucao again = second.Baixa(sandbox.Pasta);
        EXPECT_EQ(again.Fim, FimExecucao::Concluida) << second.Mensagens();
        EXPECT_GT(server.CountCommands("RETR " + file), before);
        for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
            EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
        sandbox.ExpectNothingOutsideTheDownloadFolder();
    }

    FaultyFtpServer server;
    faultsite::Sandbox sandbox;
    std::filesystem::path previous;
};

TEST_F(SessionTimeoutFaults, GreetingThatNeverComes) {
    server.SetFault(Fault::NoReply, "");
    Sessao sessao(server, sandbox);
    EXPECT_FALSE(sessao.sessao.Conectar());
    EXPECT_TRUE(sessao.Disse("A Conexão caiu por Time-out")) << sessao.Mensagens();
    EXPECT_FALSE(sessao.sessao.IsControlOpen());
}

TEST_F(SessionTimeoutFaults, CatalogueReplyThatNeverComes) {
    server.SetFault(Fault::NoReply, "RETR", "formularios.cfg");
    Sessao sessao(server, sandbox);
    EXPECT_FALSE(sessao.sessao.Conectar());
    EXPECT_TRUE(sessao.Disse("A Conexão caiu por Time-out")) << sessao.Mensagens();
    EXPECT_EQ(sessao.sessao.Formularios.Count(), 0u);
}

TEST_F(SessionTimeoutFaults, ReplyThatNeverComesDuringTheRun) {
    server.SetFault(Fault::NoReply, "SIZE", "setup.w02");
    Sessao sessao(server, sandbox);
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    ExpectTimedOutRunAndRecovery(sessao, result, "setup.w02");
}

TEST_F(SessionTimeoutFaults, MultiLineReplyThatNeverEnds) {
    server.SetFault(Fault::EndlessMultiline, "SIZE", "setup.exe");
    Sessao sessao(server, sandbox);
    const long before = ResidentKb();
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    // Seconds of continuation lines at loopback speed, of which the session keeps none.
    if (MemoryChecked()) {
        EXPECT_LT(ResidentKb() - before, 64 * 1024);
    }
    ExpectTimedOutRunAndRecovery(sessao, result, "setup.exe");
}

TEST_F(SessionTimeoutFaults, DataConnectionThatTheServerNeverOpens) {
    server.SetFault(Fault::DataNeverOpens, "RETR", "setup.exe");
    Sessao sessao(server, sandbox);
    // Only with PORT can the server keep the client waiting for a connection of its own.
    sessao.sessao.ftpDownloader().SetPassiveMode(false);
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    EXPECT_FALSE(sandbox.Read(sandbox.Pasta + "setup.exe") == faultsite::ArquivosDoSite()[0].Bytes);
    ExpectTimedOutRunAndRecovery(sessao, result, "setup.exe");
}

// The data stop half-way: however short the Timeout for command replies, a transfer is the
// stall limit's to end, and the run then tries again from the bytes on disk instead of giving up.
TEST_F(SessionTimeoutFaults, AStalledTransferIsLeftToTheStallLimit) {
    server.SetFault(Fault::StallTransfer, "RETR", "setup.exe", 1);
    Sessao sessao(server, sandbox);
    sessao.sessao.ftpDownloader().SetTimeout(1);
    sessao.sessao.ftpDownloader().SetStallTimeout(2);
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    EXPECT_EQ(result.Fim, FimExecucao::Concluida) << sessao.Mensagens();
    EXPECT_FALSE(sessao.Disse("Time-out")) << sessao.Mensagens();
    EXPECT_EQ(server.CountCommands("RETR setup.exe"), 2);
    EXPECT_EQ(server.CountCommands("REST "), 1);
    for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
}

using SessionConnectionFaults = SessionTimeoutFaults;

// A server without passive mode: the session goes on with PORT and keeps to it.
TEST_F(SessionConnectionFaults, AServerWithoutPassiveModeGetsPortAndKeepsIt) {
    server.SetFault(Fault::RefusePasv, "PASV");
    Sessao sessao(server, sandbox);
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    EXPECT_EQ(result.Fim, FimExecucao::Concluida) << sessao.Mensagens();
    EXPECT_EQ(server.CountCommands("PASV"), 1);
    EXPECT_GE(server.CountCommands("PORT "), 6);
    for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
}

// A server that answers every log-on "421" (too many users) is tried again, then left for the
// next server of the list; the user hears nothing of it and the whole run comes from there.
TEST_F(SessionConnectionFaults, ABusyServerGivesWayToTheNextOne) {
    FaultyFtpServer ocupado;
    faultsite::Serve(ocupado);
    ocupado.SetFault(Fault::Greeting421);
    Sessao sessao(std::vector<FaultyFtpServer*>{&ocupado, &server}, sandbox);
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    EXPECT_EQ(result.Fim, FimExecucao::Concluida) << sessao.Mensagens();
    for (const RecordingUserServices::Box& box : sessao.servicos.Boxes)
        EXPECT_NE(box.BoxIcon, platform::UserServices::Icon::Error) << box.Text;
    EXPECT_EQ(ocupado.Sessions(), 2);
    EXPECT_EQ(ocupado.CountCommands("USER"), 0);
    EXPECT_EQ(sessao.sessao.ServidorEmUso(), server.HostAndPort());
    for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
}

// A host that never answers the connection and a server that never greets each hold the log-on
// only for its limit (here the Timeout, 2 s; in the program 30 s, not the 900 s Timeout), and are
// tried again; then the next server of the list does the whole run, and the user hears nothing.
TEST_F(SessionConnectionFaults, ServersThatSayNothingGiveWayToTheNextOne) {
    loopback::UnansweredPort surdo;
    FaultyFtpServer mudo;
    faultsite::Serve(mudo);
    mudo.SetFault(Fault::NoReply, "");
    Sessao sessao(std::vector<TServidorFtp>{{"127.0.0.1", std::to_string(surdo.Port())},
                                            {"127.0.0.1", std::to_string(mudo.Port())},
                                            {"127.0.0.1", std::to_string(server.Port())}},
                  sandbox);
    const ResultadoExecucao result = sessao.Baixa(sandbox.Pasta);
    EXPECT_EQ(result.Fim, FimExecucao::Concluida) << sessao.Mensagens();
    for (const RecordingUserServices::Box& box : sessao.servicos.Boxes)
        EXPECT_NE(box.BoxIcon, platform::UserServices::Icon::Error) << box.Text;
    EXPECT_EQ(mudo.Sessions(), 2);
    EXPECT_EQ(sessao.sessao.ServidorEmUso(), server.HostAndPort());
    for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
}

// The server closes the connection as soon as the installation's folder is asked for: one new
// log-on and try, then the user is told that the connection was closed, not that it timed out.
TEST_F(SessionConnectionFaults, AConnectionTheServerKeepsClosingIsReportedAsClosed) {
    server.SetFault(Fault::CloseDuringReply, "CWD", "completa");
    Sessao sessao(server, sandbox);
    ASSERT_TRUE(sessao.sessao.Conectar()) << sessao.Mensagens();
    EXPECT_FALSE(sessao.sessao.PegaDownloadCfg(1, 0));
    EXPECT_EQ(server.Sessions(), 2);
    ASSERT_EQ(sessao.servicos.Boxes.size(), 1u) << sessao.Mensagens();
    EXPECT_EQ(sessao.servicos.Boxes[0].Text,
              "A conexão com o FTP foi fechada pelo servidor ou pela rede.\rTente de novo.");
    EXPECT_EQ(sessao.sessao.TextoConexaoPerdida(), sessao.servicos.Boxes[0].Text);
}

// With the proxy on, the proxy learns the target from the user name: a mirror switch must name
// the mirror there, as the first log-on names the first server, and keep going to the proxy.
TEST_F(SessionConnectionFaults, AMirrorSwitchThroughTheProxyNamesTheMirror) {
    std::ofstream("proxy.ini") << "S\r\n" << server.HostAndPort() << "\r\n3128\r\n";
    Sessao sessao(std::vector<FaultyFtpServer*>{}, sandbox);
    ASSERT_TRUE(sessao.sessao.Conectar()) << sessao.Mensagens();
    EXPECT_EQ(server.CountCommands("USER anonymous@ftp1.mirelo.org.br"), 1);

    ASSERT_TRUE(sessao.sessao.TrocaSite("Espelho/Sul (espelho.example.org:2121)|/pub/mirelo|"))
        << sessao.Mensagens();
    EXPECT_EQ(server.CountCommands("USER anonymous@espelho.example.org:2121"), 1);
    EXPECT_EQ(server.Sessions(), 2);
    EXPECT_EQ(sessao.sessao.HostName(), "127.0.0.1");
    EXPECT_TRUE(sessao.sessao.IsControlOpen());
    EXPECT_EQ(sessao.sessao.ServidorEmUso(), "espelho.example.org:2121");
    EXPECT_TRUE(sessao.servicos.Boxes.empty()) << sessao.Mensagens();
}

}  // namespace
