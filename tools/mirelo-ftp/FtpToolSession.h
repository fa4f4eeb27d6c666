// One run of mirelo-ftp: log on, run the commands in order, QUIT. Owns the FTP client; the event
// loop, standard output's descriptor and the error stream are the caller's. Loop thread only.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FtpToolArgs.h"
#include "ProgressBar.h"
#include "ftp/Ftpcli.h"
#include "platform/EventLoop.h"

class FtpToolSession {
public:
    // `outFd` receives listings, "get ... -" and printed results; `err` the messages, the trace
    // and the progress bar.
    FtpToolSession(const FtpToolOptions& options, platform::EventLoop& loop, int outFd, std::FILE* err);

    // The exit status: 0 when every command succeeded, 1 at the first failure.
    int Run();

private:
    // Starts `request` and waits for it; false on any failure, with the reason in `failure`.
    bool Request(void (TCustomFtpCli::*request)(), std::string& failure);
    bool RunCommand(const FtpToolCommand& command, std::string& failure);
    // SIZE of HostFileName, in binary mode whatever the session's type.
    bool SizeInBinary(std::string& failure);
    // The server's size of `remote` (SIZE), -1 when refused.
    std::int64_t AskSize(const std::string& remote);
    bool Transfer(void (TCustomFtpCli::*request)(), const std::string& local, const std::string& remote, bool download,
                  std::string& failure);
    std::string FailureText() const;
    void Print(const std::string& line);
    void Quit();
    // Logs on and sets the transfer type; `what` names the step that failed.
    bool LogOn(std::string& failure, std::string& what);
    // Servers drop idle sessions and restarts cut them: a command that finds the connection gone
    // logs on again and goes back to the folder the commands had reached.
    bool EnsureConnected(std::string& failure);
    // A download into a file that fails for a passing reason is tried again from the bytes on
    // disk (REST), as the run does; true once one try succeeded.
    bool RetryDownload(const std::string& local, bool ok, std::string& failure);
    // Runs the event loop for `ms` milliseconds (a wait between tries).
    void Pause(int ms);

    const FtpToolOptions& options_;
    platform::EventLoop& loop_;
    int outFd_;
    std::FILE* err_;
    std::unique_ptr<TFtpClient> ftp_;
    ProgressBar progress_;
    // The folder changes since the log-on ("cdup" or a folder), replayed after a new log-on.
    std::vector<std::string> folders_;
};
