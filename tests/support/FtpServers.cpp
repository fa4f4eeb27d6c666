#include "FtpServers.h"

#include "TempDir.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

sockaddr_in SocketAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    return socketAddress;
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
}

ServerProcess::~ServerProcess() {
    CloseFd(stdin_);
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseFd(stdout_);
    CloseFd(stderr_);
}

bool ServerProcess::ReadLine(std::string& line, int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        pollfd fd{stdout_, POLLIN, 0};
        int ready = ::poll(&fd, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[512];
        ssize_t count = ::read(stdout_, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        pending_.append(buffer, static_cast<std::size_t>(count));
    }
}

bool ServerProcess::WaitForExit(int timeoutMs, std::string& errors) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            char buffer[512];
            ssize_t count;
            while ((count = ::read(stderr_, buffer, sizeof buffer)) > 0)
                errors.append(buffer, static_cast<std::size_t>(count));
            return true;
        }
        int left = MillisecondsLeft(deadline);
        if (left == 0)
            return false;
        // Wakes on stderr output or its end (the process exiting); the wait is bounded.
        pollfd fd{stderr_, POLLIN, 0};
        if (::poll(&fd, 1, left) > 0 && (fd.revents & POLLIN)) {
            char buffer[512];
            ssize_t count = ::read(stderr_, buffer, sizeof buffer);
            if (count > 0)
                errors.append(buffer, static_cast<std::size_t>(count));
        }
        if (fd.revents & POLLHUP) {
            // The pipe closed: the process is gone or about to be; reap it without polling.
            int exitStatus = 0;
            if (::waitpid(pid_, &exitStatus, 0) == pid_) {
                pid_ = -1;
                return true;
            }
        }
    }
}

std::uint16_t ServerProcess::ReadAnnouncedPort(const std::string& name) {
    std::string line;
    if (!ReadLine(line, 20000)) {
        std::string errors;
        WaitForExit(2000, errors);
        throw std::runtime_error(name + " did not start: " + errors);
    }
    return static_cast<std::uint16_t>(std::stoi(line));
}

std::uint16_t FreePortOn(const std::string& address) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in socketAddress = SocketAddress(address, 0);
    socklen_t length = sizeof socketAddress;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot bind a port on " + address);
    }
    ::close(fd);
    return ntohs(socketAddress.sin_port);
}

std::uint16_t FreeLoopbackPort() { return FreePortOn("127.0.0.1"); }

bool AddressAccepts(const std::string& address, std::uint16_t port, int timeoutMs) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_in socketAddress = SocketAddress(address, port);
    bool accepted = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) == 0) {
        accepted = true;
    } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, timeoutMs) == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            accepted = error == 0;
        }
    }
    ::close(fd);
    return accepted;
}

bool RootProgramCanRun(const std::string& name, const std::string& path, const std::string& install,
                       std::string& reason) {
    if (::geteuid() != 0) {
        reason = name + " needs root; skipped when not running as root";
        return false;
    }
    if (::access(path.c_str(), X_OK) != 0) {
        reason = name + " is not installed (" + install + ")";
        return false;
    }
    return true;
}

std::string TestSupportDir() {
    if (const char* source = std::getenv("MIRELO_SOURCE_DIR"))
        return std::string(source) + "/tests/support/";
    return std::filesystem::path(__FILE__).parent_path().string() + "/";
}

PyFtpdServer::PyFtpdServer(const Options& options) {
    std::vector<std::string> argv{"/usr/bin/python3", TestSupportDir() + "ftp_server.py", "--root", options.Root};
    for (const auto& [name, password] : options.Accounts) {
        argv.push_back("--user");
        argv.push_back(name + ":" + password);
    }
    if (!options.Anonymous)
        argv.push_back("--no-anonymous");
    if (options.IdleTimeoutSeconds > 0) {
        argv.push_back("--idle-timeout");
        argv.push_back(std::to_string(options.IdleTimeoutSeconds));
    }
    if (options.ReplyDelaySeconds > 0) {
        argv.push_back("--reply-delay");
        argv.push_back(std::to_string(options.ReplyDelaySeconds));
    }
    if (options.Port != 0) {
        argv.push_back("--port");
        argv.push_back(std::to_string(options.Port));
    }
    if (!options.TlsCertFile.empty()) {
        argv.push_back("--tls-cert");
        argv.push_back(options.TlsCertFile);
        argv.push_back("--tls-key");
        argv.push_back(options.TlsKeyFile);
    }
    if (!options.LogFile.empty()) {
        argv.push_back("--log");
        argv.push_back(options.LogFile);
    }
    process_ = std::make_unique<ServerProcess>(argv);
    port_ = process_->ReadAnnouncedPort("pyftpdlib");
}

