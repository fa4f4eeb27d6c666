// Transcript tests of the data connection: PASV and PORT, the two orders in which a transfer
// can end, REST, listings to OnDisplayFile, uploads, and the local failures that must not be
// reported as success. Each runs on both event-loop backends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "FtpServers.h"
#include "PatternBytes.h"
#include "ScriptedFtpTest.h"
#include "TempDir.h"
#include "ftp/FtpLocalFile.h"

using Commands = std::vector<std::string>;

class FtpTransferTranscript : public ScriptedFtpTest {
protected:
    void SetUp() override {
        ScriptedFtpTest::SetUp();
        h.ftp->SetPassiveMode(true);
        h.ftp->SetHostFileName("f.bin");
        h.ftp->SetLocalFileName(dir / "f.bin");
        // Lets a script wait until the client has seen a given reply.
        h.ftp->OnDisplay = [this](TObject*, std::string& text) {
            h.trace.push_back(text);
            if (!gateOnTrace.empty() && text == gateOnTrace)
                peer.OpenGate(1);
        };
    }

    void LogOn() { ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0); }

    // Listings of `pattern` go to OnDisplayFile, a line at a time into `lines`, with no local file.
    void ListingToDisplay(const std::string& pattern) {
        h.ftp->SetDisplayFileFlag(true);
        h.ftp->SetLocalFileName("");
        h.ftp->SetHostFileName(pattern);
        h.ftp->OnDisplayFile = [this](TObject*, std::string& line) { lines.push_back(line); };
    }

    // A resume of f.bin from byte 3 that the server takes: "def" follows.
    ScriptedPeer& RestartedRetrievalScript() {
        return LogOnScript()
            .Expect("PASV")
            .OpenPassive()
            .Expect("REST 3")
            .Reply("350 Restarting at 3")
            .AcceptData()
            .Expect("RETR f.bin")
            .Reply("150 Opening data connection")
            .SendData("def")
            .CloseData()
            .Reply("226 Transfer complete");
    }

    std::string gateOnTrace;
    std::vector<std::string> lines;  // what ListingToDisplay has shown
};

INSTANTIATE_TEST_SUITE_P(Backends, FtpTransferTranscript, testing::Values(LoopBackend::Poll, LoopBackend::Qt),
                         LoopBackendName);

// --- Retrieval -------------------------------------------------------------------------------

TEST_P(FtpTransferTranscript, PassiveDataGoesToTheControlPeerWhateverThe227Says) {
    LogOnScript()
        .Expect("PASV")
        .OpenPassive("10,0,0,5")
        .AcceptData()
        .Expect("RETR f.bin")
        .SendData("hello")
        .CloseData()
        // Two replies in one receive, handled in order.
        .Send("150 Opening BINARY mode data connection\r\n226 Transfer complete\r\n");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(h.LastRequest(), frqGet);
    EXPECT_EQ(h.ftp->DataSocket().Addr(), "127.0.0.1");
    EXPECT_EQ(dir.Read("f.bin"), "hello");
    EXPECT_TRUE(h.TraceHasPrefix("! 5 bytes received/sent in "));
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, PassivePortIsTheLastTwoNumbers) {
    LogOnScript()
        .Expect("PASV")
        .Reply("227 Entering Passive Mode (10,0,0,5,4,1).")
        .Expect("RETR f.bin")
        .Reply("425 Can't open data connection.");
    peer.Start();
    LogOn();
    // Whatever listens on 127.0.0.1:1025 here, the transfer fails (the peer refuses it); what
    // counts is where the client went.
    EXPECT_NE(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(h.ftp->DataSocket().Addr(), "127.0.0.1");
    EXPECT_EQ(h.ftp->DataSocket().Port(), "1025");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, FailedPassiveConnectWaitsForTheServersAnswerToRetr) {
    std::uint16_t closed = FreeLoopbackPort();
    // The server answers only after the client has met the refused connect, as vsftpd does
    // after its own wait.
    gateOnTrace = "! Unable to establish data connection, error #10061";
    LogOnScript()
        .Expect("PASV")
        .Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(closed >> 8) + "," +
               std::to_string(closed & 0xFF) + ").")
        .Expect("RETR f.bin")
        .WaitGate(1)
        .Reply("425 Can't open data connection.")
        .Expect("SIZE f.bin")
        .Reply("213 9");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 425);
    EXPECT_EQ(h.ftp->ErrorMessage(), "Unable to establish data connection, error #10061");
    // The 425 was the retrieval's answer, not the next command's.
    EXPECT_EQ(h.Run(&TCustomFtpCli::SizeStep), 0) << h.ftp->LastReply();
    EXPECT_EQ(h.ftp->RemoteFileSize(), 9);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, FailedPassiveConnectIsAFailureEvenIfTheServerSends226) {
    std::uint16_t closed = FreeLoopbackPort();
    LogOnScript()
        .Expect("PASV")
        .Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(closed >> 8) + "," +
               std::to_string(closed & 0xFF) + ").")
        .Expect("RETR f.bin")
        .Send("150 Opening data connection\r\n226 Transfer complete\r\n");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 425);
    EXPECT_EQ(h.ftp->ErrorMessage(), "Unable to establish data connection, error #10061");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, MalformedPassiveReplyEndsTheRequestWith550) {
    LogOnScript().Expect("PASV").Reply("227 Entering Passive Mode (127,0,0,1,x,y).").Expect("NOOP").Reply("200 OK");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 550);
    EXPECT_EQ(h.ftp->LastReply(), "550 Malformed passive reply: \"227 Entering Passive Mode (127,0,0,1,x,y).\"");
    EXPECT_EQ(h.ftp->ErrorMessage(), h.ftp->LastReply());
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    // The client is usable afterwards and never sent RETR.
    h.ftp->SetLocalFileName("NOOP");
    EXPECT_EQ(h.Run(&TCustomFtpCli::QuoteStep), 0);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com", "PASV", "NOOP"}));
}

