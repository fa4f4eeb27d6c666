#include "net/SocksProtocol.h"

#include <arpa/inet.h>

namespace socks {

namespace {

std::uint8_t Byte(std::string_view bytes, std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); }

template <typename Parse>
Parse Fail(int error, std::string message) {
    Parse parse;
    parse.Result = ParseResult::Bad;
    parse.Error = error;
    parse.Message = std::move(message);
    return parse;
}

void AppendPort(std::string& out, std::uint16_t port) {
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xFF));
}

std::uint16_t ReadPort(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(Byte(bytes, at) << 8 | Byte(bytes, at + 1));
}

Request Refuse(std::string why) {
    Request request;
    request.Error = std::move(why);
    return request;
}

// Empty when `value` fits a length-prefixed field.
std::string CheckLengthField(std::string_view what, std::string_view value) {
    if (value.size() > kMaxFieldLength)
        return "SOCKS " + std::string(what) + " is " + std::to_string(value.size()) +
               " bytes long; a SOCKS request field holds at most 255";
    return {};
}

// Empty when `value` fits a zero-terminated SOCKS 4 field.
std::string CheckZeroTerminatedField(std::string_view what, std::string_view value) {
    if (value.find('\0') != std::string_view::npos)
        return "SOCKS " + std::string(what) + " holds a zero byte, which would end it early";
    return CheckLengthField(what, value);
}

}  // namespace

ReplyParse ParseSocks4Reply(std::string_view held) {
    if (held.size() < 8)
        return {};
    if (Byte(held, 0) != 0)
        return Fail<ReplyParse>(kErrVersion, "socks version error");
    switch (int code = Byte(held, 1)) {
    case 90: {
        ReplyParse parse;
        parse.Result = ParseResult::Complete;
        parse.Consumed = 8;
        return parse;
    }
    case 91:
        return Fail<ReplyParse>(kErrRequestRejected, "request rejected or failed");
    case 92:
        return Fail<ReplyParse>(kErrConnectionRefused, "connection refused");
    case 93:
        return Fail<ReplyParse>(kErrAuthFailed, "authentification failed");
    default:
        return Fail<ReplyParse>(kErrUnassigned, "unassigned error #" + std::to_string(code));
    }
}

MethodReply ParseSocks5MethodReply(std::string_view held) {
    if (held.size() < 2)
        return {};
    if (Byte(held, 0) != 5)
        return Fail<MethodReply>(kErrVersion, "socks version error");
    std::uint8_t method = Byte(held, 1);
    if (method != kMethodNone && method != kMethodUsercode)
        return Fail<MethodReply>(kErrMethod, "authentification method not acceptable");
    MethodReply parse;
    parse.Result = ParseResult::Complete;
    parse.Consumed = 2;
    parse.Method = method;
    return parse;
}

ReplyParse ParseSocks5AuthReply(std::string_view held) {
    if (!held.empty() && Byte(held, 0) != 1)
        return Fail<ReplyParse>(kErrVersion, "socks version error");
    if (held.size() < 2)
        return {};
    if (held.size() > 2)
        return Fail<ReplyParse>(kErrLogic, "too much data availaible");
    if (Byte(held, 1) != 0)
        return Fail<ReplyParse>(kErrAuthFailed, "socks authentication failed");
    ReplyParse parse;
    parse.Result = ParseResult::Complete;
    parse.Consumed = 2;
    return parse;
}

std::string Socks5ReplyMessage(int replyCode) {
    switch (replyCode) {
    case 1: return "general SOCKS server failure";
    case 2: return "connection not allowed by ruleset";
    case 3: return "network unreachable";
    case 4: return "host unreachable";
    case 5: return "connection refused";
    case 6: return "time to live expired";
    case 7: return "command not supported";
    case 8: return "address type not supported";
    default: return "unassigned error #" + std::to_string(replyCode);
    }
}

