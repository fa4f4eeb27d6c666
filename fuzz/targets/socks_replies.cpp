// The SOCKS client's reply readers, fed the way the socket feeds them: every byte held so far,
// one receive at a time. The first input byte picks the reader; the rest is what the proxy sends.
// The request builders are driven too, from the same bytes cut into fields, and their output is
// read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "FuzzCheck.h"
#include "net/SocksProtocol.h"

namespace {

using socks::ParseResult;

// Invariants every reader keeps, whatever it reads.
void CheckReply(const socks::ReplyParse& parse, std::string_view held) {
    switch (parse.Result) {
    case ParseResult::Complete:
        FUZZ_CHECK(parse.Consumed >= 2 && parse.Consumed <= held.size());
        FUZZ_CHECK(parse.Error == 0);
        break;
    case ParseResult::NeedMore:
        FUZZ_CHECK(parse.Consumed == 0 && parse.Error == 0);
        break;
    case ParseResult::Bad:
        FUZZ_CHECK(parse.Error >= socks::kErrLogic && parse.Error <= socks::kErrUnresolvable);
        FUZZ_CHECK(!parse.Message.empty());
        break;
    }
}

template <typename Parse>
Parse Read(int reader, std::string_view held) {
    if constexpr (std::is_same_v<Parse, socks::ConnectReply>)
        return socks::ParseSocks5ConnectReply(held);
    else if constexpr (std::is_same_v<Parse, socks::MethodReply>)
        return socks::ParseSocks5MethodReply(held);
    else
        return reader == 0 ? socks::ParseSocks4Reply(held) : socks::ParseSocks5AuthReply(held);
}

// Feeds `bytes` in growing prefixes. Once a prefix gives an answer (Complete or Bad) the
// negotiation stops reading; a longer prefix must give the same answer, since a reply cannot be
// undone by bytes that come after it (the authentication reply excepted: a third byte there is
// itself a protocol error).
template <typename Parse>
void FeedGrowing(int reader, std::string_view bytes, std::size_t step) {
    bool decided = false;
    Parse first;
    for (std::size_t held = 0; held <= bytes.size(); held += step) {
        const std::string_view prefix = bytes.substr(0, held);
        const Parse parse = Read<Parse>(reader, prefix);
        CheckReply(parse, prefix);
        if (!decided && parse.Result != ParseResult::NeedMore) {
            decided = true;
            first = parse;
            continue;
        }
        if (decided && reader != 2) {
            FUZZ_CHECK(parse.Result == first.Result);
            FUZZ_CHECK(parse.Consumed == first.Consumed);
            FUZZ_CHECK(parse.Error == first.Error);
            if constexpr (std::is_same_v<Parse, socks::ConnectReply>) {
                FUZZ_CHECK(parse.BoundAddr == first.BoundAddr);
                FUZZ_CHECK(parse.BoundPort == first.BoundPort);
            }
        }
        if (decided && reader == 2 && held > 2)
            FUZZ_CHECK(parse.Result == ParseResult::Bad);
    }
    if (decided) {
        if constexpr (std::is_same_v<Parse, socks::ConnectReply>) {
            if (first.Result == ParseResult::Complete) {
                FUZZ_CHECK(!first.BoundPort.empty() && first.BoundPort.size() <= 5);
                FUZZ_CHECK(std::stoul(first.BoundPort) <= 65535);
            }
        }
        if constexpr (std::is_same_v<Parse, socks::MethodReply>) {
            if (first.Result == ParseResult::Complete)
                FUZZ_CHECK(first.Method == socks::kMethodNone || first.Method == socks::kMethodUsercode);
        }
    }
}

std::uint8_t Byte(std::string_view bytes, std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); }