TEST_P(FtpTransferTranscript, ActiveModeOnLoopbackAnnouncesTheLoopbackAddress) {
    h.ftp->SetPassiveMode(false);
    std::string content = PatternBytes(1514);
    LogOnScript()
        .ExpectPrefix("PORT 127,0,0,1,")
        .Reply("200 PORT command successful")
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .ConnectData()
        .SendData(content)
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(dir.Read("f.bin"), content);
    EXPECT_EQ(h.ftp->TransferredBytes(), 1514);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, ActiveConnectionOpenedRightAfterPortIsTaken) {
    h.ftp->SetPassiveMode(false);
    // The peer connects as soon as it has the PORT command, as pyftpdlib does, and tells the
    // test through a pipe the loop watches; the test lets the client take that notification
    // before the peer answers PORT, so the connection is announced while no retrieval is there.
    int signal[2];
    ASSERT_EQ(::pipe2(signal, O_CLOEXEC | O_NONBLOCK), 0);
    bool connected = false;
    platform::EventLoop::WatchId watch = h.loop->AddWatch(signal[0], platform::EventLoop::kReadable, [&](unsigned) {
        char byte;
        connected = ::read(signal[0], &byte, 1) == 1;
    });
    LogOnScript()
        .ExpectPrefix("PORT 127,0,0,1,")
        .ConnectData()
        .Do([&](ScriptedPeer&) { (void)!::write(signal[1], "c", 1); })
        .WaitGate(1)
        .Reply("200 Active data connection established.")
        .Expect("RETR f.bin")
        .Reply("125 Data connection already open. Transfer starting.")
        .SendData("early")
        .CloseData()
        .Reply("226 Transfer complete.");
    peer.Start();
    LogOn();
    h.ftp->GetFile();
    EXPECT_TRUE(PumpUntil(*h.loop, [&] { return connected; }));
    PumpPending(*h.loop);
    peer.OpenGate(1);
    EXPECT_TRUE(PumpUntil(*h.loop, [&] { return h.done.size() == 2; }));
    EXPECT_EQ(h.done.back(), std::make_pair(frqGet, std::uint16_t{0}));
    EXPECT_EQ(dir.Read("f.bin"), "early");
    h.loop->RemoveWatch(watch);
    ::close(signal[0]);
    ::close(signal[1]);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, ClosingReplyBeforeTheDataCloseEndsOnce) {
    gateOnTrace = "< 226 Transfer complete";
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData("abc")
        .Reply("226 Transfer complete")
        .WaitGate(1)
        .CloseData();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(dir.Read("f.bin"), "abc");
    PumpPending(*h.loop);
    EXPECT_EQ(h.done.size(), 2u);
    EXPECT_EQ(PeerFailure(), "");
}