ConnectReply ParseSocks5ConnectReply(std::string_view held) {
    if (!held.empty() && Byte(held, 0) != 5)
        return Fail<ConnectReply>(kErrVersion, "socks version error");
    if (held.size() >= 2 && Byte(held, 1) != 0) {
        int code = Byte(held, 1);
        int error = code <= 8 ? kErrGeneralFailure + code - 1 : kErrUnassigned;
        return Fail<ConnectReply>(error, Socks5ReplyMessage(code));
    }
    if (held.size() < 5)
        return {};
    ConnectReply parse;
    std::size_t portAt = 0;
    switch (Byte(held, 3)) {
    case 1:
        if (held.size() < 10)
            return {};
        parse.BoundAddr = std::to_string(Byte(held, 4)) + "." + std::to_string(Byte(held, 5)) + "." +
                          std::to_string(Byte(held, 6)) + "." + std::to_string(Byte(held, 7));
        portAt = 8;
        break;
    case 3: {
        std::size_t nameLength = Byte(held, 4);
        if (held.size() < 7 + nameLength)
            return {};
        parse.BoundAddr = std::string(held.substr(5, nameLength));
        portAt = 5 + nameLength;
        break;
    }
    case 4: {
        // A proxy whose outgoing side is IPv6 names an IPv6 bound address even when it reached
        // an IPv4 destination; the connection is good all the same.
        if (held.size() < 22)
            return {};
        unsigned char raw[16];
        for (std::size_t i = 0; i < 16; ++i)
            raw[i] = Byte(held, 4 + i);
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, raw, text, sizeof text);
        parse.BoundAddr = text;
        portAt = 20;
        break;
    }
    default:
        return Fail<ConnectReply>(kErrAddressTypeNotSupported, "address type not supported");
    }
    parse.BoundPort = std::to_string(ReadPort(held, portAt));
    parse.Consumed = portAt + 2;
    parse.Result = ParseResult::Complete;
    return parse;
}

std::string Socks5Greeting(std::uint8_t method) { return std::string{'\x05', '\x01', static_cast<char>(method)}; }

Request Socks5AuthRequest(std::string_view usercode, std::string_view password) {
    if (std::string why = CheckLengthField("user code", usercode); !why.empty())
        return Refuse(why);
    if (std::string why = CheckLengthField("password", password); !why.empty())
        return Refuse(why);
    Request request;
    request.Bytes.push_back('\x01');
    request.Bytes.push_back(static_cast<char>(usercode.size()));
    request.Bytes.append(usercode);
    request.Bytes.push_back(static_cast<char>(password.size()));
    request.Bytes.append(password);
    return request;
}

Request Socks5ConnectRequest(std::string_view host, std::uint16_t port) {
    if (host.empty())
        return Refuse("SOCKS destination name is empty");
    if (std::string why = CheckLengthField("destination name", host); !why.empty())
        return Refuse(why);
    Request request;
    request.Bytes = {'\x05', '\x01', '\x00', '\x03', static_cast<char>(host.size())};
    request.Bytes.append(host);
    AppendPort(request.Bytes, port);
    return request;
}

Request Socks4ConnectRequest(std::uint32_t address, std::uint16_t port, std::string_view usercode) {
    if (std::string why = CheckZeroTerminatedField("user code", usercode); !why.empty())
        return Refuse(why);
    Request request;
    request.Bytes = {'\x04', '\x01'};
    AppendPort(request.Bytes, port);
    // `address` is in network order, so its bytes in memory are already the wire order.
    const auto* raw = reinterpret_cast<const char*>(&address);
    request.Bytes.append(raw, 4);
    request.Bytes.append(usercode);
    request.Bytes.push_back('\0');
    return request;
}

Request Socks4AConnectRequest(std::string_view host, std::uint16_t port, std::string_view usercode) {
    if (host.empty())
        return Refuse("SOCKS destination name is empty");
    if (std::string why = CheckZeroTerminatedField("destination name", host); !why.empty())
        return Refuse(why);
    Request request = Socks4ConnectRequest(htonl(1), port, usercode);
    if (!request.Ok())
        return request;
    request.Bytes.append(host);
    request.Bytes.push_back('\0');
    return request;
}

std::string CheckRequestFields(std::string_view level, std::string_view host, std::string_view usercode,
                               std::string_view password, bool authenticate) {
    if (level == "5") {
        if (host.empty())
            return "SOCKS destination name is empty";
        if (std::string why = CheckLengthField("destination name", host); !why.empty())
            return why;
        if (!authenticate)
            return {};
        if (std::string why = CheckLengthField("user code", usercode); !why.empty())
            return why;
        return CheckLengthField("password", password);
    }
    if (std::string why = CheckZeroTerminatedField("user code", usercode); !why.empty())
        return why;
    if (level == "4A") {
        if (host.empty())
            return "SOCKS destination name is empty";
        return CheckZeroTerminatedField("destination name", host);
    }
    return {};
}

}  // namespace socks
