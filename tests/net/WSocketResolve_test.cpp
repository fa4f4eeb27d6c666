// Resolution of protocols, ports and hosts, and the dotted-address test.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "net/WSocket.h"

namespace {

template <typename F>
std::string ErrorOf(F f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(WSocketResolve, PortsByNumberOrServiceName)
{
    EXPECT_EQ(WSocketResolvePort("21", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort("ftp", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort(" ftp ", ""), 21);
    EXPECT_EQ(WSocketResolvePort("0x15", "tcp"), 0) << "digits up to the first non-digit";
    EXPECT_EQ(WSocketResolvePort("65537", "tcp"), 1) << "no range check";
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("nosuchservice", "tcp"); }).rfind(
                  "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #", 0),
              0U);
}

TEST(WSocketResolve, ProtocolsByNumberOrName)
{
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("17x"), 17);
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(std::string(32, 'a')); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto("nosuchproto"); }).rfind(
                  "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #", 0),
              0U);
}

TEST(WSocketResolve, HostsByDottedAddressOrHostsFileName)
{
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 "), inet_addr("10.1.2.3"));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFU) << "the all-ones literal is fine";
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(std::string(257, 'a')); }).rfind("WSocketResolveHost: '", 0),
              0U);
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost("bad..name"); }),
              "WSocketResolveHost: Cannot convert host address 'bad..name', Error #11001");
}

TEST(WSocketResolve, DottedAddresses)
{
    for (const char* yes : {"1.2.3.4", "0.0.0.0", "255.255.255.255", "  10.0.0.1", "10.0.0.1  "})
        EXPECT_TRUE(IsDottedAddress(yes)) << yes;
    for (const char* no : {"256.1.1.1", "1.2.3", "1.2.3.4.5", ".1.2.3", "1.2.3.", "1..2.3",
                           "1.2.3.256", "1.2.3.4x", "localhost", "", "1.2.3.4 x"})
        EXPECT_FALSE(IsDottedAddress(no)) << no;
}

TEST(WSocketResolve, ErrorTexts)
{
    EXPECT_EQ(SocketErrorDescription(10061), "Connection refused");
    EXPECT_EQ(SocketErrorDescription(12345), "Not a WinSock error");
}

}  // namespace