// A server that cuts the transfer answers 426 while the bytes it sent last may still be on
// their way: they are written all the same, so a resume does not fetch them twice.
TEST_P(FtpTransferTranscript, DataSentBeforeAFailingClosingReplyIsKept) {
    gateOnTrace = "< 426 Connection closed; transfer aborted.";
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .Reply("426 Connection closed; transfer aborted.")
        .WaitGate(1)
        .SendData("abc")
        .CloseData();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 426);
    EXPECT_EQ(dir.Read("f.bin"), "abc");
    PumpPending(*h.loop);
    EXPECT_EQ(h.done.size(), 2u);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, ClosingReplyAfterTheDataCloseEndsOnce) {
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData("abc")
        .EndDataAndWaitClientClose()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(dir.Read("f.bin"), "abc");
    PumpPending(*h.loop);
    EXPECT_EQ(h.done.size(), 2u);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, EmptyFileGivesAnEmptyLocalFile) {
    dir.Write("f.bin", "old contents");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(dir.Read("f.bin"), "");
    EXPECT_TRUE(h.TraceHasPrefix("! 0 bytes received/sent in 0 seconds"));
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, RetrievalAnsweredAtOnceWith226IsAnEmptyFile) {
    dir.Write("f.bin", "old contents");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .Expect("RETR f.bin")
        .Reply("226 Transfer complete")
        .Expect("PWD")
        .Reply("257 \"/\" is the current directory");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 0);
    EXPECT_EQ(dir.Read("f.bin"), "");
    // Nothing of the transfer is left waiting for a reply.
    EXPECT_EQ(h.Run(&TCustomFtpCli::PwdStep), 0);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, ListingOfNoFilesIsEmptyNotRefused) {
    ListingToDisplay("*.zip");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .Expect("NLST *.zip")
        .Reply("450 No files found")
        .Expect("PASV")
        .OpenPassive()
        .Expect("LIST *.zip")
        .Reply("550 No files found.")
        .Expect("PASV")
        .OpenPassive()
        .Expect("LIST *.zip")
        .Reply("550 No such file or directory.");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::NameListDir), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::ListDir), 0);
    EXPECT_TRUE(lines.empty());
    // A missing path is still a failure.
    EXPECT_EQ(h.Run(&TCustomFtpCli::ListDir), 550);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, RefusedRetrievalReportsTheServerCode) {
    LogOnScript().Expect("PASV").OpenPassive().AcceptData().Expect("RETR f.bin").Reply("550 No such file.");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 550);
    EXPECT_EQ(h.ftp->ErrorMessage(), "550 No such file.");
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, RestartAnswered350AppendsToTheLocalFile) {
    dir.Write("f.bin", "abc");
    std::vector<std::int64_t> counts;
    h.ftp->OnProgress = [&](TObject*, std::int64_t count, bool&) { counts.push_back(count); };
    RestartedRetrievalScript();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 0);
    EXPECT_EQ(h.LastRequest(), frqResumeGet);
    EXPECT_EQ(dir.Read("f.bin"), "abcdef");
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.front(), 3);
    EXPECT_EQ(h.ftp->RestartOffset(), 0);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, RestartBeyond4GiBKeeps64BitOffsets) {
    // A sparse local file of 5 GiB: offsets, REST and progress counts must not wrap at 32 bits.
    const std::int64_t size = 5LL << 30;
    {
        TFtpLocalFile file;
        ASSERT_TRUE(file.Create(dir / "f.bin"));
    }
    ASSERT_EQ(::truncate((dir / "f.bin").c_str(), size), 0);
    std::vector<std::int64_t> counts;
    h.ftp->OnProgress = [&](TObject*, std::int64_t count, bool&) { counts.push_back(count); };
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .Expect("REST 5368709120")
        .Reply("350 Restarting at 5368709120")
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData("tail")
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 0);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.front(), size);
    EXPECT_EQ(TFtpLocalFile::SizeOf(dir / "f.bin"), size + 4);
    TFtpLocalFile file;
    ASSERT_TRUE(file.OpenForRead(dir / "f.bin", size));
    char tail[8] = {};
    EXPECT_EQ(file.Read(tail, sizeof tail), 4);
    EXPECT_EQ(std::string(tail, 4), "tail");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, ProgressMovesTheWaitingDeadline) {
    using Clock = platform::EventLoop::Clock;
    h.ftp->SetTimeout(30);
    Clock::time_point lastProgress{};
    h.ftp->OnProgress = [&](TObject*, std::int64_t, bool&) { lastProgress = Clock::now(); };
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData(PatternBytes(300000))
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(h.ftp->RunAndWait(&TCustomFtpCli::GetFile));
    ASSERT_NE(lastProgress, Clock::time_point{});
    // Each progress notification set the deadline to its own time plus the Timeout.
    EXPECT_GE(h.ftp->Deadline(), lastProgress + std::chrono::seconds(30));
    EXPECT_GE(h.ftp->Deadline(), start + std::chrono::seconds(30));
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, DestroyingTheClientMidTransferIsClean) {
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData(PatternBytes(100000))
        .WaitDataClosedByClient();
    bool progressed = false;
    h.ftp->OnProgress = [&](TObject*, std::int64_t, bool&) { progressed = true; };
    peer.Start();
    LogOn();
    h.ftp->GetFile();
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return progressed; }));
    h.ftp.reset();
    PumpPending(*h.loop);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, RefusedStepInsideASequenceEndsItOnce) {
    // No local name: REST has nothing to resume and passes at once, then RETR is refused from
    // inside the sequence; the request must end with that refusal, reported once.
    h.ftp->SetLocalFileName("");
    std::vector<std::string> refused;
    h.ftp->OnRequestError = [&](TObject*, std::string& text) { refused.push_back(text); };
    LogOnScript().Expect("PASV").OpenPassive();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 500);
    EXPECT_EQ(refused, std::vector<std::string>{"LocalFileName empty"});
    EXPECT_EQ(h.ftp->ErrorMessage(), "500 LocalFileName empty");
    PumpPending(*h.loop);
    EXPECT_EQ(h.done.size(), 2u);
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, TypeRefusedWhileRestWaitsKeepsTheResume) {
    dir.Write("f.bin", "abc");
    std::vector<std::string> refused;
    h.ftp->OnRequestError = [&](TObject*, std::string& text) { refused.push_back(text); };
    // Asked for TYPE the moment REST has gone out, before its 350 can arrive.
    h.ftp->OnCommand = [&](TObject*, std::string& command) {
        if (command == "REST 3")
            h.ftp->TypeAsciiStep();
    };
    RestartedRetrievalScript();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 0);
    EXPECT_EQ(refused, std::vector<std::string>{"FTP component not ready"});
    EXPECT_EQ(dir.Read("f.bin"), "abcdef");
    EXPECT_TRUE(h.ftp->Binary());
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, RestartNotTakenStartsTheFileAfresh) {
    dir.Write("f.bin", "abc");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .Expect("REST 3")
        .Reply("202 REST not implemented, superfluous here")
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData("XYZXYZ")
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 0);
    EXPECT_EQ(dir.Read("f.bin"), "XYZXYZ");
    EXPECT_EQ(PeerFailure(), "");
}

