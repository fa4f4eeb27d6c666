// Transcript tests: a scripted server says exactly what a test needs, and the test checks the
// exact commands the client sends and what the client makes of the replies. Each runs on both
// event-loop backends.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "FtpServers.h"
#include "ScriptedFtpTest.h"
#include "TempDir.h"

using Commands = std::vector<std::string>;

class FtpTranscript : public ScriptedFtpTest {};

INSTANTIATE_TEST_SUITE_P(Backends, FtpTranscript, testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

// --- Log-on ----------------------------------------------------------------------------------

TEST_P(FtpTranscript, MultiLineGreetingEndsTheOpenStepOnceOnItsLastLine) {
    peer.Send("220-Welcome\r\n220-to the scripted peer\r\n")
        .Send("220 ready\r\n")
        .Expect("USER anonymous")
        .Reply("331 Password required")
        .Expect("PASS guest@example.com")
        .Reply("230-Hello\r\n230 Logged in");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.LastRequest(), frqLogOn);
    EXPECT_EQ(h.done.size(), 1u);
    EXPECT_EQ(h.sessionsConnected, 1);
    EXPECT_EQ(h.TraceCount("< 220-Welcome"), 1);
    EXPECT_EQ(h.TraceCount("< 220-to the scripted peer"), 1);
    EXPECT_EQ(h.TraceCount("< 220 ready"), 1);
    EXPECT_EQ(h.ftp->LastReply(), "230 Logged in");
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_TRUE(h.ftp->IsControlOpen());
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, UserAnsweredWith230SkipsPass) {
    peer.Reply("220 ready")
        .Expect("USER anonymous")
        .Reply("230 No password needed")
        .Expect("QUIT")
        .Reply("221 Bye")
        .ExpectClose();
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::QuitStep), 0);
    EXPECT_FALSE(h.ftp->IsControlOpen());
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "QUIT"}));
}

TEST_P(FtpTranscript, GreetingOf230IsALogOnAlreadyDone) {
    peer.Reply("230 Logged in by address").Expect("SYST").Reply("215 UNIX Type: L8");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.sessionsConnected, 1);
    EXPECT_EQ(h.Run(&TCustomFtpCli::SystStep), 0);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), Commands{"SYST"});
}

// "120 Service ready in nnn minutes" comes before the greeting of a server not ready yet.
TEST_P(FtpTranscript, AGreetingThatAsksToWaitIsWaitedFor) {
    peer.Reply("120 Service ready in 1 minute.")
        .Reply("220 ready")
        .Expect("USER anonymous")
        .Reply("230 Logged in");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0) << h.ftp->ErrorMessage();
    EXPECT_EQ(h.ftp->ReplyCode(), 230);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, AnyCompletionReplyToASimpleCommandIsASuccess) {
    h.ftp->SetHostFileName("new");
    peer.Reply("220 ready")
        .Expect("USER anonymous")
        .Reply("232 User logged in, authorized by security data exchange.")
        .Expect("TYPE A")
        .Reply("202 Command not needed.")
        .Expect("CDUP")
        .Reply("200 Directory changed to /.")
        .Expect("MKD new")
        .Reply("250 Directory created.");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::TypeAsciiStep), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::CdupStep), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::MkdStep), 0);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "TYPE A", "CDUP", "MKD new"}));
}

TEST_P(FtpTranscript, RefusedPasswordEndsLogOnWithItsCodeAndKeepsTheConnection) {
    peer.Reply("220 ready")
        .Expect("USER anonymous")
        .Reply("331 Password required")
        .Expect("PASS guest@example.com")
        .Reply("530 Login incorrect.")
        .Expect("PWD")
        .Reply("530 Please login with USER and PASS.");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 530);
    EXPECT_EQ(h.LastRequest(), frqLogOn);
    EXPECT_EQ(h.ftp->ErrorMessage(), "530 Login incorrect.");
    EXPECT_TRUE(h.ftp->IsControlOpen());
    // The failed sequence must not stay armed: a later single step ends alone and sends no PASS.
    EXPECT_EQ(h.Run(&TCustomFtpCli::PwdStep), 530);
    EXPECT_EQ(h.LastRequest(), frqPwd);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com", "PWD"}));
}

