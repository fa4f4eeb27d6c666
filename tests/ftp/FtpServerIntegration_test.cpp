// The FTP client against real servers on loopback: pyftpdlib and vsftpd, passive and active, on
// both event-loop backends. Files of 0, 1, 1514 and 10 MB bytes go both ways and are compared byte
// for byte; the directory requests are checked against the served folder itself.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "FtpServers.h"
#include "FtpTestHarness.h"
#include "PatternBytes.h"
#include "TempDir.h"

namespace {

struct Sample {
    const char* Name;
    std::size_t Size;
};

constexpr Sample kSamples[] = {{"zero.bin", 0}, {"one.bin", 1}, {"frame.bin", 1514}, {"big.bin", 10 * 1000 * 1000}};

}  // namespace

class FtpServerIntegration : public testing::TestWithParam<RealServerParam> {
protected:
    void SetUp() override {
        auto [server, passive, backend] = GetParam();
        for (const Sample& sample : kSamples)
            root.Write(sample.Name, PatternBytes(sample.Size, static_cast<unsigned>(sample.Size)));
        std::filesystem::create_directories(root / "incoming");
        if (server == RealServer::Vsftpd) {
            std::string reason;
            if (!VsftpdServer::CanRun(reason))
                GTEST_SKIP() << reason;
            vsftpd = std::make_unique<VsftpdServer>(root.Path());
            port = vsftpd->Port();
        } else {
            PyFtpdServer::Options options;
            options.Root = root.Path();
            options.Accounts = {{"alice", "s3cret"}};
            pyftpd = std::make_unique<PyFtpdServer>(options);
            port = pyftpd->Port();
        }
        h = std::make_unique<FtpHarness>(backend);
        h->ftp->SetPort(std::to_string(port));
        h->ftp->SetPassiveMode(passive);
        ASSERT_EQ(h->Run(&TCustomFtpCli::LogOn), 0) << h->ftp->ErrorMessage();
        h->ftp->SetBinary(true);
        ASSERT_EQ(h->Run(&TCustomFtpCli::TypeStep), 0) << h->ftp->ErrorMessage();
    }

    void TearDown() override {
        if (HasFailure() && h)
            h->PrintTrace();
        if (h && h->ftp->IsControlOpen() && h->ftp->EngineState() == fesReady) {
            EXPECT_EQ(h->Run(&TCustomFtpCli::QuitStep), 0);
        }
        h.reset();
    }

    int Cwd(const std::string& folder) {
        h->ftp->SetHostDirName(folder);
        return h->Run(&TCustomFtpCli::CwdStep);
    }

    std::set<std::string> Lines(const std::string& text) {
        std::set<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                lines.insert(line);
        }
        return lines;
    }

    TempDir root;
    TempDir local;
    std::unique_ptr<PyFtpdServer> pyftpd;
    std::unique_ptr<VsftpdServer> vsftpd;
    std::uint16_t port = 0;
    std::unique_ptr<FtpHarness> h;
};

INSTANTIATE_TEST_SUITE_P(Servers, FtpServerIntegration,
                         testing::Combine(testing::Values(RealServer::Pyftpdlib, RealServer::Vsftpd), testing::Bool(),
                                          testing::Values(LoopBackend::Poll, LoopBackend::Qt)),
                         RealServerParamName);

TEST_P(FtpServerIntegration, DownloadsMatchByteForByte) {
    for (const Sample& sample : kSamples) {
        SCOPED_TRACE(sample.Name);
        h->ftp->SetHostFileName(sample.Name);
        ASSERT_EQ(h->Run(&TCustomFtpCli::SizeStep), 0) << h->ftp->ErrorMessage();
        EXPECT_EQ(h->ftp->RemoteFileSize(), static_cast<std::int64_t>(sample.Size));
        ASSERT_EQ(h->Get(sample.Name, local / sample.Name), 0) << h->ftp->ErrorMessage();
        EXPECT_EQ(h->LastRequest(), frqGet);
        EXPECT_TRUE(local.Read(sample.Name) == root.Read(sample.Name));
        EXPECT_EQ(h->ftp->TransferredBytes(), static_cast<std::int64_t>(sample.Size));
    }
    h->ftp->SetHostFileName("absent.bin");
    EXPECT_EQ(h->Run(&TCustomFtpCli::SizeStep), 550);
    EXPECT_EQ(h->ftp->RemoteFileSize(), 0);
    EXPECT_EQ(h->Get("absent.bin", local / "absent.bin"), 550);
    EXPECT_EQ(h->ftp->EngineState(), fesReady);
}

