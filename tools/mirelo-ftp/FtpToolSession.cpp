#include "FtpToolSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "ftp/FtpRetry.h"

namespace {

// The last part of a path: "pub/a.bin" gives "a.bin".
std::string BaseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

FtpToolSession::FtpToolSession(const FtpToolOptions& options, platform::EventLoop& loop, int outFd, std::FILE* err)
    : options_(options), loop_(loop), outFd_(outFd), err_(err), ftp_(std::make_unique<TFtpClient>(loop)), progress_(err) {
    ftp_->SetHostName(options_.Host);
    ftp_->SetPort(options_.Port);
    ftp_->SetUserName(options_.User);
    ftp_->SetPassWord(options_.Password);
    if (!options_.ProxyServer.empty()) {
        ftp_->SetConnectionType(ftpProxy);
        ftp_->SetProxyServer(options_.ProxyServer);
    } else if (!options_.SocksLevel.empty()) {
        ftp_->SetConnectionType(options_.SocksLevel == "4" ? ftpSocks4 : options_.SocksLevel == "4A" ? ftpSocks4A : ftpSocks5);
        ftp_->SetSocksServer(options_.SocksServer);
        ftp_->SetSocksPort(options_.SocksPort);
        ftp_->SetSocksUserCode(options_.SocksUser);
        ftp_->SetSocksPassword(options_.SocksPassword);
    }
    // Passive first, PORT when the server or the network will not do passive; --active asks
    // for PORT from the start.
    ftp_->SetPassiveMode(!options_.Active);
    ftp_->SetPassiveFallback(!options_.Active);
    ftp_->SetTlsMode(options_.SslRequired ? ftpTlsRequire : options_.Ssl ? ftpTlsTry : ftpTlsNone);
    ftp_->SetTlsCaFile(options_.CaCertFile);
    ftp_->SetTimeout(options_.TimeoutSeconds);
    // A transfer with no data for as long as a reply may take has stalled.
    ftp_->SetStallTimeout(options_.TimeoutSeconds);
    if (options_.Trace) {
        ftp_->OnDisplay = [this](TObject*, std::string& text) {
            // The password stays off the screen.
            std::string shown = text.rfind("> PASS ", 0) == 0 ? "> PASS ****" : text;
            progress_.BreakLine();
            std::fprintf(err_, "%s\n", shown.c_str());
            std::fflush(err_);
        };
    }
    if (options_.Progress)
        ftp_->OnProgress = [this](TObject*, std::int64_t count, bool&) { progress_.Update(count); };
}

std::string FtpToolSession::FailureText() const {
    return ftp_->ErrorMessage().empty() ? ftp_->LastReply() : ftp_->ErrorMessage();
}

bool FtpToolSession::Request(void (TCustomFtpCli::*request)(), std::string& failure) {
    try {
        (ftp_.get()->*request)();
        if (ftp_->WaitUntilReady())
            return true;
        failure = FailureText();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure.empty())
        failure = "request failed";
    return false;
}

void FtpToolSession::Print(const std::string& line) {
    std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t count = ::write(outFd_, text.data() + written, text.size() - written);
        if (count <= 0)
            return;
        written += static_cast<std::size_t>(count);
    }
}

bool FtpToolSession::LogOn(std::string& failure, std::string& what) {
    what = "logon";
    if (!Request(&TCustomFtpCli::LogOn, failure))
        return false;
    what = options_.Ascii ? "type A" : "type I";
    void (TCustomFtpCli::*type)() = options_.Ascii ? &TCustomFtpCli::TypeAsciiStep : &TCustomFtpCli::TypeBinaryStep;
    return Request(type, failure);
}

bool FtpToolSession::EnsureConnected(std::string& failure) {
    if (ftp_->IsControlOpen())
        return true;
    std::fprintf(err_, "mirelo-ftp: the connection was closed; logging on again\n");
    std::string what;
    if (!LogOn(failure, what)) {
        failure = what + " failed: " + failure;
        return false;
    }
    for (const std::string& folder : folders_) {
        ftp_->SetHostDirName(folder);
        if (!Request(folder == ".." ? &TCustomFtpCli::CdupStep : &TCustomFtpCli::CwdStep, failure)) {
            failure = "cwd " + folder + " failed: " + failure;
            return false;
        }
    }
    return true;
}

void FtpToolSession::Pause(int ms) {
    const auto deadline = platform::EventLoop::Clock::now() + std::chrono::milliseconds(ms);
    while (platform::EventLoop::Clock::now() < deadline && !loop_.QuitRequested())
        loop_.WaitAndDispatch(deadline);
}