TEST_P(FtpTranscript, FailedStepLeavesNoHalfSequenceBehind) {
    peer.Reply("220 ready")
        .Expect("USER anonymous")
        .Reply("530 Not now")
        .Expect("CWD /pub")
        .Reply("250 Directory changed")
        .Expect("SYST")
        .Reply("215 UNIX Type: L8");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 530);
    h.ftp->SetHostDirName("/pub");
    EXPECT_EQ(h.Run(&TCustomFtpCli::CwdStep), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::SystStep), 0);
    EXPECT_EQ(h.ftp->LastReply(), "215 UNIX Type: L8");
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "CWD /pub", "SYST"}));
}

TEST_P(FtpTranscript, GreetingOtherThan220ClosesAndReportsItsCode) {
    peer.Reply("421 Too many users").ExpectClose();
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 421);
    EXPECT_EQ(h.ftp->ErrorMessage(), "421 Too many users");
    EXPECT_EQ(h.sessionsConnected, 0);
    EXPECT_FALSE(h.ftp->IsControlOpen());
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, EmptyUserNameInsideLogOnEndsTheRequestInsteadOfHanging) {
    h.ftp->SetUserName("");
    peer.Reply("220 ready");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 500);
    EXPECT_EQ(h.ftp->ErrorMessage(), "500 UserName emtpy");
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_TRUE(peer.Commands().empty());
}

TEST_P(FtpTranscript, ProxyConnectionSendsTheTargetHostInTheUserName) {
    h.ftp->SetConnectionType(ftpProxy);
    h.ftp->SetProxyServer("127.0.0.1");
    h.ftp->SetHostName("ftp.example.org");
    EXPECT_TRUE(h.ftp->PassiveMode());
    h.ftp->SetPassiveMode(false);
    EXPECT_TRUE(h.ftp->PassiveMode());
    peer.Reply("220 proxy ready")
        .Expect("USER anonymous@ftp.example.org")
        .Reply("331 Password required")
        .Expect("PASS guest@example.com")
        .Reply("230 Logged in");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_THROW(h.ftp->SetConnectionType(ftpDirect), FtpException);
    EXPECT_EQ(h.ftp->ConnectionType(), ftpProxy);
    EXPECT_EQ(PeerFailure(), "");
}

// --- The reply reader ------------------------------------------------------------------------

TEST_P(FtpTranscript, BareLineFeedEndsALineOnlyWithAcceptLF) {
    peer.Send("220 ready\n")
        .Expect("USER anonymous")
        .Send("331 Password required\n")
        .Expect("PASS guest@example.com")
        .Send("230 Logged in\n");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.ftp->LastReply(), "230 Logged in");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, WithoutAcceptLFABareLineFeedWaitsForCrLf) {
    h.ftp->SetOptions({});
    peer.Send("220 ready\n").Send("220 still the greeting\r\n").Expect("USER anonymous").Reply("230 Logged in");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    // One line: the bare LF did not end it.
    EXPECT_EQ(h.TraceCount("< 220 ready\n220 still the greeting"), 1);
    EXPECT_EQ(h.sessionsConnected, 1);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, ReplySplitOverTwoReceivesIsHandledOnceComplete) {
    // The first send holds a whole line and the start of the next; the rest is sent only after
    // the client has handled the first line, so the final line spans two receives.
    h.ftp->OnResponse = [this](TObject*) {
        if (h.ftp->LastReply() == "220-first part")
            peer.OpenGate(1);
    };
    peer.Send("220-first part\r\n22")
        .WaitGate(1)
        .Send("0 ready\r\n")
        .Expect("USER anonymous")
        .Reply("230 Logged in");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.TraceCount("< 220 ready"), 1);
    EXPECT_EQ(h.sessionsConnected, 1);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, TextLinesOfAMultiLineReplyDoNotEndIt) {
    h.ftp->SetHostDirName("/pub");
    LogOnScript()
        .Expect("CWD /pub")
        .Send("250-Directory changed\r\n2 files are waiting\r\n250-more\r\n250 OK\r\n")
        .Expect("PWD")
        .Reply("257 \"/pub\" is the current directory");
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::CwdStep), 0);
    EXPECT_EQ(h.ftp->LastReply(), "250 OK");
    // The trace shows every line of the reply, once.
    for (const char* line : {"< 250-Directory changed", "< 2 files are waiting", "< 250-more", "< 250 OK"})
        EXPECT_EQ(h.TraceCount(line), 1) << line;
    // The reply's real end did not answer the next command.
    EXPECT_EQ(h.Run(&TCustomFtpCli::PwdStep), 0);
    EXPECT_EQ(h.ftp->ReplyDirName(), "/pub");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, OverLongReplyLineIsCutAndReadingGoesOn) {
    std::string longText(5000, 'x');
    peer.Send("220-" + longText + "\r\n220 ready\r\n").Expect("USER anonymous").Reply("230 Logged in");
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.sessionsConnected, 1);
    EXPECT_TRUE(h.ftp->IsControlOpen());
    // "< " + the first 4095 bytes, then the rest of the long line as a line of its own.
    EXPECT_EQ(h.TraceCount("< 220-" + std::string(4091, 'x')), 1);
    EXPECT_EQ(h.TraceCount("< " + std::string(5000 - 4091, 'x')), 1);
    EXPECT_EQ(PeerFailure(), "");
}