// A local file that stops taking bytes in the middle of a large download (here the process's file
// size limit; a full disk alike) fails the transfer, and what was received and not written is
// not left to the next file.
TEST_P(FtpServerIntegration, ADownloadTheLocalFileCannotHoldFailsAndLeavesNothingToTheNext) {
    struct LimitedFileSize {
        LimitedFileSize() {
            getrlimit(RLIMIT_FSIZE, &before);
            rlimit limited = before;
            limited.rlim_cur = 1000 * 1000;
            setrlimit(RLIMIT_FSIZE, &limited);
            signalBefore = std::signal(SIGXFSZ, SIG_IGN);
        }
        ~LimitedFileSize() {
            setrlimit(RLIMIT_FSIZE, &before);
            std::signal(SIGXFSZ, signalBefore);
        }
        rlimit before{};
        void (*signalBefore)(int) = nullptr;
    };
    {
        LimitedFileSize limit;
        EXPECT_EQ(h->Get("big.bin", local / "cut.bin"), 550);
        EXPECT_EQ(h->ftp->ErrorMessage(), "550 Error writing local file " + (local / "cut.bin"));
    }
    ASSERT_EQ(h->Get("big.bin", local / "big.bin"), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(local.Read("big.bin") == root.Read("big.bin"));
}

TEST_P(FtpServerIntegration, ResumedDownloadCompletesAPartialFile) {
    std::string big = root.Read("big.bin");
    local.Write("big.bin", big.substr(0, 3 * 1000 * 1000 + 7));
    h->ftp->SetHostFileName("big.bin");
    h->ftp->SetLocalFileName(local / "big.bin");
    std::int64_t firstCount = -1;
    h->ftp->OnProgress = [&](TObject*, std::int64_t count, bool&) {
        if (firstCount < 0)
            firstCount = count;
    };
    ASSERT_EQ(h->Run(&TCustomFtpCli::ResumeGetFile), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(h->LastRequest(), frqResumeGet);
    EXPECT_EQ(firstCount, 3 * 1000 * 1000 + 7);
    EXPECT_TRUE(local.Read("big.bin") == big);
}

TEST_P(FtpServerIntegration, UploadsAppendAndResumeMatchByteForByte) {
    ASSERT_EQ(Cwd("incoming"), 0) << h->ftp->ErrorMessage();
    for (const Sample& sample : kSamples) {
        SCOPED_TRACE(sample.Name);
        ASSERT_EQ(h->Put(root / sample.Name, sample.Name), 0) << h->ftp->ErrorMessage();
        EXPECT_EQ(h->LastRequest(), frqPut);
        EXPECT_TRUE(root.Read(std::string("incoming/") + sample.Name) == root.Read(sample.Name));
    }
    ASSERT_EQ(h->Put(root / "one.bin", "frame.bin", &TCustomFtpCli::AppendFile), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(h->LastRequest(), frqAppend);
    EXPECT_TRUE(root.Read("incoming/frame.bin") == root.Read("frame.bin") + root.Read("one.bin"));

    // An interrupted upload: the server holds the first part; REST continues from its size.
    std::string big = root.Read("big.bin");
    local.Write("part.bin", big.substr(0, 1000 * 1000));
    ASSERT_EQ(h->Put(local / "part.bin", "resumed.bin"), 0) << h->ftp->ErrorMessage();
    h->ftp->SetHostFileName("resumed.bin");
    ASSERT_EQ(h->Run(&TCustomFtpCli::SizeStep), 0);
    h->ftp->SetRestartOffset(h->ftp->RemoteFileSize());
    ASSERT_EQ(h->Put(root / "big.bin", "resumed.bin", &TCustomFtpCli::ResumePutFile), 0) << h->ftp->ErrorMessage();
    EXPECT_TRUE(root.Read("incoming/resumed.bin") == big);
}

TEST_P(FtpServerIntegration, DirectoryRequestsChangeTheServedFolder) {
    ASSERT_EQ(Cwd("incoming"), 0);
    ASSERT_EQ(h->Run(&TCustomFtpCli::PwdStep), 0);
    EXPECT_EQ(h->ftp->ReplyDirName(), "/incoming");

    h->ftp->SetHostFileName("made");
    ASSERT_EQ(h->Run(&TCustomFtpCli::MkdStep), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(h->ftp->ReplyDirName(), "/incoming/made");
    EXPECT_TRUE(std::filesystem::is_directory(root / "incoming/made"));
    ASSERT_EQ(h->Run(&TCustomFtpCli::RmdStep), 0) << h->ftp->ErrorMessage();
    EXPECT_FALSE(std::filesystem::exists(root / "incoming/made"));

    ASSERT_EQ(h->Put(root / "frame.bin", "before.bin"), 0);
    h->ftp->SetHostFileName("before.bin");
    h->ftp->SetLocalFileName("after.bin");
    ASSERT_EQ(h->Run(&TCustomFtpCli::RenameFile), 0) << h->ftp->ErrorMessage();
    EXPECT_FALSE(std::filesystem::exists(root / "incoming/before.bin"));
    EXPECT_TRUE(root.Read("incoming/after.bin") == root.Read("frame.bin"));
    h->ftp->SetHostFileName("after.bin");
    ASSERT_EQ(h->Run(&TCustomFtpCli::DeleStep), 0) << h->ftp->ErrorMessage();
    EXPECT_FALSE(std::filesystem::exists(root / "incoming/after.bin"));
    EXPECT_NE(h->Run(&TCustomFtpCli::DeleStep), 0);

    ASSERT_EQ(h->Run(&TCustomFtpCli::CdupStep), 0) << h->ftp->ErrorMessage();
    ASSERT_EQ(h->Run(&TCustomFtpCli::PwdStep), 0);
    EXPECT_EQ(h->ftp->ReplyDirName(), "/");
}

TEST_P(FtpServerIntegration, ListingsNameTheServedFiles) {
    h->ftp->SetHostFileName("");
    h->ftp->SetLocalFileName(local / "nlst.txt");
    ASSERT_EQ(h->Run(&TCustomFtpCli::NameListDir), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(h->LastRequest(), frqNlst);
    std::set<std::string> names = Lines(local.Read("nlst.txt"));
    // Servers differ in whether NLST shows "./" prefixes; compare the bare names.
    std::set<std::string> bare;
    for (const std::string& name : names)
        bare.insert(name.rfind("./", 0) == 0 ? name.substr(2) : name);
    EXPECT_EQ(bare, (std::set<std::string>{"big.bin", "frame.bin", "incoming", "one.bin", "zero.bin"}));

    h->ftp->SetLocalFileName(local / "list.txt");
    ASSERT_EQ(h->Run(&TCustomFtpCli::ListDir), 0) << h->ftp->ErrorMessage();
    std::set<std::string> lines = Lines(local.Read("list.txt"));
    EXPECT_EQ(lines.size(), 5u);
    for (const std::string& line : lines)
        EXPECT_TRUE(line.find(" big.bin") != std::string::npos || line.find(" frame.bin") != std::string::npos ||
                    line.find(" incoming") != std::string::npos || line.find(" one.bin") != std::string::npos ||
                    line.find(" zero.bin") != std::string::npos)
            << line;

    // The same listing line by line through OnDisplayFile, with no local file.
    std::vector<std::string> shown;
    h->ftp->OnDisplayFile = [&](TObject*, std::string& line) { shown.push_back(line); };
    h->ftp->SetDisplayFileFlag(true);
    h->ftp->SetLocalFileName("");
    ASSERT_EQ(h->Run(&TCustomFtpCli::NameListDir), 0) << h->ftp->ErrorMessage();
    EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), names);
}

// Accounts with passwords, on pyftpdlib (the vsftpd fixture serves anonymous only).
TEST(FtpAccounts, PasswordLogOnAndRefusal) {
    TempDir root;
    root.Write("secret.txt", "for alice");
    PyFtpdServer::Options options;
    options.Root = root.Path();
    options.Accounts = {{"alice", "s3cret"}};
    options.Anonymous = false;
    PyFtpdServer server(options);
    for (LoopBackend backend : {LoopBackend::Poll, LoopBackend::Qt}) {
        FtpHarness h(backend);
        h.ftp->SetPort(std::to_string(server.Port()));
        h.ftp->SetUserName("alice");
        h.ftp->SetPassWord("wrong");
        EXPECT_EQ(h.Run(&TCustomFtpCli::LogOn), 530);
        EXPECT_EQ(h.ftp->ErrorMessage().rfind("530 ", 0), 0u);
        EXPECT_TRUE(h.ftp->IsControlOpen());
        h.ftp->AbortAll();

        TempDir local;
        h.ftp->SetPassWord("s3cret");
        h.ftp->SetHostFileName("secret.txt");
        h.ftp->SetLocalFileName(local / "secret.txt");
        EXPECT_EQ(h.Run(&TCustomFtpCli::SessionGetFile), 0) << h.ftp->ErrorMessage();
        EXPECT_EQ(h.LastRequest(), frqSessionGet);
        EXPECT_EQ(local.Read("secret.txt"), "for alice");
        EXPECT_FALSE(h.ftp->IsControlOpen());
    }
}