// The local file is the caller's until the server has accepted the transfer: a refusal leaves
// an earlier copy as it was.
TEST_P(FtpTransferTranscript, RefusedRetrievalLeavesTheLocalFileAsItWas) {
    dir.Write("f.bin", "earlier copy");
    LogOnScript().Expect("PASV").OpenPassive().Expect("RETR f.bin").Reply("550 f.bin: No such file.");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 550);
    EXPECT_EQ(dir.Read("f.bin"), "earlier copy");
    EXPECT_EQ(PeerFailure(), "");
}

// Without SIZE, the size in the 150 reply is what tells a whole file from a cut one.
TEST_P(FtpTransferTranscript, TransferShortOfTheSizeItsReplyAnnouncedFails) {
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening BINARY mode data connection for f.bin (10 bytes).")
        .SendData("12345")
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 426);
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Transfer ended after 5 of the 10 bytes announced");
    EXPECT_EQ(PeerFailure(), "");
}

// A resume whose local file is already as long as the remote one has nothing to fetch; one
// whose local file is longer is not a part of the remote file, and nothing is sent for it.
TEST_P(FtpTransferTranscript, ResumeOfAWholeOrLongerLocalFileSendsNoRestart) {
    dir.Write("f.bin", "abcdef");
    LogOnScript()
        .Expect("SIZE f.bin")
        .Reply("213 6")
        .Expect("PASV")
        .OpenPassive()
        .Expect("SIZE f.bin")
        .Reply("213 4")
        .Expect("PASV")
        .OpenPassive()
        .Expect("NOOP")
        .Reply("200 OK");
    peer.Start();
    LogOn();
    ASSERT_EQ(h.Run(&TCustomFtpCli::SizeStep), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 0) << h.ftp->ErrorMessage();
    EXPECT_EQ(h.ftp->TransferredBytes(), 0);
    ASSERT_EQ(h.Run(&TCustomFtpCli::SizeStep), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 550);
    EXPECT_EQ(h.ftp->ErrorMessage(),
              "550 Local file " + dir / "f.bin" + " is longer than the remote file (6 > 4 bytes)");
    EXPECT_EQ(dir.Read("f.bin"), "abcdef");
    h.ftp->SetLocalFileName("NOOP");
    EXPECT_EQ(h.Run(&TCustomFtpCli::QuoteStep), 0);
    EXPECT_EQ(PeerFailure(), "");
}

