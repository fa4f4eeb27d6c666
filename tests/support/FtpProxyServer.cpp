#include "FtpProxyServer.h"

#include "FtpServers.h"
#include "TempDir.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

sockaddr_in SocketAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    return socketAddress;
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

}  // namespace

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

bool FtpProxyServer::CanRun(std::string& reason) {
    if (::geteuid() != 0) {
        reason = "ftp-proxy needs root; skipped when not running as root";
        return false;
    }
    if (::access("/usr/sbin/ftp-proxy", X_OK) != 0) {
        reason = "ftp-proxy is not installed (scripts/install-deps test)";
        return false;
    }
    return true;
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
