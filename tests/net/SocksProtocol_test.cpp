// The SOCKS requests and reply readers, fed bytes directly.
#include "net/SocksProtocol.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>

using socks::ParseResult;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

// Feeds `reply` to `parse` one byte more at a time, the way a proxy that writes byte by byte is
// read, and returns the first result that is not NeedMore together with how many bytes it took.
template <typename Parse>
auto FirstVerdict(const std::string& reply, Parse parse) {
    for (std::size_t held = 0; held < reply.size(); ++held) {
        auto result = parse(std::string_view(reply).substr(0, held));
        if (result.Result != ParseResult::NeedMore)
            return std::make_pair(result, held);
    }
    return std::make_pair(parse(reply), reply.size());
}

}  // namespace

TEST(Socks4Reply, GrantedAfterExactlyEightBytesEvenWhenSplitByteByByte) {
    std::string reply = Bytes({0, 90, 0x1F, 0x90, 127, 0, 0, 1});
    auto [parse, held] = FirstVerdict(reply, socks::ParseSocks4Reply);
    EXPECT_EQ(held, 8u);
    EXPECT_EQ(parse.Result, ParseResult::Complete);
    EXPECT_EQ(parse.Consumed, 8u);
}

TEST(Socks4Reply, EveryFailureCodeHasItsErrorAndText) {
    struct Case {
        int Code;
        int Error;
        const char* Message;
    };
    for (const Case& c : {Case{91, 20016, "request rejected or failed"}, Case{92, 20008, "connection refused"},
                          Case{93, 20015, "authentification failed"}, Case{94, 20012, "unassigned error #94"},
                          Case{0, 20012, "unassigned error #0"}}) {
        socks::ReplyParse parse = socks::ParseSocks4Reply(Bytes({0, c.Code, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(parse.Result, ParseResult::Bad) << c.Code;
        EXPECT_EQ(parse.Error, c.Error) << c.Code;
        EXPECT_EQ(parse.Message, c.Message) << c.Code;
    }
    socks::ReplyParse version = socks::ParseSocks4Reply(Bytes({4, 90, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(version.Error, 20002);
    EXPECT_EQ(version.Message, "socks version error");
}

TEST(Socks5MethodReply, NoneOrUsercodeAreAcceptedAnythingElseIsNot) {
    socks::MethodReply none = socks::ParseSocks5MethodReply(Bytes({5, 0}));
    EXPECT_EQ(none.Result, ParseResult::Complete);
    EXPECT_EQ(none.Method, 0);
    socks::MethodReply usercode = socks::ParseSocks5MethodReply(Bytes({5, 2}));
    EXPECT_EQ(usercode.Method, 2);
    EXPECT_EQ(socks::ParseSocks5MethodReply(Bytes({5})).Result, ParseResult::NeedMore);

    socks::MethodReply refused = socks::ParseSocks5MethodReply(Bytes({5, 0xFF}));
    EXPECT_EQ(refused.Result, ParseResult::Bad);
    EXPECT_EQ(refused.Error, 20003);
    EXPECT_EQ(refused.Message, "authentification method not acceptable");
    EXPECT_EQ(socks::ParseSocks5MethodReply(Bytes({4, 0})).Error, 20002);
}

TEST(Socks5AuthReply, StatusZeroAcceptsOtherStatusRefusesExtraBytesAreAnError) {
    EXPECT_EQ(socks::ParseSocks5AuthReply(Bytes({1, 0})).Result, ParseResult::Complete);
    EXPECT_EQ(socks::ParseSocks5AuthReply(Bytes({1})).Result, ParseResult::NeedMore);
    EXPECT_EQ(socks::ParseSocks5AuthReply("").Result, ParseResult::NeedMore);

    socks::ReplyParse refused = socks::ParseSocks5AuthReply(Bytes({1, 1}));
    EXPECT_EQ(refused.Error, 20015);
    EXPECT_EQ(refused.Message, "socks authentication failed");
    // The version is judged as soon as its byte is there.
    EXPECT_EQ(socks::ParseSocks5AuthReply(Bytes({5})).Error, 20002);
    socks::ReplyParse extra = socks::ParseSocks5AuthReply(Bytes({1, 0, 0}));
    EXPECT_EQ(extra.Error, 20001);
    EXPECT_EQ(extra.Message, "too much data availaible");
}

TEST(Socks5ConnectReply, IPv4BoundAddressSplitByteByByte) {
    std::string reply = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0x01});
    auto [parse, held] = FirstVerdict(reply, socks::ParseSocks5ConnectReply);
    EXPECT_EQ(held, 10u);
    ASSERT_EQ(parse.Result, ParseResult::Complete);
    EXPECT_EQ(parse.Consumed, 10u);
    EXPECT_EQ(parse.BoundAddr, "10.1.2.3");
    EXPECT_EQ(parse.BoundPort, "1025");
}

TEST(Socks5ConnectReply, GluedDataIsLeftForTheCaller) {
    std::string reply = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 21}) + "220 ready\r\n";
    socks::ConnectReply parse = socks::ParseSocks5ConnectReply(reply);
    ASSERT_EQ(parse.Result, ParseResult::Complete);
    EXPECT_EQ(reply.substr(parse.Consumed), "220 ready\r\n");
    EXPECT_EQ(parse.BoundPort, "21");
}

TEST(Socks5ConnectReply, NameBoundAddressUpToTheLongestName) {
    std::string name(255, 'n');
    std::string reply = Bytes({5, 0, 0, 3, 255}) + name + Bytes({0xFF, 0xFF});
    auto [parse, held] = FirstVerdict(reply, socks::ParseSocks5ConnectReply);
    EXPECT_EQ(held, 262u);
    ASSERT_EQ(parse.Result, ParseResult::Complete);
    EXPECT_EQ(parse.BoundAddr, name);
    EXPECT_EQ(parse.BoundPort, "65535");

    socks::ConnectReply empty = socks::ParseSocks5ConnectReply(Bytes({5, 0, 0, 3, 0, 0, 80}));
    ASSERT_EQ(empty.Result, ParseResult::Complete);
    EXPECT_EQ(empty.BoundAddr, "");
    EXPECT_EQ(empty.Consumed, 7u);
}

TEST(Socks5ConnectReply, IPv6BoundAddress) {
    std::string reply = Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F, 0x90});
    auto [parse, held] = FirstVerdict(reply, socks::ParseSocks5ConnectReply);
    EXPECT_EQ(held, 22u);
    ASSERT_EQ(parse.Result, ParseResult::Complete);
    EXPECT_EQ(parse.BoundAddr, "2001:db8::1");
    EXPECT_EQ(parse.BoundPort, "8080");
}

