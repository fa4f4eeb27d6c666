// danted, the SOCKS 4/5 server of Debian's dante-server, as a test partner: its own configuration
// on a free loopback port, serving only destinations in 127.0.0.0/8, killed with its children when
// the object goes. Proxied connections leave from 127.0.0.2, so a destination can tell them from
// direct ones (which come from 127.0.0.1), and every connection it passes is counted. Needs root
// (danted changes user, and the username method reads the system's password file): check CanRun
// first and skip with its reason otherwise. Use from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class ServerProcess;
class TempDir;

// A system account that exists while the object lives, for danted's `username` method, which
// checks the user name and password against the system's accounts. The name is unique to the
// process and the object; the account has no home and no login shell.
class ThrowawayAccount {
public:
    ThrowawayAccount();
    ~ThrowawayAccount();
    ThrowawayAccount(const ThrowawayAccount&) = delete;
    ThrowawayAccount& operator=(const ThrowawayAccount&) = delete;

    const std::string& Name() const { return name_; }
    const std::string& Password() const { return password_; }

private:
    std::string name_;
    std::string password_;
};

class DanteServer {
public:
    enum class Authentication {
        None,      // SOCKS 4 and SOCKS 5 without authentication
        Username,  // SOCKS 5 with RFC 1929 user name and password only
    };

    // The address proxied connections come from.
    static constexpr const char* kExternalAddress = "127.0.0.2";

    static bool CanRun(std::string& reason);

    explicit DanteServer(Authentication authentication);
    ~DanteServer();
    DanteServer(const DanteServer&) = delete;
    DanteServer& operator=(const DanteServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // The account that Username mode accepts (empty names in None mode).
    std::string UserName() const;
    std::string Password() const;

    // Waits until danted has logged at least `count` connections passed to their destination
    // since it started, or `timeoutMs` went by; returns the number logged.
    int WaitForPassedConnections(int count, int timeoutMs);

private:
    std::unique_ptr<TempDir> configDir_;
    std::unique_ptr<ThrowawayAccount> account_;
    std::unique_ptr<ServerProcess> process_;
    std::uint16_t port_ = 0;
    int passed_ = 0;
};
