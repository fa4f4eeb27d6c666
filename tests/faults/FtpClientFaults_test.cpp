// The FTP client against a server that misbehaves on purpose: every fault must end the request
// through OnRequestDone with an error and a message a person can read, leave no transfer looking
// complete, and neither hang (each wait is bounded, a silent server is ended by the Timeout
// with 426) nor let its memory grow with what the server sends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "FaultyFtpServer.h"
#include "ProgramRun.h"
#include "FtpServers.h"
#include "LoopBackends.h"
#include "TempDir.h"
#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"

namespace {

using Fault = FaultyFtpServer::Fault;

// A file large enough that half of it crosses the network in several blocks.
std::string Sample(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return bytes;
}

const std::string kBig = Sample(512 * 1024);

std::int64_t LocalSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

class FtpClientFaults : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        server.AddFile("/pub/dados.bin", kBig);
        server.AddFile("/pub/pequeno.txt", "pequeno\r\n");
        ftp = std::make_unique<TFtpClient>(loop);
        ftp->SetHostName("127.0.0.1");
        ftp->SetPort(std::to_string(server.Port()));
        ftp->SetUserName("anonymous");
        ftp->SetPassWord("teste@mirelo.net");
        ftp->SetPassiveMode(GetParam());
        ftp->SetTimeout(3);
        ftp->OnRequestDone = [this](TObject*, TFtpRequest request, std::uint16_t error) {
            done.emplace_back(request, error);
        };
    }

    void TearDown() override {
        if (HasFailure())
            for (const std::string& command : server.Commands())
                std::printf("  server got: %.200s\n", command.c_str());
        ftp.reset();
        for (int i = 0; i < 50 && loop.ProcessPendingEvents(); ++i) {
        }
    }

    // Starts the request and waits in the loop for its OnRequestDone, at most 20 s. The Error it
    // reported, or -1 when none came (a hang).
    int Run(void (TCustomFtpCli::*request)()) {
        const std::size_t before = done.size();
        (ftp.get()->*request)();
        const auto deadline = platform::EventLoop::Clock::now() + std::chrono::seconds(20);
        while (done.size() == before && platform::EventLoop::Clock::now() < deadline)
            loop.WaitAndDispatch(deadline);
        return done.size() == before ? -1 : done.back().second;
    }

    // Logs on and switches to binary; the setup of every case past the log-on.
    void LogOn() {
        ASSERT_EQ(Run(&TCustomFtpCli::LogOn), 0) << ftp->ErrorMessage();
        ASSERT_EQ(Run(&TCustomFtpCli::TypeBinaryStep), 0) << ftp->ErrorMessage();
    }

    // Fetches /pub/dados.bin into the temporary folder; returns the Error.
    int Fetch() {
        ftp->SetHostDirName("/pub");
        EXPECT_EQ(Run(&TCustomFtpCli::CwdStep), 0) << ftp->ErrorMessage();
        ftp->SetHostFileName("dados.bin");
        ftp->SetLocalFileName(local / "dados.bin");
        return Run(&TCustomFtpCli::GetFile);
    }

    // The message a caller would show: the first failure of the request.
    std::string Reason() const { return ftp->ErrorMessage().empty() ? ftp->LastReply() : ftp->ErrorMessage(); }

    FaultyFtpServer server;
    TempDir local;
    platform::PollEventLoop loop;
    std::unique_ptr<TFtpClient> ftp;
    std::vector<std::pair<TFtpRequest, std::uint16_t>> done;
};

std::string ModeName(const testing::TestParamInfo<bool>& info) { return info.param ? "Passive" : "Active"; }

INSTANTIATE_TEST_SUITE_P(Modes, FtpClientFaults, testing::Bool(), ModeName);

TEST_P(FtpClientFaults, ConnectionRefusedEndsTheLogOnWithTheSocketError) {
    ftp->SetPort(std::to_string(FreeLoopbackPort()));
    const int error = Run(&TCustomFtpCli::LogOn);
    EXPECT_EQ(error, 10061);
    EXPECT_NE(Reason().find("10061"), std::string::npos) << Reason();
    EXPECT_FALSE(ftp->IsControlOpen());
}

TEST_P(FtpClientFaults, Greeting421EndsTheLogOnWith421) {
    server.SetFault(Fault::Greeting421);
    EXPECT_EQ(Run(&TCustomFtpCli::LogOn), 421);
    EXPECT_EQ(Reason().rfind("421 Service not available", 0), 0u) << Reason();
    EXPECT_FALSE(ftp->IsControlOpen());
    // The next attempt, to a server that behaves, logs on: nothing of the failure stays behind.
    server.ClearFault();
    EXPECT_EQ(Run(&TCustomFtpCli::LogOn), 0) << Reason();
}