// Builds the requests from fields cut out of `text` and reads their wire form back.
void CheckRequests(std::string_view text) {
    const std::size_t cut1 = text.size() / 3;
    const std::size_t cut2 = 2 * text.size() / 3;
    const std::string_view host = text.substr(0, cut1);
    const std::string_view user = text.substr(cut1, cut2 - cut1);
    const std::string_view password = text.substr(cut2);
    const std::uint16_t port = static_cast<std::uint16_t>(text.size() * 257);

    const socks::Request connect5 = socks::Socks5ConnectRequest(host, port);
    FUZZ_CHECK(connect5.Ok() == socks::CheckRequestFields("5", host, user, password, false).empty());
    if (connect5.Ok()) {
        const std::string& b = connect5.Bytes;
        FUZZ_CHECK(b.size() == 7 + host.size());
        FUZZ_CHECK(Byte(b, 0) == 5 && Byte(b, 1) == 1 && Byte(b, 2) == 0 && Byte(b, 3) == 3);
        FUZZ_CHECK(Byte(b, 4) == host.size());
        FUZZ_CHECK(std::string_view(b).substr(5, host.size()) == host);
        FUZZ_CHECK((Byte(b, 5 + host.size()) << 8 | Byte(b, 6 + host.size())) == port);
    } else {
        FUZZ_CHECK(connect5.Bytes.empty());
        FUZZ_CHECK(host.empty() || host.size() > socks::kMaxFieldLength);
    }

    const socks::Request auth = socks::Socks5AuthRequest(user, password);
    FUZZ_CHECK(auth.Ok() == socks::CheckRequestFields("5", "h", user, password, true).empty());
    if (auth.Ok()) {
        const std::string& b = auth.Bytes;
        FUZZ_CHECK(b.size() == 3 + user.size() + password.size());
        FUZZ_CHECK(Byte(b, 0) == 1 && Byte(b, 1) == user.size());
        FUZZ_CHECK(std::string_view(b).substr(2, user.size()) == user);
        FUZZ_CHECK(Byte(b, 2 + user.size()) == password.size());
        FUZZ_CHECK(std::string_view(b).substr(3 + user.size()) == password);
    }

    const socks::Request connect4a = socks::Socks4AConnectRequest(host, port, user);
    FUZZ_CHECK(connect4a.Ok() == socks::CheckRequestFields("4A", host, user, password, true).empty());
    if (connect4a.Ok()) {
        // 04 01 port 0.0.0.1 user 00 host 00, and no other zero byte: the proxy reads the fields
        // up to their zero byte.
        const std::string& b = connect4a.Bytes;
        FUZZ_CHECK(b.size() == 8 + user.size() + 1 + host.size() + 1);
        FUZZ_CHECK(Byte(b, 0) == 4 && Byte(b, 1) == 1);
        FUZZ_CHECK(Byte(b, 4) == 0 && Byte(b, 5) == 0 && Byte(b, 6) == 0 && Byte(b, 7) == 1);
        FUZZ_CHECK(b.find('\0', 8) == 8 + user.size());
        FUZZ_CHECK(b.find('\0', 9 + user.size()) == b.size() - 1);
    }
    const socks::Request connect4 = socks::Socks4ConnectRequest(0x0100007Fu, port, user);
    FUZZ_CHECK(connect4.Ok() == socks::CheckRequestFields("4", host, user, password, true).empty());
    if (connect4.Ok())
        FUZZ_CHECK(connect4.Bytes.size() == 9 + user.size() && connect4.Bytes.find('\0', 8) == 8 + user.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const int reader = data[0] % 4;
    const std::size_t step = 1 + (data[0] >> 2) % 8;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (reader) {
    case 0:
    case 2: FeedGrowing<socks::ReplyParse>(reader, bytes, step); break;
    case 1: FeedGrowing<socks::MethodReply>(reader, bytes, step); break;
    case 3: FeedGrowing<socks::ConnectReply>(reader, bytes, step); break;
    }
    CheckRequests(bytes);
    const socks::ReplyParse whole = reader == 0 ? socks::ParseSocks4Reply(bytes) : socks::ParseSocks5AuthReply(bytes);
    CheckReply(whole, bytes);
    return 0;
}