// --- Usage errors and request rules ----------------------------------------------------------

TEST_P(FtpTranscript, RequestWhileAnotherRunsIsRefusedAndTheFirstGoesOn) {
    LogOnScript();
    peer.Start();
    h.ftp->LogOn();
    h.ftp->SetHostDirName("/pub");
    try {
        h.ftp->CwdStep();
        ADD_FAILURE() << "CwdStep was not refused";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component not ready");
    }
    std::string reported;
    h.ftp->OnRequestError = [&](TObject*, std::string& text) { reported = text; };
    h.ftp->SizeStep();
    EXPECT_EQ(reported, "FTP component not ready");
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return !h.done.empty(); }));
    EXPECT_EQ(h.done.size(), 1u);
    EXPECT_EQ(h.done[0], std::make_pair(frqLogOn, std::uint16_t{0}));
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com"}));
}

TEST_P(FtpTranscript, RefusedStepsLeaveTheRunningRequestAsItWas) {
    h.ftp->SetHostFileName("big.iso");
    h.ftp->SetHostDirName("/pub");
    LogOnScript().Expect("SIZE big.iso").Reply("213 12345");
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    h.ftp->SizeStep();
    // Every single step is refused while SIZE waits for its reply, and none may disturb it.
    for (void (TCustomFtpCli::*step)() :
         {&TCustomFtpCli::UserStep, &TCustomFtpCli::PassStep, &TCustomFtpCli::CwdStep, &TCustomFtpCli::CdupStep,
          &TCustomFtpCli::PwdStep, &TCustomFtpCli::SizeStep, &TCustomFtpCli::MkdStep, &TCustomFtpCli::RmdStep,
          &TCustomFtpCli::DeleStep, &TCustomFtpCli::RnfrStep, &TCustomFtpCli::RntoStep, &TCustomFtpCli::SystStep,
          &TCustomFtpCli::QuoteStep, &TCustomFtpCli::TypeStep, &TCustomFtpCli::TypeAsciiStep,
          &TCustomFtpCli::QuitStep}) {
        EXPECT_THROW((h.ftp.get()->*step)(), FtpException);
    }
    EXPECT_TRUE(h.ftp->Binary());
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return h.done.size() == 2; }));
    EXPECT_EQ(h.done[1], std::make_pair(frqSize, std::uint16_t{0}));
    EXPECT_EQ(h.ftp->RemoteFileSize(), 12345);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, LineBreaksAndNulInAnArgumentAreRefusedAndNeverSent) {
    LogOnScript().Expect("PWD").Reply("257 \"/\" is the current directory");
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    auto refusal = [](const std::function<void()>& step) {
        try {
            step();
        } catch (const FtpException& e) {
            return std::string(e.what());
        }
        return std::string("not refused");
    };
    h.ftp->SetLocalFileName(dir / "a.bin");
    for (const std::string& name : {std::string("a.bin\r\nDELE keep.bin"), std::string("a.bin\nDELE keep.bin"),
                                    std::string("a.bin\0DELE keep.bin", 19)}) {
        h.ftp->SetHostFileName(name);
        EXPECT_EQ(refusal([&] { h.ftp->SizeStep(); }), "HostFileName holds CR, LF or NUL");
        EXPECT_EQ(refusal([&] { h.ftp->RetrStep(); }), "HostFileName holds CR, LF or NUL");
        EXPECT_EQ(refusal([&] { h.ftp->StorStep(); }), "HostFileName holds CR, LF or NUL");
    }
    h.ftp->SetLocalFileName("NOOP\r\nDELE keep.bin");
    EXPECT_EQ(refusal([&] { h.ftp->QuoteStep(); }), "LocalFileName holds CR, LF or NUL");
    EXPECT_EQ(h.Run(&TCustomFtpCli::PwdStep), 0);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com", "PWD"}));
}