bool FtpToolSession::RetryDownload(const std::string& local, bool ok, std::string& failure) {
    TFtpRetrySchedule schedule;
    std::int64_t before = 0;
    while (!ok) {
        const int code = ftp_->StatusCode() != 0 ? ftp_->StatusCode() : ftp_->ReplyCode();
        if (!FtpFailureIsPassing(code))
            return false;
        const std::int64_t now = std::max<std::int64_t>(0, TFtpLocalFile::SizeOf(local));
        const int wait = schedule.NextWaitMs(now > before);
        if (wait < 0)
            return false;
        progress_.BreakLine();
        std::fprintf(err_, "mirelo-ftp: %s; trying again from byte %lld\n", failure.c_str(), static_cast<long long>(now));
        std::fflush(err_);
        Pause(wait);
        before = now;
        if (!EnsureConnected(failure)) {
            // A refused log-on (421 busy) is one more try that moved nothing.
            continue;
        }
        ok = Request(&TCustomFtpCli::ResumeGetFile, failure);
    }
    return true;
}

int FtpToolSession::Run() {
    std::string failure;
    std::string what;
    if (!LogOn(failure, what)) {
        std::fprintf(err_, "mirelo-ftp: %s failed: %s\n", what.c_str(), failure.c_str());
        Quit();
        return 1;
    }
    for (const FtpToolCommand& command : options_.Commands) {
        if (!EnsureConnected(failure) || !RunCommand(command, failure)) {
            std::fprintf(err_, "mirelo-ftp: %s failed: %s\n", command.Text.c_str(), failure.c_str());
            Quit();
            return 1;
        }
    }
    Quit();
    return 0;
}

void FtpToolSession::Quit() {
    if (!ftp_->IsControlOpen() || ftp_->EngineState() != fesReady)
        return;
    std::string ignored;
    Request(&TCustomFtpCli::QuitStep, ignored);
}

bool FtpToolSession::Transfer(void (TCustomFtpCli::*request)(), const std::string& local, const std::string& remote,
                              bool download, std::string& failure) {
    bool toStdout = download && local == "-";
    ftp_->SetHostFileName(remote);
    ftp_->SetLocalFileName(toStdout ? "" : local);
    ftp_->SetLocalStream(toStdout ? outFd_ : -1);
    bool existed = !toStdout && Exists(local);
    // The server's size of a download: a transfer that ends in order but short of it is not
    // complete. Most servers announce it in their 150, against which the client holds the
    // transfer itself; from the others it is asked with SIZE after the transfer (a refusal is no
    // failure), or before it for the progress bar's total. ASCII transfers change line ends, so
    // their size is not compared.
    const bool sized = download && !options_.Ascii;
    std::int64_t remoteSize = sized && options_.Progress ? AskSize(remote) : -1;
    // Where the transfer starts in the file: the local size for resume-get (what REST will ask
    // for), the caller's offset for resume-put, else 0.
    std::int64_t offset = 0;
    if (request == &TCustomFtpCli::ResumeGetFile)
        offset = std::max<std::int64_t>(0, TFtpLocalFile::SizeOf(local));
    else if (request == &TCustomFtpCli::ResumePutFile)
        offset = ftp_->RestartOffset();
    if (options_.Progress)
        progress_.Start(download ? remoteSize : TFtpLocalFile::SizeOf(local), offset);
    bool ok = Request(request, failure);
    if (download && !toStdout && !options_.NoRetry)
        ok = RetryDownload(local, ok, failure);
    if (options_.Progress)
        progress_.Finish(download && !toStdout ? std::max<std::int64_t>(0, TFtpLocalFile::SizeOf(local))
                                               : ftp_->TransferredBytes() + offset);
    ftp_->SetLocalStream(-1);
    const std::int64_t transferred = ftp_->TransferredBytes();  // before SIZE starts a request
    if (ok && sized && remoteSize < 0 && ftp_->AnnouncedSize() < 0)
        remoteSize = AskSize(remote);
    if (ok && remoteSize >= 0) {
        // A regular file says by its length what it holds; a device or a pipe keeps no length,
        // so there the bytes written are what arrived.
        std::int64_t received = transferred + (toStdout ? 0 : offset);
        struct stat info {};
        if (!toStdout && ::stat(local.c_str(), &info) != 0)
            received = -1;
        else if (!toStdout && S_ISREG(info.st_mode))
            received = static_cast<std::int64_t>(info.st_size);
        if (received != remoteSize) {
            failure = "received " + std::to_string(received) + " of " + std::to_string(remoteSize) + " bytes";
            return false;
        }
    }
    // A download that failed before any byte arrived leaves no empty file of ours behind; a
    // partial one stays, for resume-get.
    if (!ok && download && !toStdout && !existed) {
        struct stat info {};
        if (::stat(local.c_str(), &info) == 0 && info.st_size == 0)
            ::unlink(local.c_str());
    }
    return ok;
}

