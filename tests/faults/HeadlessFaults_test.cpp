// mirelo-downloader in headless mode, run as a user runs it, against a server that misbehaves:
// for every fault the program must end with a message a person can read and a failing exit
// status, write nothing outside the download folder, never report a file that did not arrive
// whole, fetch it again on the next run, and neither crash, hang nor grow without bound.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "FaultSite.h"
#include "FaultyFtpServer.h"
#include "FtpServers.h"
#include "ProgramRun.h"

#ifdef MIRELO_DOWNLOADER

namespace {

using Fault = FaultyFtpServer::Fault;
using faultsite::kInstalacao;
using faultsite::kProduto;

// Far above what the program needs for these sites (about 30 MB), far below what a reply or a
// catalogue that is kept whole in memory again and again would take.
constexpr long kMemoryLimitKb = 256 * 1024;

class HeadlessFaults : public testing::Test {
protected:
    void SetUp() override { faultsite::Serve(server); }

    void TearDown() override {
        if (HasFailure()) {
            for (const ProgramResult& run : runs)
                std::printf("--- stdout\n%s--- stderr\n%s---\n", run.Out.c_str(), run.Err.c_str());
            for (const std::string& command : server.Commands())
                std::printf("  server got: %.200s\n", command.c_str());
        }
    }

    std::vector<std::pair<std::string, std::string>> Environment(const std::string& hosts) const {
        return {{"MIRELO_FTP_HOSTS", hosts},
                {"HOME", sandbox.Root / "home"},
                {"WINEPREFIX", sandbox.Root / "wine"},
                {"QT_QPA_PLATFORM", "offscreen"},
                {"LC_ALL", "C.UTF-8"}};
    }

    ProgramResult Run(const std::vector<std::string>& args, const std::string& hosts = "") {
        std::vector<std::string> argv{MIRELO_DOWNLOADER};
        argv.insert(argv.end(), args.begin(), args.end());
        last = RunProgram(argv, sandbox.Trabalho, Environment(hosts.empty() ? server.HostAndPort() : hosts),
                          std::chrono::seconds(90));
        // Whatever the fault: no hang, no crash, bounded memory.
        EXPECT_TRUE(last.Finished) << "the program was still running after 90 s";
        EXPECT_EQ(last.Signal, 0) << "the program died of signal " << last.Signal;
        if (MemoryChecked()) {
            EXPECT_LT(last.MaxRssKb, kMemoryLimitKb);
        }
        runs.push_back(last);
        return last;
    }

    ProgramResult Download(const std::string& hosts = "") {
        return Run({"--download", kProduto, kInstalacao, "--to", sandbox.Pasta}, hosts);
    }

    // A failed run: exit status 1 and, on the error stream, the program's own line saying why,
    // in the user's language: none of the FTP component's English texts for developers.
    void ExpectReadableFailure(const ProgramResult& result, const std::string& reason) {
        EXPECT_EQ(result.ExitStatus, 1);
        EXPECT_NE(result.Err.find("mirelo-downloader: "), std::string::npos);
        EXPECT_NE(result.Err.find(reason), std::string::npos) << "expected on stderr: " << reason;
        EXPECT_EQ(result.Err.find("FTP component"), std::string::npos);
    }

    // A run that a fault of the connection did not stop: the session logged on again by itself,
    // the user was told of no failure and every file is whole.
    void ExpectRecovered(const ProgramResult& result) {
        EXPECT_EQ(result.ExitStatus, 0) << result.Err;
        EXPECT_EQ(result.Err.find("mirelo-downloader: "), std::string::npos) << result.Err;
        for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
            EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
        sandbox.ExpectNothingOutsideTheDownloadFolder();
    }

    // The summary line "Baixados: a, b" of the last run.
    std::string Baixados() const {
        const std::size_t at = last.Out.find("Baixados: ");
        return at == std::string::npos ? std::string() : last.Out.substr(at + 10, last.Out.find('\n', at) - at - 10);
    }

