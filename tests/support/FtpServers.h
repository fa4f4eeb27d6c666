// Real FTP servers for the tests and benchmarks, each run as a child process on a free loopback
// port and killed with everything it started when the object goes. Construction returns only
// once the server accepts connections and throws std::runtime_error when it cannot start.
// Use from one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class TempDir;

// A child process in its own process group: stdin is a pipe whose closing tells it to go, stdout
// and stderr are pipes read by the launcher.
class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& argv);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Reads standard output up to the first line end; false when the process ended first or
    // `timeoutMs` passed.
    bool ReadLine(std::string& line, int timeoutMs);
    // Waits up to `timeoutMs` for output on stderr or for the process to end; returns true once
    // the process has ended (its stderr text is then in `errors`).
    bool WaitForExit(int timeoutMs, std::string& errors);
    // For a server that prints its port once it listens: that port. Throws "<name> did not
    // start: " and the server's errors when it ends, or says nothing for 20 seconds, first.
    std::uint16_t ReadAnnouncedPort(const std::string& name);

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string pending_;
};

// pyftpdlib on Debian's /usr/bin/python3: the anonymous account (unless turned off) and the
// given accounts, all with full rights on Root.
class PyFtpdServer {
public:
    struct Options {
        std::string Root;  // the folder served
        std::vector<std::pair<std::string, std::string>> Accounts;  // user name, password
        bool Anonymous = true;
        double ReplyDelaySeconds = 0;  // every reply after the greeting is held back this long
        // When set, a session idle this long gets "421" and is closed, as servers drop idle
        // sessions after a few minutes.
        double IdleTimeoutSeconds = 0;
        // When set, one line per command received is appended to this file, flushed per line:
        // "127.0.0.1:PORT-[USER] RETR /pub/x.exe" (paths absolute, the password hidden).
        std::string LogFile;
        // 0: a free port the system picks. A fixed port is for peers that insist on one (Debian's
        // ftp-proxy always goes to port 21).
        std::uint16_t Port = 0;
        // When set, pyftpdlib's TLS handler with this certificate and key: AUTH TLS, PBSZ and
        // PROT are offered, never required.
        std::string TlsCertFile;
        std::string TlsKeyFile;
    };

    explicit PyFtpdServer(const Options& options);
    std::uint16_t Port() const { return port_; }

private:
    std::unique_ptr<ServerProcess> process_;
    std::uint16_t port_ = 0;
};

// vsftpd in standalone mode (background=NO) with its own configuration on a free port, passive
// ports in a range of its own, anonymous log-on only. Needs root: check CanRun first and skip
// with its reason otherwise. Root is made world-readable and must not be writable by the ftp
// account (vsftpd refuses a writable chroot); uploads go to Root + "incoming/", which the
// launcher creates for the ftp account.
class VsftpdServer {
public:
    static bool CanRun(std::string& reason);

    // `passivePorts` is the size of the passive port range. Many short transfers want a wide
    // one: a data connection that meets a port pair still in TIME_WAIT waits a second for its
    // SYN to be sent again.
    explicit VsftpdServer(const std::string& root, unsigned passivePorts = 200);
    // With TLS offered (ssl_enable) with this certificate and key, on vsftpd's defaults
    // otherwise: the data connections must resume the control connection's TLS session.
    struct Tls {
        std::string CertFile;
        std::string KeyFile;
        // Refuse log-ons and data connections in the clear, so that a client that quietly
        // skips TLS fails instead of being timed as if it encrypted.
        bool Required = false;
    };
    VsftpdServer(const std::string& root, const Tls& tls, unsigned passivePorts = 200);
    ~VsftpdServer();
    std::uint16_t Port() const { return port_; }

private:
    void Start(const std::string& root, unsigned passivePorts, const std::string& extraConfig);

    std::unique_ptr<TempDir> configDir_;
    std::unique_ptr<ServerProcess> process_;
    std::uint16_t port_ = 0;
};

// A TCP port on the IPv4 `address` (on 127.0.0.1) that nothing listens on at the moment of the
// call.
std::uint16_t FreePortOn(const std::string& address);
std::uint16_t FreeLoopbackPort();

// True when a TCP connection to address:port succeeds within `timeoutMs`.
bool AddressAccepts(const std::string& address, std::uint16_t port, int timeoutMs);

// Whether the server program at `path` can run here: it needs root and must be installed
// (`install` says how). False with the reason to skip with otherwise.
bool RootProgramCanRun(const std::string& name, const std::string& path, const std::string& install,
                       std::string& reason);

// The folder of the source tree's tests/support (from MIRELO_SOURCE_DIR, else this file's place).
std::string TestSupportDir();