TEST(Socks5ConnectReply, EveryReplyCodeAndProtocolErrorHasItsErrorAndText) {
    const char* messages[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                              "network unreachable", "host unreachable", "connection refused",
                              "time to live expired", "command not supported", "address type not supported"};
    for (int code = 1; code <= 8; ++code) {
        // The code is judged as soon as it is there, without waiting for the address.
        socks::ConnectReply parse = socks::ParseSocks5ConnectReply(Bytes({5, code}));
        EXPECT_EQ(parse.Result, ParseResult::Bad);
        EXPECT_EQ(parse.Error, 20003 + code);
        EXPECT_EQ(parse.Message, messages[code - 1]);
    }
    socks::ConnectReply unassigned = socks::ParseSocks5ConnectReply(Bytes({5, 9}));
    EXPECT_EQ(unassigned.Error, 20012);
    EXPECT_EQ(unassigned.Message, "unassigned error #9");
    EXPECT_EQ(socks::ParseSocks5ConnectReply(Bytes({0})).Error, 20002);
    socks::ConnectReply oddType = socks::ParseSocks5ConnectReply(Bytes({5, 0, 0, 7, 1}));
    EXPECT_EQ(oddType.Error, 20011);
    EXPECT_EQ(oddType.Message, "address type not supported");
}

TEST(SocksRequests, Socks5GreetingAuthAndConnect) {
    EXPECT_EQ(socks::Socks5Greeting(0), Bytes({5, 1, 0}));
    EXPECT_EQ(socks::Socks5Greeting(2), Bytes({5, 1, 2}));

    socks::Request auth = socks::Socks5AuthRequest("joe", "pw");
    ASSERT_TRUE(auth.Ok());
    EXPECT_EQ(auth.Bytes, Bytes({1, 3}) + "joe" + Bytes({2}) + "pw");

    // A dotted destination goes as a name too.
    socks::Request connect = socks::Socks5ConnectRequest("127.0.0.1", 21);
    ASSERT_TRUE(connect.Ok());
    EXPECT_EQ(connect.Bytes, Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0, 21}));
}

