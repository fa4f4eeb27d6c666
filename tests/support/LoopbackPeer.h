// Plain TCP endpoints on 127.0.0.1 for tests: the peer of a component under test, made with the
// system's socket calls directly and waiting only with bounded poll() timeouts. Header-only, so
// it costs the test programs that do not use it nothing.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace loopback {

inline sockaddr_in Address(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Waits at most timeoutMs for the descriptor to be ready for `events`.
inline bool WaitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

// A connected descriptor, closed with the object.
class Connection {
public:
    Connection() = default;
    explicit Connection(int fd) : fd_(fd) {}
    Connection(Connection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Connection& operator=(Connection&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Connection() { Close(); }

    // Connects to 127.0.0.1:port (blocking; loopback answers at once).
    static Connection To(std::uint16_t port)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Address(port);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (fd >= 0)
                ::close(fd);
            throw std::runtime_error("loopback connect to port " + std::to_string(port) + " failed");
        }
        return Connection(fd);
    }

    int Fd() const { return fd_; }
    bool Open() const { return fd_ >= 0; }

    void SendAll(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            if (!WaitFor(fd_, POLLOUT, 10000))
                throw std::runtime_error("loopback peer: send timed out");
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("loopback peer: send failed");
            done += static_cast<size_t>(n);
        }
    }

    // Reads until `count` bytes have come, the peer closes, or timeoutMs passes without data.
    std::string Read(size_t count, int timeoutMs = 10000)
    {
        std::string got;
        char buf[65536];
        while (got.size() < count && WaitFor(fd_, POLLIN, timeoutMs)) {
            size_t want = count - got.size() < sizeof buf ? count - got.size() : sizeof buf;
            ssize_t n = ::recv(fd_, buf, want, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    // True when the peer has closed (a read finds end of stream or an error) within timeoutMs;
    // data that is still on its way is read and dropped.
    bool SeesClose(int timeoutMs = 10000)
    {
        char buf[4096];
        while (WaitFor(fd_, POLLIN, timeoutMs)) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return true;
        }
        return false;
    }

    // Closes with a reset instead of the usual end of stream.
    void Reset()
    {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }

    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A listening socket on 127.0.0.1 with a port of the system's choice.
class Listener {
public:
    explicit Listener(int backlog = 16)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Address(0);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd_, backlog) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("loopback listener failed");
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t Port() const { return port_; }

    // The next connection, or a closed Connection after timeoutMs.
    Connection Accept(int timeoutMs = 10000)
    {
        if (!WaitFor(fd_, POLLIN, timeoutMs))
            return Connection();
        return Connection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port whose connections are never answered, as a host that drops the packets: a connection
// of its own fills its one-place queue, and the system drops every later attempt unanswered.
class UnansweredPort {
public:
    UnansweredPort() : listener_(0)
    {
        const sockaddr_in a = Address(listener_.Port());
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (filler_ < 0 || ::connect(filler_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("loopback queue filler failed");
    }
    ~UnansweredPort() { ::close(filler_); }
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;

    std::uint16_t Port() const { return listener_.Port(); }

private:
    Listener listener_;
    int filler_ = -1;
};

// A port on 127.0.0.1 where nothing listens (it was bound a moment ago and released).
inline std::uint16_t UnusedPort()
{
    Listener l;
    return l.Port();
}

}  // namespace loopback
