// mirelo-ftp: its command line alone, and the built program against pyftpdlib and vsftpd, as a
// user runs it (exit status, standard output, the failure line).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "FtpServers.h"
#include "FtpToolArgs.h"
#include "PatternBytes.h"
#include "ProgressBar.h"
#include "ScriptedPeer.h"
#include "TempDir.h"
#include "TestCertificates.h"

namespace {

FtpToolOptions Parse(const std::vector<std::string>& args, std::string& error) {
    FtpToolOptions options;
    error = ParseFtpToolArgs(args, options);
    return options;
}

struct ToolRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs the built program with `args` in `folder`, bounded to 60 s, and collects its output.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& folder) {
    std::vector<std::string> argv{MIRELO_FTP_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& arg : argv)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ToolRun run;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[65536];
            ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
            if (count <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? run.Out : run.Err).append(buffer, static_cast<std::size_t>(count));
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

// --- The command line ------------------------------------------------------------------------

TEST(FtpToolArgs, OptionsHostAndCommands) {
    std::string error;
    FtpToolOptions o = Parse({"--port", "2121", "--user", "alice", "--password=s3cret", "--active", "--ascii",
                              "--timeout", "0", "--trace", "--progress", "ftp.example.org", "-e", "cwd /pub",
                              "-e", "get \"a file.bin\" -", "-e", "quote  SITE  CHMOD 644 x"},
                             error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(o.Host, "ftp.example.org");
    EXPECT_EQ(o.Port, "2121");
    EXPECT_EQ(o.User, "alice");
    EXPECT_EQ(o.Password, "s3cret");
    EXPECT_TRUE(o.Active && o.Ascii && o.Trace && o.Progress);
    EXPECT_EQ(o.TimeoutSeconds, 0);
    ASSERT_EQ(o.Commands.size(), 3u);
    EXPECT_EQ(o.Commands[0].Name, "cwd");
    EXPECT_EQ(o.Commands[0].Args, std::vector<std::string>{"/pub"});
    EXPECT_EQ(o.Commands[1].Args, (std::vector<std::string>{"a file.bin", "-"}));
    EXPECT_EQ(o.Commands[1].Text, "get \"a file.bin\" -");
    // quote keeps its text as typed, inner blanks included.
    EXPECT_EQ(o.Commands[2].Args, std::vector<std::string>{"SITE  CHMOD 644 x"});
}

TEST(FtpToolArgs, TlsOptionsFollowCurl) {
    std::string error;
    FtpToolOptions o = Parse({"--ssl-reqd", "--cacert", "ca.pem", "h", "-e", "syst"}, error);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(o.SslRequired);
    EXPECT_FALSE(o.Ssl);
    EXPECT_EQ(o.CaCertFile, "ca.pem");
    o = Parse({"--ssl", "h", "-e", "syst"}, error);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(o.Ssl);
    EXPECT_FALSE(o.SslRequired);
    EXPECT_TRUE(o.CaCertFile.empty());
    Parse({"h", "-e", "syst", "--cacert"}, error);
    EXPECT_EQ(error, "--cacert needs a file");
    Parse({"--ssl=yes", "h", "-e", "syst"}, error);
    EXPECT_EQ(error, "--ssl takes no value");
}

TEST(FtpToolArgs, DefaultsArePassiveBinaryAnonymousOnPort21) {
    std::string error;
    FtpToolOptions o = Parse({"127.0.0.1", "-e", "syst"}, error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(o.Port, "21");
    EXPECT_EQ(o.User, "anonymous");
    EXPECT_FALSE(o.Active || o.Ascii || o.Trace || o.Progress);
    EXPECT_EQ(o.TimeoutSeconds, 60);
}

TEST(FtpToolArgs, UsageErrors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-e", "pwd"}, "no HOST given"},
        {{"h"}, "no command given (-e COMMAND)"},
        {{"h", "-e"}, "-e needs a command"},
        {{"h", "-e", "fly away"}, "unknown command \"fly\""},
        {{"h", "-e", "get"}, "usage: get REMOTE [LOCAL]"},
        {{"h", "-e", "get a b c"}, "usage: get REMOTE [LOCAL]"},
        {{"h", "-e", "mv a"}, "usage: mv FROM TO"},
        {{"h", "-e", "pwd now"}, "usage: pwd"},
        {{"h", "-e", "quote"}, "usage: quote TEXT"},
        {{"h", "-e", "get \"a"}, "unmatched \" in \"get \"a\""},
        {{"h", "-e", "  "}, "empty command"},
        {{"h", "--port", "0", "-e", "pwd"}, "--port needs a port number from 1 to 65535"},
        {{"h", "--port", "65536", "-e", "pwd"}, "--port needs a port number from 1 to 65535"},
        {{"h", "--port", "21x", "-e", "pwd"}, "--port needs a port number from 1 to 65535"},
        {{"h", "--timeout", "-1", "-e", "pwd"}, "--timeout needs a number of seconds (0: no limit)"},
        {{"h", "--active=yes", "-e", "pwd"}, "--active takes no value"},
        {{"h", "--verbose", "-e", "pwd"}, "unknown option --verbose"},
        {{"h", "other", "-e", "pwd"}, "only one HOST may be given (also \"other\")"},
        {{"h", "-e", "pwd", "--user"}, "--user needs a name"},
    };
    for (const auto& [args, expected] : cases) {
        std::string error;
        Parse(args, error);
        EXPECT_EQ(error, expected) << testing::PrintToString(args);
    }
    std::string error;
    EXPECT_TRUE(Parse({"--help"}, error).Help);
    EXPECT_EQ(error, "");
}

TEST(FtpToolProgress, LineShowsBytesPercentAndSpeed) {
    EXPECT_EQ(FormatBytes(512), "512 B");
    EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(FormatBytes(3.0 * 1024 * 1024 * 1024), "3.0 GiB");
    EXPECT_EQ(FormatProgress(5LL << 30, 10LL << 30, 100.0 * 1024 * 1024),
              "  5.0 GiB / 10.0 GiB  50% [##########..........]  100.0 MiB/s");
    EXPECT_EQ(FormatProgress(0, 0, 0), "  0 B / 0 B 100% [####################]  0 B/s");
    EXPECT_EQ(FormatProgress(2048, -1, 1024), "  2.0 KiB  1.0 KiB/s");
}

// --- The program against real servers --------------------------------------------------------

class FtpToolProgram : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root / "pub");
        root.Write("pub/data.bin", PatternBytes(300000));
        root.Write("pub/note.txt", "line one\r\nline two\r\n");
        PyFtpdServer::Options options;
        options.Root = root.Path();
        options.Accounts = {{"alice", "s3cret"}};
        server = std::make_unique<PyFtpdServer>(options);
        port = std::to_string(server->Port());
    }

    ToolRun Tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", port, "127.0.0.1"});
        return RunTool(args, work.Path());
    }

    TempDir root;
    TempDir work;
    std::unique_ptr<PyFtpdServer> server;
    std::string port;
};

