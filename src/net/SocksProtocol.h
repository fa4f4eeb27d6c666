// The wire side of the socket's SOCKS client as pure functions over bytes: the requests of SOCKS 4,
// its 4A extension, SOCKS 5 (RFC 1928) and user-code authentication (RFC 1929), and the readers
// of the proxy's replies. A reader is given every reply byte held so far and says whether a whole
// reply is there, more bytes are needed, or the bytes can never form a good reply (with the socket
// error number and text to report). They own no I/O and no state; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace socks {

enum class ParseResult {
    Complete,  // a whole reply was found
    NeedMore,  // the bytes so far are a valid beginning; wait for more
    Bad,       // the reply reports a failure or breaks the protocol
};

// The error numbers the SOCKS layer reports through OnSocksError, OnSessionConnected and
// OnSessionClosed.
enum : int {
    kErrLogic = 20001,
    kErrVersion = 20002,
    kErrMethod = 20003,
    kErrGeneralFailure = 20004,
    kErrNotAllowed = 20005,
    kErrNetworkUnreachable = 20006,
    kErrHostUnreachable = 20007,
    kErrConnectionRefused = 20008,
    kErrTtlExpired = 20009,
    kErrCommandNotSupported = 20010,
    kErrAddressTypeNotSupported = 20011,
    kErrUnassigned = 20012,
    kErrInternal = 20013,
    kErrAuthFailed = 20015,
    kErrRequestRejected = 20016,
    kErrUnresolvable = 20017,
};

// The longest destination name, user code or password one request field can carry.
constexpr std::size_t kMaxFieldLength = 255;

// SOCKS 5 authentication methods.
constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUsercode = 2;

// What every reader returns; the reply-specific values follow in the derived structs.
struct ReplyParse {
    ParseResult Result = ParseResult::NeedMore;
    std::size_t Consumed = 0;  // Complete: the bytes the reply takes from the front
    int Error = 0;             // Bad: the error number
    std::string Message;       // Bad: its text
};

// The 8-byte SOCKS 4 / 4A reply: version 0, then 90 for success or the failure code.
ReplyParse ParseSocks4Reply(std::string_view held);

// The 2-byte SOCKS 5 method choice. Complete only for method 0 or 2.
struct MethodReply : ReplyParse {
    std::uint8_t Method = 0;
};
MethodReply ParseSocks5MethodReply(std::string_view held);

// The 2-byte RFC 1929 reply; Complete means the proxy accepted the credentials. More than two
// bytes held is a protocol error, since the proxy sends nothing else before the connect request.
ReplyParse ParseSocks5AuthReply(std::string_view held);

// The SOCKS 5 connect reply with its bound address: IPv4 (type 1), a name (type 3) or IPv6 (type 4).
struct ConnectReply : ReplyParse {
    std::string BoundAddr;  // dotted IPv4, the name, or IPv6 text
    std::string BoundPort;  // decimal text
};
ConnectReply ParseSocks5ConnectReply(std::string_view held);

// The text of a SOCKS 5 reply code 1-8, or "unassigned error #<code>".
std::string Socks5ReplyMessage(int replyCode);

// A request to send, or why it cannot be built (then nothing must be sent).
struct Request {
    std::string Bytes;
    std::string Error;  // empty when Bytes is good
    bool Ok() const { return Error.empty(); }
};

// 05 01 method.
std::string Socks5Greeting(std::uint8_t method);
// 01 ulen user plen password.
Request Socks5AuthRequest(std::string_view usercode, std::string_view password);
// 05 01 00 03 len name port: the destination always goes as a name, also when it is dotted, so
// that the proxy does the resolving.
Request Socks5ConnectRequest(std::string_view host, std::uint16_t port);
// 04 01 port address usercode 00; `address` in network order.
Request Socks4ConnectRequest(std::uint32_t address, std::uint16_t port, std::string_view usercode);
// 04 01 port 0.0.0.1 usercode 00 host 00.
Request Socks4AConnectRequest(std::string_view host, std::uint16_t port, std::string_view usercode);

// Checks, before a connection is opened, every value the negotiation of `level` ("4", "4A" or "5")
// may send; `authenticate` is whether user-code authentication is offered. Empty when all fit,
// else the reason, so that a value too long for its field is refused before any byte goes out.
std::string CheckRequestFields(std::string_view level, std::string_view host, std::string_view usercode,
                               std::string_view password, bool authenticate);

}  // namespace socks