TEST_P(FtpTranscript, UsageErrorsBeforeAnythingIsSent) {
    EXPECT_THROW(h.ftp->CwdStep(), FtpException);  // HostDirName empty
    h.ftp->SetHostDirName("/pub");
    try {
        h.ftp->CwdStep();
        ADD_FAILURE() << "CwdStep without a connection was not refused";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component not connected");
    }
    try {
        h.ftp->GetFile();
        ADD_FAILURE() << "GetFile without a connection was not refused";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component not connected");
    }
    // With no local file there is no offset to send; a REST alone still needs a connection.
    try {
        h.ftp->RestStep();
        ADD_FAILURE() << "RestStep without a connection was not refused";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component not connected");
    }
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    // Nothing ran, so nothing is reported.
    PumpPending(*h.loop);
    EXPECT_TRUE(h.done.empty());
    // The refused sequence left nothing behind: a log-on still works.
    LogOnScript();
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.LastRequest(), frqLogOn);
    try {
        h.ftp->LogOn();
        ADD_FAILURE() << "a second log-on was not refused";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component already connected");
    }
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, SessionSizeReportsTheReplyBeforeQuit) {
    h.ftp->SetHostDirName("/pub/mirelo");
    h.ftp->SetHostFileName("formularios.cfg");
    LogOnScript()
        .Expect("CWD /pub/mirelo")
        .Reply("250 \"/pub/mirelo\" is the current directory")
        .Expect("SIZE formularios.cfg")
        .Reply("213 5368709120")
        .Expect("QUIT")
        .Reply("221 Goodbye.")
        .ExpectClose();
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::SessionSize), 0);
    EXPECT_EQ(h.LastRequest(), frqSize);
    EXPECT_EQ(h.ftp->RemoteFileSize(), 5368709120LL);
    EXPECT_EQ(h.ftp->LastReply(), "213 5368709120");
    EXPECT_EQ(h.ftp->ReplyCode(), 213);
    EXPECT_EQ(h.ftp->ReplyDirName(), "/pub/mirelo");
    EXPECT_FALSE(h.ftp->IsControlOpen());
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, SizeOfAMissingFileReports550AndLeavesZero) {
    h.ftp->SetHostFileName("first");
    LogOnScript()
        .Expect("SIZE first")
        .Reply("213 77")
        .Expect("SIZE worded")
        .Reply("213 file: 213, Size =51")
        .Expect("SIZE missing")
        .Reply("550 No such file.");
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::SizeStep), 0);
    EXPECT_EQ(h.ftp->RemoteFileSize(), 77);
    h.ftp->SetHostFileName("worded");
    EXPECT_EQ(h.Run(&TCustomFtpCli::SizeStep), 0);
    EXPECT_EQ(h.ftp->RemoteFileSize(), 51);
    h.ftp->SetHostFileName("missing");
    EXPECT_EQ(h.Run(&TCustomFtpCli::SizeStep), 550);
    EXPECT_EQ(h.LastRequest(), frqSize);
    EXPECT_EQ(h.ftp->RemoteFileSize(), 0);
    EXPECT_EQ(h.ftp->ErrorMessage(), "550 No such file.");
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, SessionSystSendsNoCwdAndRenameNeeds350) {
    h.ftp->SetHostDirName("/ignored");
    h.ftp->SetHostFileName("old");
    h.ftp->SetLocalFileName("new");
    LogOnScript()
        .Expect("SYST")
        .Reply("215 UNIX Type: L8")
        .Expect("QUIT")
        .Reply("221 Bye")
        .ExpectClose();
    peer.Start();
    EXPECT_EQ(h.Run(&TCustomFtpCli::SessionSyst), 0);
    EXPECT_EQ(h.LastRequest(), frqSessionSyst);
    EXPECT_EQ(h.ftp->LastReply(), "215 UNIX Type: L8");
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com", "SYST", "QUIT"}));
}