TEST_F(FtpToolProgram, CommandsRunInOneSessionAndPrintTheirResults) {
    ToolRun run = Tool({"--user", "alice", "--password", "s3cret", "-e", "cwd pub", "-e", "pwd", "-e", "size data.bin",
                        "-e", "get data.bin", "-e", "get note.txt -", "-e", "nlst", "-e", "syst", "--trace"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    // A binary get keeps the file's bytes; a listing is text, printed with local line ends.
    EXPECT_EQ(run.Out, "/pub\n300000\nline one\r\nline two\r\ndata.bin\nnote.txt\n215 UNIX Type: L8\n");
    EXPECT_TRUE(work.Read("data.bin") == root.Read("pub/data.bin"));
    EXPECT_NE(run.Err.find("> PASS ****\n"), std::string::npos);
    EXPECT_EQ(run.Err.find("s3cret"), std::string::npos);
    EXPECT_NE(run.Err.find("> QUIT\n< 221"), std::string::npos);
}

TEST_F(FtpToolProgram, SizeInAsciiModeIsAskedInBinary) {
    // pyftpdlib, like many servers, refuses SIZE in ASCII mode.
    ToolRun run = Tool({"--ascii", "--trace", "-e", "size pub/data.bin", "-e", "pwd"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "300000\n/\n");
    // ASCII is back for what follows.
    EXPECT_NE(run.Err.find("> TYPE A", run.Err.find("> SIZE pub/data.bin")), std::string::npos) << run.Err;
}

TEST_F(FtpToolProgram, AsciiGetWritesLocalLineEnds) {
    root.Write("pub/unix.txt", "line one\nline two\n\nlast\n");
    ToolRun run = Tool({"--ascii", "-e", "cwd pub", "-e", "get unix.txt", "-e", "get unix.txt -"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    // The server sends CR LF in ASCII mode; the file and the output get the local LF.
    EXPECT_EQ(work.Read("unix.txt"), "line one\nline two\n\nlast\n");
    EXPECT_EQ(run.Out, "line one\nline two\n\nlast\n");
}

TEST_F(FtpToolProgram, UploadsAppendResumeAndDirectoryCommands) {
    std::string data = PatternBytes(300000);
    work.Write("up.bin", data);
    work.Write("half.bin", data.substr(0, 100000));
    ToolRun run = Tool({"--active", "-e", "mkdir box", "-e", "cwd box", "-e", "put up.bin", "-e", "append up.bin",
                        "-e", "put half.bin whole.bin", "-e", "resume-put up.bin whole.bin", "-e", "mv up.bin moved.bin",
                        "-e", "rm moved.bin", "-e", "cdup", "-e", "ls box", "--progress"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(root / "box/up.bin"));
    EXPECT_FALSE(std::filesystem::exists(root / "box/moved.bin"));
    EXPECT_TRUE(root.Read("box/whole.bin") == data);
    EXPECT_NE(run.Out.find(" whole.bin"), std::string::npos) << run.Out;
    EXPECT_NE(run.Err.find("100% [####################]"), std::string::npos) << run.Err;

    // A second session: APPE creates a missing file and then extends it, resume-get without a
    // local copy fetches the whole file, and the failing rmdir ends the run.
    ToolRun again = Tool({"-e", "cwd box", "-e", "append up.bin twice.bin", "-e", "append up.bin twice.bin",
                          "-e", "resume-get twice.bin", "-e", "rmdir /nothing"});
    EXPECT_EQ(again.Status, 1);
    EXPECT_TRUE(root.Read("box/twice.bin") == data + data);
    EXPECT_TRUE(work.Read("twice.bin") == data + data);
    EXPECT_EQ(again.Err.rfind("mirelo-ftp: rmdir /nothing failed: 550 ", 0), 0u) << again.Err;
}

TEST_F(FtpToolProgram, FirstFailureStopsTheRunWithItsMessage) {
    ToolRun run = Tool({"-e", "cwd pub", "-e", "get missing.bin", "-e", "get data.bin"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, "mirelo-ftp: get missing.bin failed: 550 No such file or directory.\n");
    // Nothing was fetched after the failure, and the failed fetch left no empty file behind.
    EXPECT_FALSE(std::filesystem::exists(work / "data.bin"));
    EXPECT_FALSE(std::filesystem::exists(work / "missing.bin"));

    ToolRun refused = Tool({"--user", "alice", "--password", "wrong", "-e", "pwd"});
    EXPECT_EQ(refused.Status, 1);
    EXPECT_EQ(refused.Err.rfind("mirelo-ftp: logon failed: 530 ", 0), 0u) << refused.Err;

    ToolRun local = Tool({"-e", "put no-such-local-file"});
    EXPECT_EQ(local.Status, 1);
    EXPECT_EQ(local.Err, "mirelo-ftp: put no-such-local-file failed: 426 Unable to open local file no-such-local-file\n");
}

TEST_F(FtpToolProgram, UsageErrorsExitWith2AndNothingIsContacted) {
    ToolRun run = Tool({"-e", "fly"});
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err.rfind("mirelo-ftp: unknown command \"fly\"\nusage: mirelo-ftp ", 0), 0u) << run.Err;
    ToolRun help = RunTool({"--help"}, work.Path());
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.rfind("usage: mirelo-ftp ", 0), 0u);
}

TEST_F(FtpToolProgram, RefusedConnectionIsALogOnFailure) {
    ToolRun run = RunTool({"--port", std::to_string(FreeLoopbackPort()), "127.0.0.1", "-e", "pwd"}, work.Path());
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err.rfind("mirelo-ftp: logon failed: 500 ", 0), 0u) << run.Err;
    EXPECT_NE(run.Err.find("(Winsock error #10061)"), std::string::npos) << run.Err;
}

// A device or a named pipe as the local file: the download goes through it and counts as whole.
TEST_F(FtpToolProgram, DevicesAndNamedPipesTakeADownload) {
    ToolRun toNull = Tool({"-e", "get pub/data.bin /dev/null"});
    EXPECT_EQ(toNull.Status, 0) << toNull.Err;

    const std::string fifo = work / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The reader opens without blocking and reads until the writer closes, bounded in time.
    std::string piped;
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool writerSeen = false;
        while (fd >= 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            ::poll(&ready, 1, 100);
            char buffer[65536];
            ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count > 0) {
                piped.append(buffer, static_cast<std::size_t>(count));
                writerSeen = true;
            } else if (count == 0 && writerSeen) {
                break;  // the writer has closed its end
            }
        }
        if (fd >= 0)
            ::close(fd);
    });
    ToolRun toFifo = Tool({"-e", "get pub/data.bin fifo"});
    reader.join();
    EXPECT_EQ(toFifo.Status, 0) << toFifo.Err;
    EXPECT_TRUE(piped == root.Read("pub/data.bin")) << piped.size() << " bytes through the pipe";
}

// The length is judged on the file when it is a regular one, and by the bytes written when it is
// a device, which keeps none.
TEST(FtpToolTranscript, ATransferShortOfTheServersSizeFails) {
    for (std::string local : {"f.bin", "/dev/null"}) {
        SCOPED_TRACE(local);
        TempDir work;
        ScriptedPeer peer;
        peer.Reply("220 ready")
            .Expect("USER anonymous")
            .Reply("331 Password required")
            .Expect("PASS mirelo-ftp@localhost")
            .Reply("230 Logged in")
            .Expect("TYPE I")
            .Reply("200 Type set to I")
            .Expect("PASV")
            .OpenPassive()
            .AcceptData()
            .Expect("RETR f.bin")
            .Reply("150 Opening data connection")  // no size announced: SIZE is asked after
            .SendData("12345")
            .CloseData()
            .Reply("226 Transfer complete")
            .Expect("SIZE f.bin")
            .Reply("213 10")
            .Expect("QUIT")
            .Reply("221 Bye")
            .ExpectClose();
        peer.Start();
        ToolRun run = RunTool({"--port", std::to_string(peer.Port()), "127.0.0.1", "-e", "get f.bin " + local}, work.Path());
        std::string failure;
        EXPECT_TRUE(peer.Finish(failure)) << failure;
        EXPECT_EQ(run.Status, 1);
        EXPECT_EQ(run.Err, "mirelo-ftp: get f.bin " + local + " failed: received 5 of 10 bytes\n");
        // The part that came is kept, for resume-get.
        if (local == "f.bin") {
            EXPECT_EQ(work.Read("f.bin"), "12345");
        }
    }
}

TEST(FtpToolVsftpd, PassiveAndActiveDownloadsFromVsftpd) {
    std::string reason;
    if (!VsftpdServer::CanRun(reason))
        GTEST_SKIP() << reason;
    TempDir root;
    TempDir work;
    root.Write("big.bin", PatternBytes(10 * 1000 * 1000));
    VsftpdServer server(root.Path());
    std::string port = std::to_string(server.Port());
    ToolRun passive = RunTool({"--port", port, "127.0.0.1", "-e", "get big.bin passive.bin"}, work.Path());
    ASSERT_EQ(passive.Status, 0) << passive.Err;
    ToolRun active = RunTool({"--port", port, "--active", "127.0.0.1", "-e", "get big.bin active.bin"}, work.Path());
    ASSERT_EQ(active.Status, 0) << active.Err;
    std::string expected = root.Read("big.bin");
    EXPECT_TRUE(work.Read("passive.bin") == expected);
    EXPECT_TRUE(work.Read("active.bin") == expected);
}

TEST(FtpToolVsftpd, SslReqdMovesFilesOverTlsAndTheTraceNamesVersionAndCipher) {
    std::string reason;
    if (!VsftpdServer::CanRun(reason))
        GTEST_SKIP() << reason;
    TempDir root;
    TempDir work;
    root.Write("big.bin", PatternBytes(3 * 1000 * 1000 + 5));
    const CertificateFiles good = TestCertificateFiles(TestCertificate::Good);
    VsftpdServer server(root.Path(), VsftpdServer::Tls{good.Cert, good.Key});
    std::string port = std::to_string(server.Port());
    for (const char* mode : {"--ssl-reqd", "--ssl"}) {
        SCOPED_TRACE(mode);
        ToolRun run = RunTool({"--port", port, mode, "--cacert", TestAuthorityFile(), "--trace", "127.0.0.1", "-e",
                               "get big.bin got.bin", "-e", "put got.bin incoming/back.bin"},
                              work.Path());
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_TRUE(work.Read("got.bin") == root.Read("big.bin"));
        EXPECT_TRUE(root.Read("incoming/back.bin") == root.Read("big.bin"));
        EXPECT_NE(run.Err.find("\n! TLS TLSv1.3 TLS_"), std::string::npos) << run.Err;
        std::filesystem::remove(root / "incoming/back.bin");
    }
    // Without the test authority the certificate leads nowhere trusted.
    ToolRun untrusted = RunTool({"--port", port, "--ssl", "127.0.0.1", "-e", "syst"}, work.Path());
    EXPECT_EQ(untrusted.Status, 1);
    EXPECT_EQ(untrusted.Err.rfind("mirelo-ftp: logon failed: 500 TLS error #20102: ", 0), 0u) << untrusted.Err;
}

TEST(FtpToolVsftpd, ServerWithoutTlsIsUsedUnderSslAndRefusedUnderSslReqd) {
    std::string reason;
    if (!VsftpdServer::CanRun(reason))
        GTEST_SKIP() << reason;
    TempDir root;
    TempDir work;
    root.Write("f.bin", PatternBytes(1514));
    VsftpdServer server(root.Path());
    std::string port = std::to_string(server.Port());
    ToolRun tried = RunTool({"--port", port, "--ssl", "--trace", "127.0.0.1", "-e", "get f.bin"}, work.Path());
    ASSERT_EQ(tried.Status, 0) << tried.Err;
    EXPECT_TRUE(work.Read("f.bin") == root.Read("f.bin"));
    EXPECT_NE(tried.Err.find("! The server refused TLS"), std::string::npos) << tried.Err;
    ToolRun required = RunTool({"--port", port, "--ssl-reqd", "--trace", "127.0.0.1", "-e", "get f.bin g.bin"},
                               work.Path());
    EXPECT_EQ(required.Status, 1);
    EXPECT_NE(required.Err.find("mirelo-ftp: logon failed: 530 "), std::string::npos) << required.Err;
    EXPECT_EQ(required.Err.find("> USER"), std::string::npos) << required.Err;
    EXPECT_FALSE(std::filesystem::exists(work / "g.bin"));
}
