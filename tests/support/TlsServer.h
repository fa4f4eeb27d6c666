// A TLS peer for the socket tests: tests/support/tls_server.py on a free loopback port, with a
// test authority and a server certificate (for localhost and 127.0.0.1) it makes in a folder
// shared by the servers of one test program. The server echoes what it gets and reports each
// handshake and each end of a connection as a line, which NextEvent reads. Killed with the
// object. Use from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class ServerProcess;

class TlsTestServer {
public:
    // `expired`: the server shows a certificate that expired yesterday.
    explicit TlsTestServer(bool expired = false);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // The PEM file of the test authority that signed the server's certificate.
    static std::string CaFile();

    // The server's next report ("handshake reused=0 version=TLSv1.3", "handshake failed ...",
    // "closed clean", "closed without close_notify", "closed by the server"); empty when none
    // came within timeoutMs.
    std::string NextEvent(int timeoutMs = 10000);

private:
    std::unique_ptr<ServerProcess> process_;
    std::uint16_t port_ = 0;
};