bool VsftpdServer::CanRun(std::string& reason) {
    if (!RootProgramCanRun("vsftpd", "/usr/sbin/vsftpd", "scripts/install-deps test", reason))
        return false;
    if (::getpwnam("ftp") == nullptr) {
        reason = "vsftpd needs the system account 'ftp'";
        return false;
    }
    return true;
}

VsftpdServer::VsftpdServer(const std::string& root, unsigned passivePorts) : configDir_(std::make_unique<TempDir>()) {
    Start(root, passivePorts, "");
}

VsftpdServer::VsftpdServer(const std::string& root, const Tls& tls, unsigned passivePorts)
    : configDir_(std::make_unique<TempDir>()) {
    // require_ssl_reuse stays at its default (YES): the client must resume its session.
    Start(root, passivePorts,
          "ssl_enable=YES\nallow_anon_ssl=YES\nrsa_cert_file=" + tls.CertFile + "\nrsa_private_key_file=" +
              tls.KeyFile + "\nssl_ciphers=HIGH\n" +
              (tls.Required ? "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n" : ""));
}

void VsftpdServer::Start(const std::string& root, unsigned passivePorts, const std::string& extraConfig) {
    std::string reason;
    if (!CanRun(reason))
        throw std::runtime_error(reason);
    const passwd* ftpAccount = ::getpwnam("ftp");
    std::string served = std::filesystem::path(root).string();
    ::chmod(served.c_str(), 0755);
    std::filesystem::create_directories(served + "/incoming");
    if (::chown((served + "/incoming").c_str(), ftpAccount->pw_uid, ftpAccount->pw_gid) != 0)
        throw std::runtime_error("cannot hand " + served + "/incoming to the ftp account");
    ::chmod((served + "/incoming").c_str(), 0755);

    std::string lastErrors;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeLoopbackPort();
        // A passive range of its own beside the control port keeps parallel servers apart;
        // vsftpd retries other ports of the range when one is taken.
        passivePorts = std::clamp(passivePorts, 10u, 30000u);
        unsigned pasvMin = 20000 + (port_ * 37u) % (40000u - passivePorts);
        configDir_->Write("vsftpd.conf",
                          "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port_) +
                              "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=" + served +
                              "\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
                              "anon_mkdir_write_enable=YES\nanon_other_write_enable=YES\nanon_umask=022\n"
                              "pasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" +
                              std::to_string(pasvMin) + "\npasv_max_port=" + std::to_string(pasvMin + passivePorts - 1) +
                              "\nport_enable=YES\nconnect_from_port_20=NO\nseccomp_sandbox=NO\nisolate=NO\n"
                              "isolate_network=NO\nsecure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\n"
                              "dirmessage_enable=NO\nuse_localtime=NO\nmax_clients=0\nmax_per_ip=0\n"
                              "idle_session_timeout=600\ndata_connection_timeout=300\n" + extraConfig);
        std::filesystem::create_directories("/var/run/vsftpd/empty");
        process_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"/usr/sbin/vsftpd", (*configDir_) / "vsftpd.conf"});
        // vsftpd says nothing when it is ready; probe the port, waking early if it exits.
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
        bool exited = false;
        while (Clock::now() < deadline) {
            if (AddressAccepts("127.0.0.1", port_, 1000))
                return;
            std::string errors;
            if (process_->WaitForExit(20, errors)) {
                lastErrors = errors;
                exited = true;
                break;
            }
        }
        process_.reset();
        if (!exited)
            break;
    }
    throw std::runtime_error("vsftpd did not start: " + lastErrors);
}

VsftpdServer::~VsftpdServer() = default;
