// The socket calls, the only place that calls the system's socket functions and reads errno.
// Every descriptor made here is close-on-exec and non-blocking, and no call raises SIGPIPE. A
// failing call returns -1 (or the value named below) and leaves the socket library's error
// number in LastError(), kept per thread, as the socket library of the component does.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::sockets {

int LastError();
void SetLastError(int winsockError);

// type: 1 stream, 2 datagram.
int Socket(int type, int protocol);
int Close(int fd);
// 0 when connected at once; -1 otherwise, with WSAEWOULDBLOCK while the connect goes on.
int Connect(int fd, const sockaddr_in& peer);
int Bind(int fd, const sockaddr_in& local);
int Listen(int fd, int backlog);
// The new connection's descriptor, or -1; peer is filled when given.
int Accept(int fd, sockaddr_in* peer);
// flags: 0 normal, 1 out-of-band; for Recv also 2, peek (the bytes stay to be read).
ssize_t Send(int fd, const void* data, size_t len, int flags);
ssize_t SendTo(int fd, const void* data, size_t len, int flags, const sockaddr_in& to);
ssize_t Recv(int fd, void* buffer, size_t len, int flags);
ssize_t RecvFrom(int fd, void* buffer, size_t len, int flags, sockaddr_in& from);
// Moves at most len received bytes from the socket into the pipe pipeFd within the kernel, as
// Recv would read them; the pipe must have room (a full pipe reads as "nothing waiting").
ssize_t RecvToPipe(int fd, int pipeFd, size_t len);
// how: 0 receiving side, 1 sending side, 2 both.
int Shutdown(int fd, int how);

int SetSockOpt(int fd, int level, int option, const void* value, socklen_t len);
int GetSockOpt(int fd, int level, int option, void* value, socklen_t* len);
int SetIntOption(int fd, int level, int option, int value);
int SetLinger(int fd, bool on, int seconds);
// The connect result waiting on the socket (SO_ERROR) as a socket library number; 0 for none.
int PendingError(int fd);
// Bytes that can be read now, or -1.
int ReadableBytes(int fd);
// Whether listen() has been called on the socket.
bool IsListening(int fd);

int GetSockName(int fd, sockaddr_in& local);
int GetPeerName(int fd, sockaddr_in& peer);

// inet_addr(): the address in network order; INADDR_NONE when the text is not an address.
std::uint32_t ParseAddress(const std::string& text);
// The dotted text of an address in network order.
std::string FormatAddress(std::uint32_t networkOrder);

// Protocol number of a name, or -1.
int ProtocolByName(const std::string& name);
// Port in network order of a service name (proto may be empty), or -1.
int ServiceByName(const std::string& name, const std::string& proto);
// The IPv4 addresses of a name, in network order and in the resolver's order; empty on failure
// (LastError() then holds the resolver's error). Blocks for as long as the lookup takes.
std::vector<std::uint32_t> HostAddresses(const std::string& name);
// The name of an address in network order; empty on failure (LastError() holds the error).
std::string HostName(std::uint32_t networkOrder);

}  // namespace platform::sockets
