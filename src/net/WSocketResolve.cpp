// Resolution of protocols, ports and hosts, the dotted-address test, the error texts and the
// byte-order helpers of the WSocket unit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdint>

#include "net/WSocket.h"
#include "net/WSocketText.h"
#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

namespace sockets = platform::sockets;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The decimal value of the digits at the start of the text; wraps instead of overflowing.
std::uint32_t LeadingNumber(const std::string& text)
{
    std::uint32_t value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            break;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

}  // namespace

int WSocketResolveProto(const std::string& sProto)
{
    if (sProto.empty() || sProto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string proto = wsocket::Trim(sProto);
    if (!proto.empty() && IsDigit(proto[0]))
        return static_cast<int>(LeadingNumber(proto));
    // The two every connection names are known without reading the protocols database.
    if (proto == "tcp")
        return IPPROTO_TCP;
    if (proto == "udp")
        return IPPROTO_UDP;
    int number = sockets::ProtocolByName(proto);
    if (number < 0)
        throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto +
                               "', Error #" + std::to_string(sockets::LastError()));
    return number;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (IsDigit(Port[0]))
        return static_cast<std::uint16_t>(LeadingNumber(Port));
    std::string name = wsocket::Trim(Port);
    int port = sockets::ServiceByName(name, wsocket::Trim(Proto));
    if (port < 0)
        throw ESocketException("WSocketResolvePort: Cannot convert port '" + name + "', Error #" +
                               std::to_string(sockets::LastError()));
    return ntohs(static_cast<std::uint16_t>(port));
}

std::uint32_t WSocketResolveHost(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    std::string host = wsocket::Trim(InAddr);
    if (IsDottedAddress(host)) {
        std::uint32_t a = sockets::ParseAddress(host);
        if (a == INADDR_NONE && host != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return a;
    }
    std::vector<std::uint32_t> found = sockets::HostAddresses(host);
    if (found.empty())
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + host +
                               "', Error #" + std::to_string(sockets::LastError()));
    return found.front();
}

bool IsDottedAddress(const std::string& Addr)
{
    size_t i = 0;
    size_t n = Addr.size();
    while (i < n && IsBlank(Addr[i]))
        ++i;
    if (i < n && Addr[i] == '.')
        return false;
    int dots = 0;
    unsigned value = 0;
    for (; i < n; ++i) {
        char c = Addr[i];
        if (IsDigit(c)) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 256)
                value = 256;  // already too large; kept from growing further
        } else if (c == '.') {
            ++dots;
            if (dots == 4 || value > 255 || i + 1 == n || !IsDigit(Addr[i + 1]))
                return false;
            value = 0;
        } else {
            for (; i < n; ++i)
                if (!IsBlank(Addr[i]))
                    return false;
            break;
        }
    }
    return dots == 3 && value <= 255;
}

std::string SocketErrorDescription(int ErrCode) { return platform::SocketErrorDescription(ErrCode); }

std::uint32_t WSocketHtonl(std::uint32_t v) { return htonl(v); }
std::uint32_t WSocketNtohl(std::uint32_t v) { return ntohl(v); }
std::uint16_t WSocketHtons(std::uint16_t v) { return htons(v); }
std::uint16_t WSocketNtohs(std::uint16_t v) { return ntohs(v); }

int WSocketGetSockOpt(TSocket s, int level, int optname, void* optval, int* optlen)
{
    socklen_t len = optlen != nullptr && *optlen > 0 ? static_cast<socklen_t>(*optlen) : 0;
    if (sockets::GetSockOpt(s, level, optname, optval, &len) != 0)
        return SOCKET_ERROR;
    if (optlen != nullptr)
        *optlen = static_cast<int>(len);
    return 0;
}