TEST(SocksRequests, Socks4And4A) {
    socks::Request four = socks::Socks4ConnectRequest(htonl(0x7F000001), 0x1234, "me");
    ASSERT_TRUE(four.Ok());
    EXPECT_EQ(four.Bytes, Bytes({4, 1, 0x12, 0x34, 127, 0, 0, 1}) + "me" + Bytes({0}));

    socks::Request fourA = socks::Socks4AConnectRequest("ftp.example", 21, "");
    ASSERT_TRUE(fourA.Ok());
    EXPECT_EQ(fourA.Bytes, Bytes({4, 1, 0, 21, 0, 0, 0, 1, 0}) + "ftp.example" + Bytes({0}));
}

TEST(SocksRequests, FieldsUpTo255BytesFitLongerOnesAreRefused) {
    std::string longest(255, 'x');
    std::string tooLong(256, 'x');

    socks::Request connect = socks::Socks5ConnectRequest(longest, 21);
    ASSERT_TRUE(connect.Ok());
    EXPECT_EQ(connect.Bytes.size(), 4 + 1 + 255 + 2u);
    EXPECT_EQ(static_cast<unsigned char>(connect.Bytes[4]), 255);
    EXPECT_TRUE(socks::Socks5AuthRequest(longest, longest).Ok());

    socks::Request refused = socks::Socks5ConnectRequest(tooLong, 21);
    EXPECT_FALSE(refused.Ok());
    EXPECT_TRUE(refused.Bytes.empty());
    EXPECT_NE(refused.Error.find("destination name"), std::string::npos) << refused.Error;
    EXPECT_NE(socks::Socks5AuthRequest(tooLong, "p").Error.find("user code"), std::string::npos);
    EXPECT_NE(socks::Socks5AuthRequest("u", tooLong).Error.find("password"), std::string::npos);
    EXPECT_FALSE(socks::Socks4AConnectRequest(tooLong, 21, "").Ok());
    EXPECT_FALSE(socks::Socks4ConnectRequest(0, 21, tooLong).Ok());
    EXPECT_FALSE(socks::Socks5ConnectRequest("", 21).Ok());
}

TEST(SocksRequests, ZeroByteInsideASocks4FieldIsRefused) {
    std::string withZero("ab\0cd", 5);
    EXPECT_FALSE(socks::Socks4ConnectRequest(0, 21, withZero).Ok());
    EXPECT_FALSE(socks::Socks4AConnectRequest(withZero, 21, "").Ok());
    // Length-prefixed SOCKS 5 fields carry any byte.
    EXPECT_TRUE(socks::Socks5AuthRequest(withZero, withZero).Ok());
}

TEST(SocksRequests, CheckRequestFieldsLooksOnlyAtWhatTheLevelSends) {
    std::string tooLong(256, 'x');
    EXPECT_EQ(socks::CheckRequestFields("5", "host", "", "", false), "");
    EXPECT_NE(socks::CheckRequestFields("5", tooLong, "", "", false), "");
    // The password is sent only when user-code authentication is offered.
    EXPECT_EQ(socks::CheckRequestFields("5", "host", "u", tooLong, false), "");
    EXPECT_NE(socks::CheckRequestFields("5", "host", "u", tooLong, true), "");
    EXPECT_NE(socks::CheckRequestFields("5", "host", tooLong, "p", true), "");
    // SOCKS 4 sends the user code always and the name only for 4A; it has no password.
    EXPECT_NE(socks::CheckRequestFields("4", "host", tooLong, "", false), "");
    EXPECT_EQ(socks::CheckRequestFields("4", tooLong, "u", tooLong, true), "");
    EXPECT_NE(socks::CheckRequestFields("4A", tooLong, "u", "", false), "");
    EXPECT_EQ(socks::CheckRequestFields("4A", "host", "u", "", false), "");
}