    // A second run against a server that behaves again must bring every file, whole, and fetch
    // `again` anew: the file the fault kept from arriving.
    void ExpectTheNextRunCompletes(const std::string& again = "") {
        server.ClearFault();
        const int retrBefore = server.CountCommands("RETR " + again);
        const ProgramResult rerun = Download();
        EXPECT_EQ(rerun.ExitStatus, 0) << rerun.Err;
        for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
            EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome << " is not whole";
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + "runtime.exe") == faultsite::kRuntime) << "runtime.exe is not whole";
        if (!again.empty()) {
            EXPECT_GT(server.CountCommands("RETR " + again), retrBefore) << again << " was not fetched again";
        }
        sandbox.ExpectNothingOutsideTheDownloadFolder();
    }

    // A fault that may pass, and passed: `file` was tried a second time after a wait the user was
    // told of, and the run ended with every file whole.
    void ExpectTriedAgainAndWhole(const ProgramResult& result, const std::string& file) {
        EXPECT_EQ(result.ExitStatus, 0) << result.Err;
        EXPECT_NE(result.Err.find("tentando novamente (1 de 5): " + file), std::string::npos) << result.Err;
        EXPECT_EQ(server.CountCommands("RETR " + file), 2);
        for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
            EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome << " is not whole";
        sandbox.ExpectNothingOutsideTheDownloadFolder();
    }

    FaultyFtpServer server;
    faultsite::Sandbox sandbox;
    ProgramResult last;
    std::vector<ProgramResult> runs;
};

TEST_F(HeadlessFaults, TheSiteDownloadsWholeWhenNothingGoesWrong) {
    const ProgramResult result = Download();
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    for (const faultsite::Arquivo& arquivo : faultsite::ArquivosDoSite())
        EXPECT_TRUE(sandbox.Read(sandbox.Pasta + arquivo.Nome) == arquivo.Bytes) << arquivo.Nome;
    EXPECT_EQ(sandbox.Read(sandbox.Pasta + "Regras.Ini"), "runtime.exe\r\n");
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

TEST_F(HeadlessFaults, ConnectionRefused) {
    const ProgramResult result = Download("127.0.0.1:" + std::to_string(FreeLoopbackPort()));
    ExpectReadableFailure(result, "Não foi possível conectar ao FTP");
    EXPECT_TRUE(sandbox.Files().count("baixados/setup.exe") == 0);
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

TEST_F(HeadlessFaults, Greeting421) {
    server.SetFault(Fault::Greeting421);
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "Não foi possível conectar ao FTP");
    sandbox.ExpectNothingOutsideTheDownloadFolder();
}

// The server cuts the control connection in the middle of every reply to one file's SIZE: the
// run logs on again and fetches the file without a size, whole all the same.
TEST_F(HeadlessFaults, ControlConnectionClosedInTheMiddleOfAReply) {
    server.SetFault(Fault::CloseDuringReply, "SIZE", "setup.w02");
    const ProgramResult result = Download();
    ExpectRecovered(result);
    EXPECT_GE(server.Sessions(), 2);
    ExpectTheNextRunCompletes();
}

TEST_F(HeadlessFaults, ControlConnectionClosedBetweenRequestsOfTheRun) {
    server.SetFault(Fault::CloseAfterReply, "CWD", "arquivos", 1);
    const ProgramResult result = Download();
    ExpectRecovered(result);
    EXPECT_EQ(server.Sessions(), 2);
    ExpectTheNextRunCompletes();
}

// The server closes the session between two requests, as servers drop an idle session: the
// next request logs on again by itself and the user sees nothing of it.
TEST_F(HeadlessFaults, ControlConnectionClosedBetweenRequestsOfTheCatalogueFetch) {
    server.SetFault(Fault::CloseAfterReply, "TYPE", "", 1);
    const ProgramResult result = Download();
    ExpectRecovered(result);
    EXPECT_EQ(server.Sessions(), 2);
    EXPECT_EQ(server.CountCommands("USER "), 2);
}

// The control connection goes half-way through a file: the run logs on again and gets the rest.
TEST_F(HeadlessFaults, ControlConnectionClosedDuringATransfer) {
    server.SetFault(Fault::CloseDuringTransfer, "RETR", "setup.exe", 1);
    const ProgramResult result = Download();
    ExpectRecovered(result);
    EXPECT_EQ(server.Sessions(), 2);
    ExpectTheNextRunCompletes();
}

// A reset on every try: the file is tried again, waiting longer each time once the tries bring
// nothing, then given up after the fifth such wait and named.
TEST_F(HeadlessFaults, DataConnectionResetHalfWay) {
    server.SetFault(Fault::ResetDataHalfway, "RETR", "setup.exe");
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "alguns arquivos não foram baixados: setup.exe");
    // Tried again, and given up either after five idle tries in a row or at the bound on all
    // tries (a reset may or may not take bytes the kernel already held, so whether a try counts
    // as idle, and which limit comes first, varies).
    EXPECT_NE(result.Err.find("tentando novamente"), std::string::npos);
    EXPECT_EQ(result.Err.find("(6 de 5)"), std::string::npos);
    EXPECT_EQ(Baixados().find("setup.exe"), std::string::npos);
    // The other files came all the same.
    EXPECT_TRUE(sandbox.Read(sandbox.Pasta + "manual.pdf") == faultsite::ArquivosDoSite()[2].Bytes);
    ExpectTheNextRunCompletes("setup.exe");
}