std::int64_t FtpToolSession::AskSize(const std::string& remote) {
    ftp_->SetHostFileName(remote);
    std::string ignored;
    return Request(&TCustomFtpCli::SizeStep, ignored) ? ftp_->RemoteFileSize() : -1;
}

// Many servers refuse SIZE in ASCII mode (the size would depend on the line ends they send), and
// the size users ask for is the file's own: it is asked in binary, and ASCII comes back after.
bool FtpToolSession::SizeInBinary(std::string& failure) {
    if (!options_.Ascii)
        return Request(&TCustomFtpCli::SizeStep, failure);
    if (!Request(&TCustomFtpCli::TypeBinaryStep, failure))
        return false;
    bool sized = Request(&TCustomFtpCli::SizeStep, failure);
    std::string typeFailure;
    if (!Request(&TCustomFtpCli::TypeAsciiStep, typeFailure) && sized) {
        failure = typeFailure;
        return false;
    }
    return sized;
}

bool FtpToolSession::RunCommand(const FtpToolCommand& command, std::string& failure) {
    const std::string& name = command.Name;
    const std::vector<std::string>& args = command.Args;
    auto arg = [&](std::size_t i, const std::string& otherwise) { return i < args.size() ? args[i] : otherwise; };

    if (name == "cwd") {
        ftp_->SetHostDirName(args[0]);
        if (!Request(&TCustomFtpCli::CwdStep, failure))
            return false;
        if (!args[0].empty() && args[0][0] == '/')
            folders_.clear();
        folders_.push_back(args[0]);
        return true;
    }
    if (name == "pwd") {
        if (!Request(&TCustomFtpCli::PwdStep, failure))
            return false;
        Print(ftp_->ReplyDirName().empty() ? ftp_->LastReply() : ftp_->ReplyDirName());
        return true;
    }
    if (name == "cdup") {
        if (!Request(&TCustomFtpCli::CdupStep, failure))
            return false;
        folders_.push_back("..");
        return true;
    }
    if (name == "size") {
        ftp_->SetHostFileName(args[0]);
        if (!SizeInBinary(failure))
            return false;
        Print(std::to_string(ftp_->RemoteFileSize()));
        return true;
    }
    if (name == "get")
        return Transfer(&TCustomFtpCli::GetFile, arg(1, BaseName(args[0])), args[0], true, failure);
    if (name == "resume-get")
        return Transfer(&TCustomFtpCli::ResumeGetFile, arg(1, BaseName(args[0])), args[0], true, failure);
    if (name == "put")
        return Transfer(&TCustomFtpCli::PutFile, args[0], arg(1, BaseName(args[0])), false, failure);
    if (name == "append")
        return Transfer(&TCustomFtpCli::AppendFile, args[0], arg(1, BaseName(args[0])), false, failure);
    if (name == "resume-put") {
        // The server's copy tells where to go on; without one the whole file goes.
        ftp_->SetHostFileName(arg(1, BaseName(args[0])));
        std::string ignored;
        ftp_->SetRestartOffset(Request(&TCustomFtpCli::SizeStep, ignored) ? ftp_->RemoteFileSize() : 0);
        return Transfer(&TCustomFtpCli::ResumePutFile, args[0], arg(1, BaseName(args[0])), false, failure);
    }
    if (name == "ls" || name == "nlst") {
        ftp_->SetHostFileName(arg(0, ""));
        ftp_->SetLocalFileName("");
        ftp_->SetLocalStream(outFd_);
        bool ok = Request(name == "ls" ? &TCustomFtpCli::ListDir : &TCustomFtpCli::NameListDir, failure);
        ftp_->SetLocalStream(-1);
        return ok;
    }
    if (name == "mkdir" || name == "rmdir" || name == "rm") {
        ftp_->SetHostFileName(args[0]);
        return Request(name == "mkdir" ? &TCustomFtpCli::MkdStep
                       : name == "rmdir" ? &TCustomFtpCli::RmdStep
                                         : &TCustomFtpCli::DeleStep,
                       failure);
    }
    if (name == "mv") {
        ftp_->SetHostFileName(args[0]);
        ftp_->SetLocalFileName(args[1]);
        return Request(&TCustomFtpCli::RenameFile, failure);
    }
    if (name == "syst" || name == "quote") {
        if (name == "quote")
            ftp_->SetLocalFileName(args[0]);
        if (!Request(name == "syst" ? &TCustomFtpCli::SystStep : &TCustomFtpCli::QuoteStep, failure))
            return false;
        Print(ftp_->LastReply());
        return true;
    }
    failure = "unknown command";
    return false;
}
