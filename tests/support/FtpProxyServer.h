// ftp-proxy, Debian's FTP application proxy, as a test partner: a client logs on with the user
// name "user@host" and the proxy opens the control connection to port 21 of that host. Runs with
// its own configuration on the address and port given, and is killed with its children when the
// object goes. Since the proxy always goes to port 21, its target server must listen on
// 127.0.0.1:21; EnterPrivateNetwork gives a test a loopback network of its own for that, so no
// other test or service contends for the port (PyFtpdServer::Options::Port puts the target there).
// Needs root: check CanRun first and skip with its reason otherwise. Use from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ServerProcess;
class TempDir;

// Moves the calling process into a new network namespace whose loopback interface is up, so that
// it and every process it starts afterwards see only a loopback network of their own (fixed ports
// such as 21 are free there). Call it on the test's thread before anything opens a socket or starts
// a thread. Returns false with the reason when the system does not allow it.
bool EnterPrivateNetwork(std::string& reason);

class FtpProxyServer {
public:
    static bool CanRun(std::string& reason);

    // Listens on listenAddress:port (port 0: a free one).
    explicit FtpProxyServer(const std::string& listenAddress = "127.0.0.1", std::uint16_t port = 0);
    ~FtpProxyServer();
    FtpProxyServer(const FtpProxyServer&) = delete;
    FtpProxyServer& operator=(const FtpProxyServer&) = delete;

    const std::string& Address() const { return address_; }
    std::uint16_t Port() const { return port_; }

    // Waits until the proxy has logged a session for `user` going to `destination` ("host:port"),
    // or `timeoutMs` went by; returns whether it did. With 0 it looks only at what is logged.
    bool WaitForSession(const std::string& user, const std::string& destination, int timeoutMs);

private:
    std::unique_ptr<TempDir> configDir_;
    std::unique_ptr<ServerProcess> process_;
    std::string address_;
    std::uint16_t port_ = 0;
    std::vector<std::string> log_;
};