TEST_F(HeadlessFaults, DataConnectionResetWhileTheServerClaimsSuccess) {
    server.SetFault(Fault::ResetDataClaimComplete, "RETR", "setup.exe");
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "alguns arquivos não foram baixados: setup.exe");
    ExpectTheNextRunCompletes("setup.exe");
}

TEST_F(HeadlessFaults, TransferShorterThanTheSizeTheServerGave) {
    server.SetFault(Fault::TruncatedTransfer, "RETR", "setup.exe");
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "alguns arquivos não foram baixados: setup.exe");
    EXPECT_EQ(Baixados().find("setup.exe"), std::string::npos);
    ExpectTheNextRunCompletes("setup.exe");
}

// The server's size is wrong, not the file: the run says the file did not arrive as announced,
// and the next run, told the right size, finds the copy whole.
TEST_F(HeadlessFaults, SizeLargerThanTheDataSent) {
    server.SetFault(Fault::SizeLarger, "SIZE", "manual.pdf");
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "manual.pdf: chegaram 102400 de 103400 bytes");
    EXPECT_EQ(Baixados().find("manual.pdf"), std::string::npos);
    ExpectTheNextRunCompletes();
}

TEST_F(HeadlessFaults, SizeSmallerThanTheDataSent) {
    server.SetFault(Fault::SizeSmaller, "SIZE", "manual.pdf");
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "manual.pdf: chegaram 102400 de 51200 bytes");
    EXPECT_EQ(Baixados().find("manual.pdf"), std::string::npos);
    ExpectTheNextRunCompletes();
}

TEST_F(HeadlessFaults, A64KbReplyLine) {
    server.SetFault(Fault::LongReplyLine, "");
    const ProgramResult result = Download();
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    server.SetFault(Fault::LongReplyLine, "SIZE");
    sandbox.ExpectNothingOutsideTheDownloadFolder();
    ExpectTheNextRunCompletes();
}

// Through the proxy setting the program reaches the server as a proxy and uses passive data
// connections: the faults that only passive mode meets.
class HeadlessPassiveFaults : public HeadlessFaults {
protected:
    void SetUp() override {
        HeadlessFaults::SetUp();
        std::ofstream(sandbox.Trabalho + "proxy.ini") << "S\r\n" << server.HostAndPort() << "\r\n3128\r\n";
    }

    // PASV number 3 of a run is the one for setup.exe, after the two catalogues'.
    static constexpr int kPasvBeforeSetupExe = 2;
};

TEST_F(HeadlessPassiveFaults, TheSiteDownloadsWholeThroughTheProxySetting) {
    const ProgramResult result = Download();
    EXPECT_EQ(result.ExitStatus, 0) << result.Err;
    EXPECT_EQ(server.CountCommands("PORT"), 0);
    EXPECT_GT(server.CountCommands("PASV"), 0);
    EXPECT_EQ(server.CountCommands("USER anonymous@" + server.HostAndPort()), 1);
    ExpectTheNextRunCompletes();
}

TEST_F(HeadlessPassiveFaults, PasvReplyOfGarbage) {
    server.SetFault(Fault::PasvGarbage, "PASV", "", 1, kPasvBeforeSetupExe);
    const ProgramResult result = Download();
    ExpectReadableFailure(result, "alguns arquivos não foram baixados: setup.exe");
    EXPECT_EQ(Baixados().find("setup.exe"), std::string::npos);
    ExpectTheNextRunCompletes("setup.exe");
}

// A data connection that could not be made once is a failure that passes: the run tells the
// user it tries again, and the file arrives in the same run.
TEST_F(HeadlessPassiveFaults, DataConnectionThatNeverOpens) {
    server.SetFault(Fault::DataNeverOpens, "PASV", "", 1, kPasvBeforeSetupExe);
    ExpectTriedAgainAndWhole(Download(), "setup.exe");
}

TEST_F(HeadlessPassiveFaults, DataConnectionRefusedWhileTheServerStillWaitsForIt) {
    server.SetFault(Fault::LateDataFailure, "PASV", "", 1, kPasvBeforeSetupExe);
    ExpectTriedAgainAndWhole(Download(), "setup.exe");
}

}  // namespace

#endif  // MIRELO_DOWNLOADER
