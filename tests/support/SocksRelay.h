// A SOCKS 4 / 4A relay for the tests (tests/support/socks4_relay.py on Debian's python3), run as a
// child process on a free loopback port and killed when the object goes. It connects only to
// 127.0.0.0/8, from `SourceAddress`, and reports every CONNECT request it gets, so a test can check
// which level and which destination each connection used. Needs no root. Use from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ServerProcess;

class SocksRelay {
public:
    // The address proxied connections come from.
    static constexpr const char* kSourceAddress = "127.0.0.3";

    SocksRelay();
    ~SocksRelay();
    SocksRelay(const SocksRelay&) = delete;
    SocksRelay& operator=(const SocksRelay&) = delete;

    std::uint16_t Port() const { return port_; }

    // Waits until at least `count` requests have come in or `timeoutMs` went by, and returns all
    // of them so far, each as "4 ADDRESS PORT USERID" or "4A NAME PORT USERID".
    const std::vector<std::string>& WaitForRequests(std::size_t count, int timeoutMs);

private:
    std::unique_ptr<ServerProcess> process_;
    std::uint16_t port_ = 0;
    std::vector<std::string> requests_;
};