// A server without REST gets the whole file, written from the start.
TEST_P(FtpTransferTranscript, RestartRefusedWith500StartsTheFileAfresh) {
    dir.Write("f.bin", "abc");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .Expect("REST 3")
        .Reply("500 REST not understood")
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData("XYZXYZ")
        .CloseData()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumeGetFile), 0) << h.ftp->ErrorMessage();
    EXPECT_EQ(dir.Read("f.bin"), "XYZXYZ");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, ListingGoesToOnDisplayFileWithoutALocalFile) {
    ListingToDisplay("");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("LIST")
        .Reply("150 Here comes the directory listing")
        .SendData("-rw-r--r-- 1 ftp ftp 3 Jan 1 00:00 a.txt\r\n-rw-r--r-- 1 ftp ftp 5 Jan 1 00:00 b.txt\r\n")
        .CloseData()
        .Reply("226 Directory send OK");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ListDir), 0);
    EXPECT_EQ(h.LastRequest(), frqList);
    EXPECT_EQ(lines, (std::vector<std::string>{"-rw-r--r-- 1 ftp ftp 3 Jan 1 00:00 a.txt",
                                               "-rw-r--r-- 1 ftp ftp 5 Jan 1 00:00 b.txt"}));
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, AbortFromOnProgressIsAFailureEvenIfTheServerConfirms) {
    h.ftp->OnProgress = [](TObject*, std::int64_t, bool& abort) { abort = true; };
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData(PatternBytes(100000))
        .WaitDataClosedByClient()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 426);
    EXPECT_EQ(h.TraceCount("! Abort requested"), 1);
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Transfer aborted by the application");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, LocalWriteFailureIsAFailureEvenIfTheServerConfirms) {
    h.ftp->SetLocalFileName("/dev/full");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .SendData("abc")
        .WaitDataClosedByClient()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 550);
    EXPECT_EQ(h.TraceCount("! Error writing local file"), 1);
    EXPECT_EQ(h.ftp->ErrorMessage(), "550 Error writing local file /dev/full");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTransferTranscript, LocalFileThatCannotBeCreatedEndsWith550) {
    h.ftp->SetLocalFileName(dir / "no/such/folder/f.bin");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("RETR f.bin")
        .Reply("150 Opening data connection")
        .WaitDataClosedByClient()
        .Reply("426 Connection closed; transfer aborted.")
        .Expect("NOOP")
        .Reply("200 OK");
    peer.Start();
    LogOn();
    // The local file is opened once the server has accepted the transfer; the failure is the
    // local one, not the server's 426 that follows from it.
    EXPECT_EQ(h.Run(&TCustomFtpCli::GetFile), 550);
    EXPECT_EQ(h.ftp->ErrorMessage(), "Unable to open local file " + dir / "no/such/folder/f.bin");
    h.ftp->SetLocalFileName("NOOP");
    EXPECT_EQ(h.Run(&TCustomFtpCli::QuoteStep), 0);
    EXPECT_EQ(PeerFailure(), "");
}

// --- Storing ---------------------------------------------------------------------------------