TEST_P(FtpClientFaults, ConnectionClosedInTheGreetingEndsTheLogOn) {
    server.SetFault(Fault::CloseDuringReply);
    const int error = Run(&TCustomFtpCli::LogOn);
    EXPECT_GT(error, 0);
    EXPECT_FALSE(Reason().empty());
    EXPECT_FALSE(ftp->IsControlOpen());
}

TEST_P(FtpClientFaults, ConnectionClosedInTheMiddleOfAReplyFailsTheRequest) {
    LogOn();
    server.SetFault(Fault::CloseDuringReply, "SIZE");
    ftp->SetHostFileName("/pub/dados.bin");
    EXPECT_EQ(Run(&TCustomFtpCli::SizeStep), 426);
    EXPECT_EQ(Reason().rfind("426 Connection closed", 0), 0u) << Reason();
    // Half a reply is no reply: no size was taken from it.
    EXPECT_EQ(ftp->RemoteFileSize(), 0);
    EXPECT_FALSE(ftp->IsControlOpen());
}

TEST_P(FtpClientFaults, ConnectionClosedBetweenRequestsRefusesTheNextOne) {
    LogOn();
    server.SetFault(Fault::CloseAfterReply, "CWD");
    ftp->SetHostDirName("/pub");
    EXPECT_EQ(Run(&TCustomFtpCli::CwdStep), 0);
    // The close arrives while the client is idle; it must notice it, not hang on the next step.
    const auto deadline = platform::EventLoop::Clock::now() + std::chrono::seconds(10);
    while (ftp->IsControlOpen() && platform::EventLoop::Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);
    EXPECT_FALSE(ftp->IsControlOpen());
    ftp->SetHostFileName("dados.bin");
    try {
        ftp->SizeStep();
        ADD_FAILURE() << "a request on a closed connection was started";
    } catch (const FtpException& refused) {
        EXPECT_STREQ(refused.what(), "FTP component not connected");
    }
}

TEST_P(FtpClientFaults, ConnectionClosedDuringATransferFailsIt) {
    LogOn();
    server.SetFault(Fault::CloseDuringTransfer, "RETR");
    const int error = Fetch();
    EXPECT_GT(error, 0) << "a transfer cut short was reported complete";
    EXPECT_FALSE(Reason().empty());
    EXPECT_LT(LocalSize(local / "dados.bin"), static_cast<std::int64_t>(kBig.size()));
}

TEST_P(FtpClientFaults, DataConnectionResetHalfWayFailsTheTransfer) {
    LogOn();
    server.SetFault(Fault::ResetDataHalfway, "RETR");
    EXPECT_GT(Fetch(), 0);
    EXPECT_FALSE(Reason().empty());
    EXPECT_LT(LocalSize(local / "dados.bin"), static_cast<std::int64_t>(kBig.size()));
    // The connection stays usable: the same file comes whole at the next attempt.
    server.ClearFault();
    EXPECT_EQ(Fetch(), 0) << Reason();
    EXPECT_EQ(LocalSize(local / "dados.bin"), static_cast<std::int64_t>(kBig.size()));
}

TEST_P(FtpClientFaults, DataConnectionResetIsAFailureEvenWhenTheServerSays226) {
    LogOn();
    server.SetFault(Fault::ResetDataClaimComplete, "RETR");
    const int error = Fetch();
    EXPECT_GT(error, 0) << "a reset data connection was taken for a complete transfer";
    EXPECT_LT(LocalSize(local / "dados.bin"), static_cast<std::int64_t>(kBig.size()));
}

TEST_P(FtpClientFaults, DataConnectionThatNeverOpensEndsTheRequest) {
    LogOn();
    server.SetFault(Fault::DataNeverOpens, GetParam() ? "PASV" : "RETR");
    ftp->SetHostDirName("/pub");
    ASSERT_EQ(Run(&TCustomFtpCli::CwdStep), 0);
    ftp->SetHostFileName("dados.bin");
    ftp->SetLocalFileName(local / "dados.bin");
    if (GetParam()) {
        // Passive: the port named in the 227 refuses the connection at once; the server's 425
        // may come first.
        const int error = Run(&TCustomFtpCli::GetFile);
        EXPECT_TRUE(error == 550 || error == 425) << error;
        EXPECT_TRUE(Reason().rfind("Unable to establish data connection", 0) == 0 || Reason().rfind("425 ", 0) == 0)
            << Reason();
    } else {
        // Active: the server never connects; the Timeout ends the wait and the request.
        ftp->GetFile();
        EXPECT_FALSE(ftp->WaitUntilReady());
        EXPECT_EQ(ftp->ErrorMessage(), "426 Timeout");
        EXPECT_EQ(ftp->ReplyCode(), 426);
    }
    EXPECT_NE(LocalSize(local / "dados.bin"), static_cast<std::int64_t>(kBig.size()));
}

