#include "platform/SocketOps.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SocketErrors.h"

namespace platform::sockets {

namespace {

thread_local int lastError = 0;

// Every failing call goes through here, so errno is read in one place.
int Fail()
{
    lastError = ErrnoToWinsock(errno);
    return -1;
}

int Flags(int flags)
{
    return MSG_NOSIGNAL | ((flags & 1) != 0 ? MSG_OOB : 0);
}

}  // namespace

int LastError() { return lastError; }
void SetLastError(int winsockError) { lastError = winsockError; }

int Socket(int type, int protocol)
{
    int sockType = (type == 2 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC | SOCK_NONBLOCK;
    int fd = ::socket(AF_INET, sockType, protocol);
    return fd >= 0 ? fd : Fail();
}

int Close(int fd)
{
    // Linux releases the descriptor whatever close() returns (an interrupted close included), so
    // a failure is reported but the descriptor must never be closed a second time.
    return ::close(fd) == 0 ? 0 : Fail();
}

int Connect(int fd, const sockaddr_in& peer)
{
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return 0;
    if (errno == EINPROGRESS) {
        // The socket library reports a non-blocking connect under way as "would block".
        lastError = WSAEWOULDBLOCK;
        return -1;
    }
    return Fail();
}

int Bind(int fd, const sockaddr_in& local)
{
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : Fail();
}

int Listen(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : Fail(); }

int Accept(int fd, sockaddr_in* peer)
{
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int s = ::accept4(fd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0)
        return Fail();
    if (peer != nullptr)
        *peer = from;
    return s;
}

ssize_t Send(int fd, const void* data, size_t len, int flags)
{
    ssize_t n = ::send(fd, data, len, Flags(flags));
    return n >= 0 ? n : Fail();
}

ssize_t SendTo(int fd, const void* data, size_t len, int flags, const sockaddr_in& to)
{
    ssize_t n = ::sendto(fd, data, len, Flags(flags), reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
    return n >= 0 ? n : Fail();
}

ssize_t Recv(int fd, void* buffer, size_t len, int flags)
{
    ssize_t n = ::recv(fd, buffer, len, ((flags & 1) != 0 ? MSG_OOB : 0) | ((flags & 2) != 0 ? MSG_PEEK : 0));
    return n >= 0 ? n : Fail();
}

ssize_t RecvFrom(int fd, void* buffer, size_t len, int flags, sockaddr_in& from)
{
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, buffer, len, (flags & 1) != 0 ? MSG_OOB : 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLen);
    return n >= 0 ? n : Fail();
}

ssize_t RecvToPipe(int fd, int pipeFd, size_t len)
{
    ssize_t n = ::splice(fd, nullptr, pipeFd, nullptr, len, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    return n >= 0 ? n : Fail();
}

int Shutdown(int fd, int how) { return ::shutdown(fd, how) == 0 ? 0 : Fail(); }

int SetSockOpt(int fd, int level, int option, const void* value, socklen_t len)
{
    return ::setsockopt(fd, level, option, value, len) == 0 ? 0 : Fail();
}

int GetSockOpt(int fd, int level, int option, void* value, socklen_t* len)
{
    return ::getsockopt(fd, level, option, value, len) == 0 ? 0 : Fail();
}

int SetIntOption(int fd, int level, int option, int value)
{
    return SetSockOpt(fd, level, option, &value, sizeof value);
}

int SetLinger(int fd, bool on, int seconds)
{
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return SetSockOpt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int PendingError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return ErrnoToWinsock(errno);
    return ErrnoToWinsock(err);
}

int ReadableBytes(int fd)
{
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : Fail();
}

bool IsListening(int fd)
{
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

int GetSockName(int fd, sockaddr_in& local)
{
    socklen_t len = sizeof local;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 ? 0 : Fail();
}

int GetPeerName(int fd, sockaddr_in& peer)
{
    socklen_t len = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 ? 0 : Fail();
}

std::uint32_t ParseAddress(const std::string& text) { return ::inet_addr(text.c_str()); }

std::string FormatAddress(std::uint32_t networkOrder)
{
    in_addr a{};
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

int ProtocolByName(const std::string& name)
{
    protoent entry{};
    protoent* found = nullptr;
    char buffer[1024];
    if (::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 ||
        found == nullptr) {
        lastError = WSANO_DATA;
        return -1;
    }
    return found->p_proto;
}

int ServiceByName(const std::string& name, const std::string& proto)
{
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, buffer,
                          sizeof buffer, &found) != 0 ||
        found == nullptr) {
        lastError = WSANO_DATA;
        return -1;
    }
    return found->s_port & 0xFFFF;
}

std::vector<std::uint32_t> HostAddresses(const std::string& name)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    std::vector<std::uint32_t> result;
    if (rc != 0) {
        lastError = ResolverErrorToWinsock(rc, errno);
        return result;
    }
    for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
        if (p->ai_family != AF_INET)
            continue;
        std::uint32_t a = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        // The same address comes once per socket type unless the hints narrow it; keep each once.
        bool seen = false;
        for (std::uint32_t r : result)
            seen = seen || r == a;
        if (!seen)
            result.push_back(a);
    }
    ::freeaddrinfo(list);
    if (result.empty())
        lastError = WSANO_DATA;
    return result;
}

std::string HostName(std::uint32_t networkOrder)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = networkOrder;
    char host[NI_MAXHOST] = {};
    errno = 0;
    int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host,
                           nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        lastError = ResolverErrorToWinsock(rc, errno);
        return {};
    }
    return host;
}

}  // namespace platform::sockets
