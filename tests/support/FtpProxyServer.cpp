#include "FtpProxyServer.h"

#include "FtpServers.h"
#include "TempDir.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

bool EnterPrivateNetwork(std::string& reason) {
    if (::unshare(CLONE_NEWNET) != 0) {
        reason = std::string("cannot make a private network namespace: ") + std::strerror(errno);
        return false;
    }
    // A new namespace has its loopback interface down.
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up)
        reason = std::string("cannot bring up the loopback interface: ") + std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    return up;
}

bool FtpProxyServer::CanRun(std::string& reason) {
    return RootProgramCanRun("ftp-proxy", "/usr/sbin/ftp-proxy", "scripts/install-deps test", reason);
}

FtpProxyServer::FtpProxyServer(const std::string& listenAddress, std::uint16_t port)
    : configDir_(std::make_unique<TempDir>()), address_(listenAddress) {
    std::string reason;
    if (!CanRun(reason))
        throw std::runtime_error(reason);
    port_ = port != 0 ? port : FreePortOn(listenAddress);
    // AllowMagicUser makes the proxy take its target from "user@host"; the log goes through cat
    // to our pipe, since the proxy drops to nobody before it would open a log file of ours.
    configDir_->Write("ftp-proxy.conf",
                      "[-Global-]\n"
                      "DestinationAddress 127.0.0.1\n"
                      "AllowMagicUser yes\n"
                      "Listen " + listenAddress + "\n"
                      "Port " + std::to_string(port_) + "\n"
                      "ServerType standalone\n"
                      "User nobody\n"
                      "Group nogroup\n"
                      "LogDestination |/bin/cat\n"
                      "LogLevel INF\n");
    process_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"/usr/sbin/ftp-proxy", "-d", "-n", "-f", *configDir_ / "ftp-proxy.conf"});
    // The proxy says nothing when it listens, so it is asked; each wait between two probes also
    // notices a proxy that ended.
    for (int probe = 0; probe < 200; ++probe) {
        if (AddressAccepts(address_, port_, 1000))
            return;
        std::string errors;
        if (process_->WaitForExit(50, errors))
            throw std::runtime_error("ftp-proxy did not start: " + errors);
    }
    throw std::runtime_error("ftp-proxy did not accept connections on " + address_ + ":" + std::to_string(port_));
}

FtpProxyServer::~FtpProxyServer() = default;

bool FtpProxyServer::WaitForSession(const std::string& user, const std::string& destination, int timeoutMs) {
    std::string wanted = "'USER " + user + "' dest " + destination;
    for (const std::string& line : log_)
        if (line.find(wanted) != std::string::npos)
            return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
        // With no time left, what the proxy has already logged is still read.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!process_->ReadLine(line, std::max(0, static_cast<int>(left.count()))))
            return false;
        log_.push_back(line);
        if (line.find(wanted) != std::string::npos)
            return true;
    }
}