TEST_P(FtpTransferTranscript, PassiveStoreSendsTheWholeFile) {
    std::string content = PatternBytes(4000);
    dir.Write("up.bin", content);
    h.ftp->SetLocalFileName(dir / "up.bin");
    h.ftp->SetHostFileName("up.bin");
    LogOnScript()
        .Expect("PASV")
        .OpenPassive()
        .AcceptData()
        .Expect("STOR up.bin")
        .Reply("150 Ok to send data")
        .ReceiveDataUntilClose()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::PutFile), 0);
    EXPECT_EQ(h.LastRequest(), frqPut);
    EXPECT_EQ(h.ftp->TransferredBytes(), 4000);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.DataReceived(), content);
}

TEST_P(FtpTransferTranscript, ActiveResumedStoreSendsFromTheOffset) {
    h.ftp->SetPassiveMode(false);
    std::string content = PatternBytes(5000);
    dir.Write("up.bin", content);
    h.ftp->SetLocalFileName(dir / "up.bin");
    h.ftp->SetHostFileName("up.bin");
    h.ftp->SetRestartOffset(1000);
    LogOnScript()
        .ExpectPrefix("PORT 127,0,0,1,")
        .Reply("200 PORT command successful")
        .Expect("REST 1000")
        .Reply("350 Restart position accepted (1000).")
        .Expect("STOR up.bin")
        .Reply("150 Ok to send data")
        .ConnectData()
        .ReceiveDataUntilClose()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::ResumePutFile), 0);
    // Resumed uploads report the store's code.
    EXPECT_EQ(h.LastRequest(), frqPut);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.DataReceived(), content.substr(1000));
}

TEST_P(FtpTransferTranscript, ActiveAppendOfAnEmptyFile) {
    h.ftp->SetPassiveMode(false);
    dir.Write("empty", "");
    h.ftp->SetLocalFileName(dir / "empty");
    h.ftp->SetHostFileName("log.txt");
    LogOnScript()
        .ExpectPrefix("PORT 127,0,0,1,")
        .Reply("200 PORT command successful")
        .Expect("APPE log.txt")
        .ConnectData()
        .Reply("150 Ok to send data")
        .ReceiveDataUntilClose()
        .Reply("226 Transfer complete");
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::AppendFile), 0);
    EXPECT_EQ(h.LastRequest(), frqAppend);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.DataReceived(), "");
}

TEST_P(FtpTransferTranscript, CancelledTransmitSendsNoStor) {
    dir.Write("up.bin", "data");
    h.ftp->SetLocalFileName(dir / "up.bin");
    h.ftp->OnReadyToTransmit = [](TObject*, bool& cancel) { cancel = true; };
    LogOnScript().Expect("PASV").OpenPassive();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::PutFile), 426);
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Transmit cancelled by application");
    EXPECT_EQ(h.TraceCount("! 426 Transmit cancelled by application"), 1);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com", "PASV"}));
}

TEST_P(FtpTransferTranscript, MissingUploadFileEndsWith426) {
    h.ftp->SetLocalFileName(dir / "absent.bin");
    LogOnScript().Expect("PASV").OpenPassive();
    peer.Start();
    LogOn();
    EXPECT_EQ(h.Run(&TCustomFtpCli::PutFile), 426);
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Unable to open local file " + dir / "absent.bin");
    EXPECT_EQ(PeerFailure(), "");
}

// `get FILE -` and `put - FILE` borrow the program's standard output and input, which the
// program at the pipe's other end may have made non-blocking: a full or empty pipe is waited
// for, not a failure of the transfer. The reader takes little at a time, so the writer finds the
// pipe full again and again.
TEST(FtpLocalFile, ANonBlockingPipeIsWaitedForNotFailed) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string bytes = PatternBytes(1 << 20, 5);
    std::string arrived;
    std::thread reader([&] {
        TFtpLocalFile in;
        in.Borrow(ends[0]);
        char block[512];
        for (long n; (n = in.Read(block, sizeof block)) > 0;)
            arrived.append(block, static_cast<std::size_t>(n));
    });
    {
        TFtpLocalFile out;
        out.Borrow(ends[1]);
        EXPECT_TRUE(out.Write(bytes.data(), bytes.size()));
    }
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    EXPECT_TRUE(arrived == bytes) << arrived.size();
}