TEST_P(FtpTranscript, RenameSendsRntoOnlyAfter350) {
    h.ftp->SetHostFileName("old");
    h.ftp->SetLocalFileName("new");
    LogOnScript()
        .Expect("RNFR old")
        .Reply("350 Ready for destination name.")
        .Expect("RNTO new")
        .Reply("250 Renamed.")
        .Expect("RNFR old")
        .Reply("550 No such file.")
        .Expect("NOOP")
        .Reply("200 NOOP ok.")
        .Expect("BOGUS")
        .Reply("500 Unknown command.");
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::RenameFile), 0);
    EXPECT_EQ(h.LastRequest(), frqRename);
    EXPECT_EQ(h.Run(&TCustomFtpCli::RenameFile), 550);
    // QuoteStep sends LocalFileName as it stands; any code below 500 is success.
    h.ftp->SetLocalFileName("NOOP");
    EXPECT_EQ(h.Run(&TCustomFtpCli::QuoteStep), 0);
    h.ftp->SetLocalFileName("BOGUS");
    EXPECT_EQ(h.Run(&TCustomFtpCli::QuoteStep), 500);
    EXPECT_EQ(PeerFailure(), "");
    EXPECT_EQ(peer.Commands(), (Commands{"USER anonymous", "PASS guest@example.com", "RNFR old", "RNTO new",
                                         "RNFR old", "NOOP", "BOGUS"}));
}

TEST_P(FtpTranscript, ControlConnectionLostWhileWaitingIsAFailure) {
    h.ftp->SetHostDirName("/pub");
    std::vector<std::uint16_t> closes;
    h.ftp->OnSessionClosed = [&](TObject*, std::uint16_t error) { closes.push_back(error); };
    LogOnScript().Expect("CWD /pub").CloseControl();
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    EXPECT_EQ(h.Run(&TCustomFtpCli::CwdStep), 426);
    EXPECT_EQ(h.ftp->StatusCode(), 426);
    EXPECT_EQ(h.ftp->ErrorMessage().rfind("426 Connection closed", 0), 0u) << h.ftp->ErrorMessage();
    EXPECT_EQ(closes.size(), 1u);
    EXPECT_FALSE(h.ftp->IsControlOpen());
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, ConnectionRefusedEndsLogOnWithTheSocketError) {
    h.ftp->SetPort(std::to_string(FreeLoopbackPort()));
    EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 10061);
    EXPECT_EQ(h.ftp->LastReply().rfind("500 ", 0), 0u);
    EXPECT_NE(h.ftp->LastReply().find("(Winsock error #10061)"), std::string::npos) << h.ftp->LastReply();
    EXPECT_EQ(h.ftp->ReplyCode(), 500);
    EXPECT_EQ(h.sessionsConnected, 0);
    EXPECT_FALSE(h.ftp->IsControlOpen());
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
}

