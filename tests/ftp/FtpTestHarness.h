// A TFtpClient on one event-loop backend with its events recorded, shared by the FTP tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "LoopBackends.h"
#include "ftp/Ftpcli.h"

struct FtpHarness {
    explicit FtpHarness(LoopBackend backend) : loop(MakeEventLoop(backend)), ftp(std::make_unique<TFtpClient>(*loop)) {
        ftp->SetHostName("127.0.0.1");
        ftp->SetUserName("anonymous");
        ftp->SetPassWord("guest@example.com");
        ftp->SetTimeout(20);
        ftp->OnDisplay = [this](TObject*, std::string& text) { trace.push_back(text); };
        ftp->OnRequestDone = [this](TObject* sender, TFtpRequest request, std::uint16_t error) {
            EXPECT_EQ(sender, ftp.get());
            done.emplace_back(request, error);
        };
        ftp->OnSessionConnected = [this](TObject*, std::uint16_t) { ++sessionsConnected; };
    }

    ~FtpHarness() {
        ftp.reset();
        // Let the sockets' deferred work run down on the loop before it goes.
        PumpPending(*loop);
    }

    // Starts a request and pumps the loop until its OnRequestDone arrives (bounded); returns the
    // Error it reported, or -1 when it never came.
    int Run(void (TCustomFtpCli::*request)()) {
        std::size_t before = done.size();
        (ftp.get()->*request)();
        if (!PumpUntil(*loop, [&] { return done.size() > before; }, std::chrono::seconds(20)))
            return -1;
        return done.back().second;
    }

    // Fetches `remote` into the local file `local`; the Error as Run returns it.
    int Get(const std::string& remote, const std::string& local) {
        ftp->SetHostFileName(remote);
        ftp->SetLocalFileName(local);
        return Run(&TCustomFtpCli::GetFile);
    }

    // Sends the local file `local` as `remote` with PutFile, or with the upload request given.
    int Put(const std::string& local, const std::string& remote,
            void (TCustomFtpCli::*request)() = &TCustomFtpCli::PutFile) {
        ftp->SetLocalFileName(local);
        ftp->SetHostFileName(remote);
        return Run(request);
    }

    TFtpRequest LastRequest() const { return done.empty() ? ftpRqNone : done.back().first; }

    // How many trace lines equal `text`.
    int TraceCount(const std::string& text) const {
        int count = 0;
        for (const std::string& line : trace)
            count += line == text;
        return count;
    }

    // The client's trace, which is what explains a failure against a real server.
    void PrintTrace() const {
        for (const std::string& line : trace)
            std::fprintf(stderr, "trace: %s\n", line.c_str());
    }

    bool TraceHasPrefix(const std::string& prefix) const {
        for (const std::string& line : trace)
            if (line.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }

    std::unique_ptr<platform::EventLoop> loop;
    std::unique_ptr<TFtpClient> ftp;
    std::vector<std::string> trace;
    std::vector<std::pair<TFtpRequest, std::uint16_t>> done;
    int sessionsConnected = 0;
};

// The real servers the tests run against, passive or active, on either backend.
enum class RealServer { Pyftpdlib, Vsftpd };
using RealServerParam = std::tuple<RealServer, bool, LoopBackend>;

inline std::string RealServerParamName(const testing::TestParamInfo<RealServerParam>& info) {
    auto [server, passive, backend] = info.param;
    return std::string(server == RealServer::Pyftpdlib ? "Pyftpdlib" : "Vsftpd") + (passive ? "Passive" : "Active") +
           (backend == LoopBackend::Poll ? "Poll" : "Qt");
}