// A server whose connection to this side is stopped (a firewall in front of an active client)
// says so after its 150: the request ends at that reply, not at the stall limit a minute later,
// and the session goes on.
TEST_P(FtpClientFaults, ADataConnectionTheServerGivesUpAfterItsOpeningReplyEndsAtItsReply) {
    LogOn();
    ftp->SetStallTimeout(100);
    server.SetFault(Fault::DataFailsAfter150, "RETR");
    ftp->SetHostFileName("/pub/dados.bin");
    ftp->SetLocalFileName(local / "dados.bin");
    const int error = Run(&TCustomFtpCli::GetFile);
    if (GetParam()) {
        // Passive: the connection the server had taken into its backlog is reset as it goes.
        EXPECT_TRUE(error == 425 || error == 426) << Reason();
    } else {
        EXPECT_EQ(error, 425) << Reason();
        EXPECT_EQ(Reason(), "425 Can't open data connection.");
    }
    ftp->SetHostFileName("/pub/pequeno.txt");
    EXPECT_EQ(Run(&TCustomFtpCli::SizeStep), 0) << Reason();
    EXPECT_EQ(ftp->RemoteFileSize(), 9);
}

// A server waits some time for a passive data connection before it answers the data command with
// 425 (vsftpd: up to two minutes). A client that gives the transfer up on its own must still
// take that answer as the data command's, or every later command reads the reply meant for the
// one before it.
TEST_P(FtpClientFaults, AFailedDataConnectionLeavesNoReplyForTheNextCommand) {
    LogOn();
    server.SetFault(Fault::LateDataFailure, GetParam() ? "PASV" : "RETR");
    ftp->SetTimeout(20);
    ftp->SetHostDirName("/pub");
    ASSERT_EQ(Run(&TCustomFtpCli::CwdStep), 0);
    ftp->SetHostFileName("dados.bin");
    ftp->SetLocalFileName(local / "dados.bin");
    EXPECT_GT(Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_FALSE(Reason().empty());

    server.ClearFault();
    ftp->SetHostFileName("pequeno.txt");
    EXPECT_EQ(Run(&TCustomFtpCli::SizeStep), 0) << Reason();
    EXPECT_EQ(ftp->RemoteFileSize(), 9) << ftp->LastReply();
    ftp->SetHostDirName("/");
    EXPECT_EQ(Run(&TCustomFtpCli::CwdStep), 0) << Reason();
    EXPECT_EQ(ftp->ReplyDirName(), "/") << ftp->LastReply();
}

TEST_P(FtpClientFaults, AReplyThatNeverComesEndsWith426NotAHang) {
    LogOn();
    server.SetFault(Fault::NoReply, "SIZE");
    ftp->SetHostFileName("/pub/dados.bin");
    const std::size_t before = done.size();
    ftp->SizeStep();
    EXPECT_FALSE(ftp->WaitUntilReady());
    EXPECT_EQ(ftp->ErrorMessage(), "426 Timeout");
    // The abort's own report arrives too, with 426, and the client is idle again.
    const auto deadline = platform::EventLoop::Clock::now() + std::chrono::seconds(5);
    while (done.size() == before && platform::EventLoop::Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);
    ASSERT_GT(done.size(), before);
    EXPECT_EQ(done.back(), std::make_pair(frqSize, std::uint16_t{426}));
    EXPECT_EQ(ftp->EngineState(), fesReady);
}

TEST_P(FtpClientFaults, PasvReplyOfGarbageFailsTheTransferWithoutAnException) {
    LogOn();
    server.SetFault(Fault::PasvGarbage, "PASV");
    ftp->SetHostDirName("/pub");
    ASSERT_EQ(Run(&TCustomFtpCli::CwdStep), 0);
    ftp->SetHostFileName("dados.bin");
    ftp->SetLocalFileName(local / "dados.bin");
    if (!GetParam()) {
        // Active mode never sends PASV: the fault cannot reach it, and the transfer works.
        EXPECT_EQ(Run(&TCustomFtpCli::GetFile), 0) << Reason();
        return;
    }
    const int error = Run(&TCustomFtpCli::GetFile);
    EXPECT_GT(error, 0);
    EXPECT_FALSE(Reason().empty());
    EXPECT_EQ(server.CountCommands("RETR"), 0) << "a transfer was started on a port read from garbage";
}

TEST_P(FtpClientFaults, A64KbReplyLineIsReadWithoutLosingTheReplies) {
    server.SetFault(Fault::LongReplyLine, "");
    const long before = ResidentKb();
    ASSERT_EQ(Run(&TCustomFtpCli::LogOn), 0) << Reason();
    server.SetFault(Fault::LongReplyLine, "SIZE");
    ftp->SetHostFileName("/pub/dados.bin");
    EXPECT_EQ(Run(&TCustomFtpCli::SizeStep), 0) << Reason();
    EXPECT_EQ(ftp->RemoteFileSize(), static_cast<std::int64_t>(kBig.size()));
    // The reply after the long one still belongs to its own command.
    server.ClearFault();
    ftp->SetHostFileName("/pub/pequeno.txt");
    EXPECT_EQ(Run(&TCustomFtpCli::SizeStep), 0) << Reason();
    EXPECT_EQ(ftp->RemoteFileSize(), 9);
    if (MemoryChecked()) {
        EXPECT_LT(ResidentKb() - before, 64 * 1024);
    }
}

TEST_P(FtpClientFaults, AMultiLineReplyThatNeverEndsIsEndedByTheTimeout) {
    LogOn();
    server.SetFault(Fault::EndlessMultiline, "SIZE");
    const long before = ResidentKb();
    ftp->SetHostFileName("/pub/dados.bin");
    ftp->SizeStep();
    EXPECT_FALSE(ftp->WaitUntilReady());
    EXPECT_EQ(ftp->ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(ftp->IsControlOpen());
    // Seconds of continuation lines at loopback speed: the reader keeps none of them.
    if (MemoryChecked()) {
        EXPECT_LT(ResidentKb() - before, 64 * 1024);
    }
}

}  // namespace

// --- Recovery: what the component gives a caller that retries -------------------------------

namespace {

// The client set up as the session and the tool use it: passive first, PORT as the fallback, on
// each event-loop backend.
class FtpTransferRecovery : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override {
        server.AddFile("/pub/dados.bin", kBig);
        loop = MakeEventLoop(GetParam());
        ftp = std::make_unique<TFtpClient>(*loop);
        ftp->SetHostName("127.0.0.1");
        ftp->SetPort(std::to_string(server.Port()));
        ftp->SetUserName("anonymous");
        ftp->SetPassWord("teste@mirelo.net");
        ftp->SetPassiveMode(true);
        ftp->SetPassiveFallback(true);
        ftp->SetTimeout(20);
        ftp->OnRequestDone = [this](TObject*, TFtpRequest request, std::uint16_t error) {
            done.emplace_back(request, error);
            controlOpenAtDone.push_back(ftp->IsControlOpen());
        };
        ftp->SetHostDirName("/pub");
        ftp->SetHostFileName("dados.bin");
        ftp->SetLocalFileName(local / "dados.bin");
    }

    void TearDown() override {
        if (HasFailure())
            for (const std::string& command : server.Commands())
                std::printf("  server got: %.200s\n", command.c_str());
        ftp.reset();
        PumpPending(*loop);
    }

    int Run(void (TCustomFtpCli::*request)()) {
        const std::size_t before = done.size();
        (ftp.get()->*request)();
        if (!PumpUntil(*loop, [&] { return done.size() > before; }, std::chrono::seconds(20)))
            return -1;
        return done.back().second;
    }

    void LogOn() {
        ASSERT_EQ(Run(&TCustomFtpCli::LogOn), 0) << ftp->ErrorMessage();
        ASSERT_EQ(Run(&TCustomFtpCli::TypeBinaryStep), 0) << ftp->ErrorMessage();
        ASSERT_EQ(Run(&TCustomFtpCli::CwdStep), 0) << ftp->ErrorMessage();
    }

    std::string Reason() const { return ftp->ErrorMessage().empty() ? ftp->LastReply() : ftp->ErrorMessage(); }

    FaultyFtpServer server;
    TempDir local;
    std::unique_ptr<platform::EventLoop> loop;
    std::unique_ptr<TFtpClient> ftp;
    std::vector<std::pair<TFtpRequest, std::uint16_t>> done;
    std::vector<bool> controlOpenAtDone;
};

INSTANTIATE_TEST_SUITE_P(Backends, FtpTransferRecovery, testing::Values(LoopBackend::Poll, LoopBackend::Qt),
                         LoopBackendName);

// A server or a network that will not do passive: the request goes on with PORT, and so do the
// ones after it, without asking passive again.
TEST_P(FtpTransferRecovery, PassiveRefusedOrUnreachableFallsBackToPort) {
    LogOn();
    server.SetFault(Fault::RefusePasv, "PASV");
    EXPECT_EQ(Run(&TCustomFtpCli::GetFile), 0) << Reason();
    EXPECT_EQ(LocalSize(local / "dados.bin"), static_cast<std::int64_t>(kBig.size()));
    EXPECT_FALSE(ftp->PassiveMode());
    EXPECT_EQ(Run(&TCustomFtpCli::GetFile), 0) << Reason();
    EXPECT_EQ(server.CountCommands("PASV"), 1);
    EXPECT_EQ(server.CountCommands("PORT"), 2);

    // The data port named by the 227 refuses the connection: the same request is done over PORT,
    // with its restart.
    ftp->SetPassiveMode(true);
    server.SetFault(Fault::DataNeverOpens, "PASV", "", 1);
    local.Write("dados.bin", kBig.substr(0, 1000));
    EXPECT_EQ(Run(&TCustomFtpCli::ResumeGetFile), 0) << Reason();
    EXPECT_TRUE(local.Read("dados.bin") == kBig) << "the file differs from the served one";
    EXPECT_FALSE(ftp->PassiveMode());
    EXPECT_EQ(server.CountCommands("REST 1000"), 2);
}

// A transfer whose data stops while both connections stay up ends by the stall limit, not by the
// Timeout nor by the caller's wait, and its partial file stays for a resume.
TEST_P(FtpTransferRecovery, StalledTransferEndsByTheStallLimitAndResumes) {
    LogOn();
    ftp->SetStallTimeout(1);
    server.SetCutAfter(100000);
    server.SetFault(Fault::StallTransfer, "RETR", "", 1);
    EXPECT_EQ(Run(&TCustomFtpCli::GetFile), 426);
    EXPECT_EQ(Reason(), "426 No data for 1 seconds: transfer stalled");
    // The server still owes its answer to the stalled transfer: that session is given up.
    EXPECT_FALSE(controlOpenAtDone.back());
    EXPECT_EQ(LocalSize(local / "dados.bin"), 100000);

    LogOn();
    EXPECT_EQ(Run(&TCustomFtpCli::ResumeGetFile), 0) << Reason();
    EXPECT_TRUE(local.Read("dados.bin") == kBig) << "the file differs from the served one";
    EXPECT_EQ(server.BytesSent("/pub/dados.bin"), static_cast<std::int64_t>(kBig.size()));
}

// The caller's own waiting operation is ended by the stall limit too.
TEST_P(FtpTransferRecovery, WaitUntilReadyHonoursTheStallLimit) {
    LogOn();
    ftp->SetStallTimeout(1);
    server.SetFault(Fault::StallTransfer, "RETR", "", 1);
    ftp->GetFile();
    EXPECT_FALSE(ftp->WaitUntilReady());
    EXPECT_EQ(ftp->ErrorMessage(), "426 No data for 1 seconds: transfer stalled");
    EXPECT_EQ(ftp->StatusCode(), 426);
}

// A data connection that cannot be made while the server keeps silent: a short grace, then 425,
// not the Timeout.
TEST_P(FtpTransferRecovery, UnreachableDataPortWithASilentServerEndsAfterTheGrace) {
    ftp->SetPassiveFallback(false);
    ftp->SetTimeout(2);
    LogOn();
    server.SetFault(Fault::DataNeverOpens, "PASV");
    server.AddFault(Fault::NoReply, "RETR");
    EXPECT_EQ(Run(&TCustomFtpCli::GetFile), 425);
    EXPECT_EQ(Reason().rfind("Unable to establish data connection", 0), 0u) << Reason();
    EXPECT_FALSE(ftp->IsControlOpen());
    EXPECT_EQ(LocalSize(local / "dados.bin"), -1) << "the local file was touched before the server accepted";
}

// A 421 is the server closing: the request ends with it and the connection is already closed
// when the caller hears of it, so a retry knows to log on again.
TEST_P(FtpTransferRecovery, A421ClosesTheSessionBeforeTheRequestIsReported) {
    LogOn();
    server.SetFault(Fault::Reply421, "SIZE");
    EXPECT_EQ(Run(&TCustomFtpCli::SizeStep), 421);
    EXPECT_FALSE(controlOpenAtDone.back());
    EXPECT_EQ(ftp->EngineState(), fesReady);
}

}  // namespace