TEST_P(FtpTranscript, AbortWhileWaitingReports426Once) {
    h.ftp->SetHostDirName("/slow");
    LogOnScript();  // and then silence
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    h.ftp->CwdStep();
    ASSERT_EQ(h.ftp->EngineState(), fesAwaitingReply);
    h.ftp->AbortAll();
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_FALSE(h.ftp->IsControlOpen());
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return h.done.size() == 2; }));
    EXPECT_EQ(h.done[1], std::make_pair(frqCwd, std::uint16_t{426}));
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Operation aborted.");
    PumpPending(*h.loop);
    EXPECT_EQ(h.done.size(), 2u);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, WaitUntilReadyGivesUpAfterTheTimeout) {
    h.ftp->SetHostDirName("/silent");
    LogOnScript().Expect("CWD /silent").ExpectClose();
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    h.ftp->SetTimeout(1);
    EXPECT_FALSE(h.ftp->CwdStepAndWait());
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Timeout");
    EXPECT_EQ(h.ftp->ReplyCode(), 426);
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_FALSE(h.ftp->IsControlOpen());
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return h.done.size() == 2; }));
    EXPECT_EQ(h.done[1].second, 426);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, WaitingOperationsReportSuccessAndFailure) {
    h.ftp->SetHostDirName("/pub");
    LogOnScript()
        .Expect("CWD /pub")
        .Reply("250 OK")
        .Expect("TYPE I")
        .Reply("200 Type set to I")
        .Expect("CWD /pub")
        .Reply("550 No such directory");
    peer.Start();
    ASSERT_TRUE(h.ftp->RunAndWait(&TCustomFtpCli::LogOn));
    EXPECT_TRUE(h.ftp->CwdStepAndWait());
    h.ftp->SetBinary(false);
    EXPECT_TRUE(h.ftp->SetTypeBinaryAndWait());
    EXPECT_TRUE(h.ftp->Binary());
    EXPECT_FALSE(h.ftp->CwdStepAndWait());
    EXPECT_EQ(h.ftp->StatusCode(), 550);
    // A refused start gives false instead of an exception.
    h.ftp->SetHostDirName("");
    EXPECT_FALSE(h.ftp->CwdStepAndWait());
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, ExceptionFromOnRequestDoneAbortsTheRunningRequestUnlessKept) {
    std::vector<std::string> seen;
    h.ftp->OnBgException = [&](TObject* sender, const std::exception& e, bool& canClose) {
        EXPECT_EQ(sender, h.ftp.get());
        seen.push_back(e.what());
        canClose = seen.size() > 1;  // the first failure is kept
    };
    std::vector<std::pair<TFtpRequest, std::uint16_t>> done;
    h.ftp->SetHostDirName("/silent");
    h.ftp->OnRequestDone = [&](TObject*, TFtpRequest request, std::uint16_t error) {
        done.emplace_back(request, error);
        if (done.size() <= 2) {
            // Starts the next request, then fails: the first time the failure is kept, the
            // second time the client aborts the request that the handler left running.
            h.ftp->SystStep();
            throw std::runtime_error("handler failed " + std::to_string(done.size()));
        }
    };
    LogOnScript().Expect("SYST").Reply("215 UNIX").Expect("SYST").ExpectClose();
    peer.Start();
    h.ftp->LogOn();
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return done.size() == 2; }));
    EXPECT_EQ(done[1], std::make_pair(frqSyst, std::uint16_t{0}));
    // The second handler's failure aborts the SYST it started, which then reports 426 instead
    // of waiting for ever for a reply the server never sends.
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return done.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"handler failed 1", "handler failed 2"}));
    EXPECT_EQ(done[2], std::make_pair(frqSyst, std::uint16_t{426}));
    EXPECT_FALSE(h.ftp->IsControlOpen());
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, EngineStatesOfALogOnAndCommandRewriting) {
    std::vector<int> states;
    h.ftp->OnStateChange = [&](TObject*) { states.push_back(h.ftp->EngineState()); };
    h.ftp->OnCommand = [](TObject*, std::string& command) {
        if (command == "PWD")
            command = "XPWD";
    };
    LogOnScript().Expect("XPWD").Reply("257 \"/\" is the current directory");
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    // The sequencer passes through fesStepDone after every step, the last one included.
    EXPECT_EQ(states, (std::vector<int>{fesResolving, fesAwaitingBanner, fesSessionOpen, fesStepDone, fesAwaitingReply,
                                        fesStepDone, fesAwaitingReply, fesStepDone, fesReady}));
    EXPECT_EQ(h.Run(&TCustomFtpCli::PwdStep), 0);
    EXPECT_EQ(h.ftp->ReplyDirName(), "/");
    EXPECT_EQ(h.TraceCount("> XPWD"), 1);
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, RequestDoneIsNeverFiredInsideTheCallThatEndsIt) {
    // REST with no local file to resume ends at once, without a command.
    h.ftp->SetLocalFileName(dir / "absent");
    LogOnScript();
    peer.Start();
    ASSERT_EQ(h.Run(&TCustomFtpCli::LogOn), 0);
    std::size_t before = h.done.size();
    h.ftp->RestStep();
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    EXPECT_EQ(h.done.size(), before);
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return h.done.size() > before; }));
    EXPECT_EQ(h.done.back(), std::make_pair(frqRest, std::uint16_t{0}));
    EXPECT_EQ(PeerFailure(), "");
}

TEST_P(FtpTranscript, AbortDuringTheNameLookupReportsTheRequest) {
    // A host name (not a dotted address) is looked up in the background; abort before it ends.
    h.ftp->SetHostName("localhost");
    h.ftp->LogOn();
    ASSERT_EQ(h.ftp->EngineState(), fesResolving);
    h.ftp->AbortAll();
    EXPECT_EQ(h.ftp->EngineState(), fesReady);
    ASSERT_TRUE(PumpUntil(*h.loop, [&] { return !h.done.empty(); }));
    EXPECT_EQ(h.done[0], std::make_pair(frqLogOn, std::uint16_t{426}));
    EXPECT_EQ(h.ftp->ErrorMessage(), "426 Operation aborted.");
    // The cancelled lookup's result, should it come, starts nothing.
    PumpPending(*h.loop);
    EXPECT_EQ(h.done.size(), 1u);
    EXPECT_FALSE(h.ftp->IsControlOpen());
}
