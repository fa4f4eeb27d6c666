#include "DanteServer.h"

#include "FtpServers.h"
#include "TempDir.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace {

// Runs a program to its end with `input` on its standard input; returns its exit status, or -1
// when it could not be run or was killed.
int RunProgram(const std::vector<std::string>& argv, const std::string& input) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(in[0]);
        ::close(in[1]);
        return -1;
    }
    if (pid == 0) {
        ::dup2(in[0], 0);
        int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    std::size_t written = 0;
    while (written < input.size()) {
        ssize_t count = ::write(in[1], input.data() + written, input.size() - written);
        if (count <= 0 && errno != EINTR)
            break;
        if (count > 0)
            written += static_cast<std::size_t>(count);
    }
    ::close(in[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// useradd and userdel refuse while another process holds the password file's lock, which happens
// when tests run side by side; such a run is tried again a bounded number of times.
int RunAccountTool(const std::vector<std::string>& argv, const std::string& input = {}) {
    // Exit status 1 or 10: the password or group file could not be updated, as when it is locked.
    int status = -1;
    for (int attempt = 0; attempt < 50; ++attempt) {
        status = RunProgram(argv, input);
        if (status != 1 && status != 10)
            return status;
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 100);
    }
    return status;
}

std::atomic<int> accountCounter{0};

constexpr char kAccountPrefix[] = "mirelosx";

// Accounts of this fixture left behind by a test process that was killed before it could remove
// them: their name carries the process id, and that process is gone.
void RemoveOrphanedAccounts() {
    std::ifstream passwd("/etc/passwd");
    std::vector<std::string> orphans;
    for (std::string line; std::getline(passwd, line);) {
        std::string name = line.substr(0, line.find(':'));
        if (name.rfind(kAccountPrefix, 0) != 0)
            continue;
        std::string pid = name.substr(sizeof kAccountPrefix - 1, name.find('n', sizeof kAccountPrefix - 1) -
                                                                      (sizeof kAccountPrefix - 1));
        if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos &&
            ::access(("/proc/" + pid).c_str(), F_OK) != 0)
            orphans.push_back(name);
    }
    for (const std::string& name : orphans)
        RunAccountTool({"/usr/sbin/userdel", name});
}

}  // namespace

ThrowawayAccount::ThrowawayAccount() {
    RemoveOrphanedAccounts();
    int serial = accountCounter++;
    name_ = kAccountPrefix + std::to_string(::getpid()) + "n" + std::to_string(serial);
    password_ = "Pw-" + std::to_string(::getpid()) + "-" + std::to_string(serial) + "!x";
    if (RunAccountTool({"/usr/sbin/useradd", "-M", "-N", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", name_}) != 0)
        throw std::runtime_error("useradd " + name_ + " failed");
    if (RunAccountTool({"/usr/sbin/chpasswd"}, name_ + ":" + password_ + "\n") != 0) {
        RunAccountTool({"/usr/sbin/userdel", name_});
        throw std::runtime_error("chpasswd for " + name_ + " failed");
    }
}

ThrowawayAccount::~ThrowawayAccount() { RunAccountTool({"/usr/sbin/userdel", name_}); }

bool DanteServer::CanRun(std::string& reason) {
    return RootProgramCanRun("danted", "/usr/sbin/danted", "scripts/install-deps test installs dante-server",
                             reason);
}

DanteServer::DanteServer(Authentication authentication) : configDir_(std::make_unique<TempDir>()) {
    std::string reason;
    if (!CanRun(reason))
        throw std::runtime_error(reason);
    if (authentication == Authentication::Username)
        account_ = std::make_unique<ThrowawayAccount>();

    std::string lastOutput;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeLoopbackPort();
        // Only loopback destinations pass; anything else is blocked and logged.
        configDir_->Write("danted.conf",
                          "logoutput: stdout\n"
                          "internal: 127.0.0.1 port = " + std::to_string(port_) + "\n"
                          "external: " + std::string(kExternalAddress) + "\n"
                          "clientmethod: none\n"
                          "socksmethod: " + std::string(account_ ? "username" : "none") + "\n"
                          "user.privileged: root\n"
                          "user.unprivileged: nobody\n"
                          "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                          "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
                          "  protocol: tcp\n  log: connect\n}\n"
                          "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n  log: connect error\n}\n");
        process_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"/usr/sbin/danted", "-f", *configDir_ / "danted.conf", "-N", "1"});
        // danted logs one line saying it runs once it listens; a failed start ends the process.
        std::string line;
        while (process_->ReadLine(line, 20000)) {
            lastOutput = line;
            if (line.find(" running") != std::string::npos)
                return;
        }
        process_.reset();
    }
    throw std::runtime_error("danted did not start: " + lastOutput);
}

DanteServer::~DanteServer() {
    process_.reset();
    account_.reset();
}

std::string DanteServer::UserName() const { return account_ ? account_->Name() : std::string(); }

std::string DanteServer::Password() const { return account_ ? account_->Password() : std::string(); }

int DanteServer::WaitForPassedConnections(int count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (passed_ < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !process_->ReadLine(line, static_cast<int>(left.count())))
            break;
        if (line.find("pass(") != std::string::npos && line.find("tcp/connect") != std::string::npos)
            ++passed_;
    }
    return passed_;
}
