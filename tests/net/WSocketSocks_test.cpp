// The socket's SOCKS layer against a proxy played by the test on loopback: the exact bytes of
// each request, replies cut byte by byte or glued to the destination's data, every failure code
// with its events in order. Runs on both loop backends.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "LoopBackends.h"
#include "LoopbackPeer.h"
#include "net/WSocket.h"

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Port(std::uint16_t port) { return std::to_string(port); }

const std::string kGranted5 = Bytes({5, 0, 0, 1, 10, 0, 0, 7, 0x9C, 0x40});  // bound 10.0.0.7:40000

class SocksSocket : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override
    {
        loop_ = MakeEventLoop(GetParam());
        socket_ = std::make_unique<TWSocket>(*loop_);
        socket_->OnSocksConnected = [this](TCustomWSocket*, std::uint16_t e) { Log("socks-connected " + std::to_string(e)); };
        socket_->OnSocksError = [this](TCustomWSocket*, int e, const std::string& msg) {
            Log("socks-error " + std::to_string(e) + " " + msg);
        };
        socket_->OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState state) {
            const char* names[] = {"begun", "accepted", "rejected", "skipped"};
            Log(std::string("auth ") + names[state]);
        };
        socket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
            connected_ = true;
            Log("connected " + std::to_string(e));
        };
        socket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
            closed_ = true;
            Log("closed " + std::to_string(e));
        };
        socket_->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
            ++dataAvailable_;
            received_ += s->ReceiveText();
        };
    }

    void Log(const std::string& event) { events_.push_back(event); }

    // Starts a connection to dest.example:21 through the test's proxy and returns the proxy's end
    // once the socket has seen the proxy accept.
    loopback::Connection ConnectThroughProxy(const std::string& level,
                                             TSocksAuthentication authentication = socksNoAuthentication,
                                             const std::string& addr = "dest.example")
    {
        socket_->SetAddr(addr);
        socket_->SetPort("21");
        socket_->SetSocksServer("127.0.0.1");
        socket_->SetSocksPort(Port(proxy_.Port()));
        socket_->SetSocksLevel(level);
        socket_->SetSocksAuthentication(authentication);
        socket_->Connect();
        loopback::Connection peer = proxy_.Accept();
        EXPECT_TRUE(peer.Open());
        EXPECT_TRUE(PumpUntil(*loop_, [&] { return !events_.empty(); }));
        return peer;
    }

    // Sends bytes as the proxy and lets the socket read them all.
    void ProxySends(loopback::Connection& peer, const std::string& bytes)
    {
        long long before = socket_->ReadCount();
        peer.SendAll(bytes);
        ASSERT_TRUE(PumpUntil(*loop_, [&] {
            return closed_ || socket_->ReadCount() >= before + static_cast<long long>(bytes.size());
        }));
    }

    // Sends bytes one at a time, each only after the socket has read the one before, and checks
    // that `doneEvent` (when given) comes with the last byte and not before.
    void ProxySendsByteByByte(loopback::Connection& peer, const std::string& bytes, const std::string& doneEvent = "")
    {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            long long before = socket_->ReadCount();
            peer.SendAll(bytes.substr(i, 1));
            ASSERT_TRUE(PumpUntil(*loop_, [&] { return socket_->ReadCount() > before || closed_; })) << i;
            if (doneEvent.empty())
                continue;
            bool done = std::find(events_.begin(), events_.end(), doneEvent) != events_.end();
            EXPECT_EQ(done, i + 1 == bytes.size()) << "after byte " << i;
        }
    }

    std::unique_ptr<platform::EventLoop> loop_;
    std::unique_ptr<TWSocket> socket_;
    loopback::Listener proxy_;
    std::vector<std::string> events_;
    std::string received_;
    int dataAvailable_ = 0;
    bool connected_ = false;
    bool closed_ = false;
};

TEST_P(SocksSocket, Socks5WithoutAuthenticationSendsTheExactRequestsAndConnects)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    EXPECT_EQ(events_, std::vector<std::string>{"socks-connected 0"});
    EXPECT_EQ(peer.Read(3), Bytes({5, 1, 0}));
    ProxySends(peer, Bytes({5, 0}));
    EXPECT_EQ(peer.Read(4 + 1 + 12 + 2), Bytes({5, 1, 0, 3, 12}) + "dest.example" + Bytes({0, 21}));
    EXPECT_FALSE(connected_);
    ProxySends(peer, kGranted5);
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
    EXPECT_EQ(dataAvailable_, 1);
    EXPECT_EQ(socket_->SocksBoundAddr(), "10.0.0.7");
    EXPECT_EQ(socket_->SocksBoundPort(), "40000");

    // From here on the socket carries the destination's stream both ways.
    peer.SendAll("220 ready\r\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return received_ == "220 ready\r\n"; }));
    socket_->SendText("USER x\r\n");
    EXPECT_EQ(peer.Read(8), "USER x\r\n");
}

TEST_P(SocksSocket, RepliesSplitByteByByteConnectOnlyAtTheirLastByte)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    ProxySendsByteByByte(peer, Bytes({5, 0}));
    peer.Read(19);
    ProxySendsByteByByte(peer, kGranted5, "connected 0");
    EXPECT_EQ(dataAvailable_, 1);
}

TEST_P(SocksSocket, Socks5ReplyWithANameSplitByteByByte)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    ProxySends(peer, Bytes({5, 0}));
    peer.Read(19);
    ProxySendsByteByByte(peer, Bytes({5, 0, 0, 3, 5}) + "proxy" + Bytes({0x04, 0x00}), "connected 0");
    EXPECT_EQ(socket_->SocksBoundAddr(), "proxy");
    EXPECT_EQ(socket_->SocksBoundPort(), "1024");
}

TEST_P(SocksSocket, Socks4ReplySplitByteByByte)
{
    loopback::Connection peer = ConnectThroughProxy("4", socksNoAuthentication, "127.0.0.1");
    EXPECT_EQ(peer.Read(9), Bytes({4, 1, 0, 21, 127, 0, 0, 1, 0}));
    ProxySendsByteByByte(peer, Bytes({0, 90, 0, 21, 127, 0, 0, 1}), "connected 0");
}

TEST_P(SocksSocket, DataGluedToTheSocks5ReplyIsReadFirst)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    ProxySends(peer, Bytes({5, 0}));
    peer.Read(19);
    int countSeen = -1;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        ++dataAvailable_;
        if (countSeen < 0)
            countSeen = s->RcvdCount();
        received_ += s->ReceiveText();
    };
    peer.SendAll(kGranted5 + "220 glued\r\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return received_ == "220 glued\r\n"; }));
    EXPECT_EQ(countSeen, 11);
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
    peer.SendAll("rest");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return received_ == "220 glued\r\nrest"; }));
}

TEST_P(SocksSocket, LineModeCutsOnlyWhatFollowsTheNegotiation)
{
    std::vector<std::string> lines;
    socket_->SetLineMode(true);
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { lines.push_back(s->ReceiveText()); };
    loopback::Connection peer = ConnectThroughProxy("5");
    EXPECT_EQ(peer.Read(3), Bytes({5, 1, 0}));
    ProxySends(peer, Bytes({5, 0}));
    peer.Read(19);
    peer.SendAll(kGranted5 + "one\r\ntw");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return lines.size() == 1; }));
    peer.SendAll("o\r\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n"}));
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
}

TEST_P(SocksSocket, GluedDataReadInSmallPiecesIsAllDelivered)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    ProxySends(peer, Bytes({5, 0}));
    peer.Read(19);
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char piece[3];
        int n = s->Receive(piece, sizeof piece);
        if (n > 0)
            received_.append(piece, static_cast<std::size_t>(n));
    };
    peer.SendAll(kGranted5 + "0123456789");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return received_ == "0123456789"; }));
}

TEST_P(SocksSocket, Socks4And4ARequests)
{
    {
        socket_->SetSocksUsercode("me");
        loopback::Connection peer = ConnectThroughProxy("4A");
        EXPECT_EQ(peer.Read(9 + 2 + 13), Bytes({4, 1, 0, 21, 0, 0, 0, 1}) + "me" + Bytes({0}) + "dest.example" + Bytes({0}));
        ProxySends(peer, Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(connected_);
        socket_->Close();
    }
    // The close reset the level to "5", and SOCKS settings must be given again.
    EXPECT_EQ(socket_->SocksLevel(), "5");
    EXPECT_EQ(socket_->SocksServer(), "");
    events_.clear();
    connected_ = false;
    loopback::Connection peer = ConnectThroughProxy("4", socksNoAuthentication, "127.0.0.9");
    EXPECT_EQ(peer.Read(9 + 2), Bytes({4, 1, 0, 21, 127, 0, 0, 9}) + "me" + Bytes({0}));
}

TEST_P(SocksSocket, EverySocks4FailureCode)
{
    struct Case {
        int Code;
        std::string Event;
    };
    for (const Case& c : {Case{91, "20016 request rejected or failed"}, Case{92, "20008 connection refused"},
                          Case{93, "20015 authentification failed"}, Case{7, "20012 unassigned error #7"}}) {
        events_.clear();
        closed_ = false;
        loopback::Connection peer = ConnectThroughProxy("4A");
        peer.Read(22);
        ProxySends(peer, Bytes({0, c.Code, 0, 0, 0, 0, 0, 0}));
        ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
        std::string code = c.Event.substr(0, 5);
        EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "socks-error " + c.Event,
                                                     "connected " + code, "closed " + code}));
        EXPECT_EQ(socket_->State(), wsClosed);
        EXPECT_TRUE(peer.SeesClose());
    }
}

TEST_P(SocksSocket, EverySocks5FailureCode)
{
    const char* messages[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                              "network unreachable", "host unreachable", "connection refused",
                              "time to live expired", "command not supported", "address type not supported",
                              "unassigned error #9"};
    for (int code = 1; code <= 9; ++code) {
        events_.clear();
        closed_ = false;
        loopback::Connection peer = ConnectThroughProxy("5");
        peer.Read(3);
        ProxySends(peer, Bytes({5, 0}));
        peer.Read(19);
        ProxySends(peer, Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}));
        ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
        std::string error = std::to_string(code <= 8 ? 20003 + code : 20012);
        EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "socks-error " + error + " " + messages[code - 1],
                                                     "connected " + error, "closed " + error}))
            << code;
        EXPECT_EQ(dataAvailable_, 0);
    }
}

TEST_P(SocksSocket, ProtocolErrorsInTheReplies)
{
    struct Case {
        std::string MethodReply;
        std::string Event;
    };
    for (const Case& c : {Case{Bytes({4, 0}), "socks-error 20002 socks version error"},
                          Case{Bytes({5, 0xFF}), "socks-error 20003 authentification method not acceptable"}}) {
        events_.clear();
        closed_ = false;
        loopback::Connection peer = ConnectThroughProxy("5");
        peer.Read(3);
        ProxySends(peer, c.MethodReply);
        ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
        ASSERT_GE(events_.size(), 2u);
        EXPECT_EQ(events_[1], c.Event);
    }
}

TEST_P(SocksSocket, AuthenticationAcceptedSendsCredentialsThenTheRequest)
{
    socket_->SetSocksUsercode("joe");
    socket_->SetSocksPassword("secret");
    loopback::Connection peer = ConnectThroughProxy("5", socksAuthenticateUsercode);
    EXPECT_EQ(peer.Read(3), Bytes({5, 1, 2}));
    ProxySends(peer, Bytes({5, 2}));
    EXPECT_EQ(peer.Read(1 + 1 + 3 + 1 + 6), Bytes({1, 3}) + "joe" + Bytes({6}) + "secret");
    ProxySends(peer, Bytes({1, 0}));
    EXPECT_EQ(peer.Read(19), Bytes({5, 1, 0, 3, 12}) + "dest.example" + Bytes({0, 21}));
    ProxySends(peer, kGranted5);
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "auth begun", "auth accepted", "connected 0"}));
}

TEST_P(SocksSocket, AuthenticationRefusedFiresItsEventsInOrder)
{
    socket_->SetSocksUsercode("joe");
    socket_->SetSocksPassword("wrong");
    loopback::Connection peer = ConnectThroughProxy("5", socksAuthenticateUsercode);
    peer.Read(3);
    ProxySends(peer, Bytes({5, 2}));
    peer.Read(11);
    ProxySends(peer, Bytes({1, 1}));
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "auth begun",
                                                 "socks-error 20015 socks authentication failed", "connected 20015",
                                                 "auth rejected", "closed 20015"}));
}

TEST_P(SocksSocket, TooMuchDataInTheAuthenticationReply)
{
    socket_->SetSocksUsercode("joe");
    loopback::Connection peer = ConnectThroughProxy("5", socksAuthenticateUsercode);
    peer.Read(3);
    ProxySends(peer, Bytes({5, 2}));
    peer.Read(6);
    ProxySends(peer, Bytes({1, 0, 0}));
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
    EXPECT_EQ(events_[2], "socks-error 20001 too much data availaible");
}

TEST_P(SocksSocket, MethodZeroAnsweredToAnAuthenticatedRequestSkipsAuthentication)
{
    socket_->SetSocksUsercode("joe");
    socket_->SetSocksPassword("secret");
    loopback::Connection peer = ConnectThroughProxy("5", socksAuthenticateUsercode);
    EXPECT_EQ(peer.Read(3), Bytes({5, 1, 2}));
    ProxySends(peer, Bytes({5, 0}));
    // No credentials: the connect request comes at once.
    EXPECT_EQ(peer.Read(19), Bytes({5, 1, 0, 3, 12}) + "dest.example" + Bytes({0, 21}));
    ProxySends(peer, kGranted5);
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "auth skipped", "connected 0"}));
}

TEST_P(SocksSocket, ProxyThatClosesWithoutAReplyFailsTheConnection)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    ProxySends(peer, Bytes({5, 0}));
    peer.Read(19);
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "socks-error 10054 connection closed by the socks server",
                                                 "connected 10054", "closed 10054"}));
}

TEST_P(SocksSocket, OwnerClosingDuringTheNegotiationIsNoProxyFailure)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    socket_->Close();
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "closed 0"}));
    EXPECT_TRUE(peer.SeesClose());
}

TEST_P(SocksSocket, UnreachableProxyReportsThePlatformError)
{
    socket_->SetAddr("dest.example");
    socket_->SetPort("21");
    socket_->SetSocksServer("127.0.0.1");
    socket_->SetSocksPort(Port(loopback::UnusedPort()));
    socket_->Connect();
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 10061", "connected 10061", "closed 0"}));
}

TEST_P(SocksSocket, ASecondConnectIsRefusedAndTheProxiedConnectionGoesOn)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    peer.Read(3);
    ProxySends(peer, Bytes({5, 0}));
    peer.Read(19);
    ProxySends(peer, kGranted5);
    ASSERT_TRUE(connected_);
    try {
        socket_->Connect();
        ADD_FAILURE() << "a second Connect was accepted";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: Socket already in use");
    }
    // What the destination sends next is its data, not a reply of a negotiation begun anew.
    ProxySends(peer, "220 ready\r\n");
    EXPECT_EQ(received_, "220 ready\r\n");
    EXPECT_EQ(events_, (std::vector<std::string>{"socks-connected 0", "connected 0"}));
    EXPECT_EQ(socket_->State(), wsConnected);
}

TEST_P(SocksSocket, AfterACloseTheNextConnectGoesDirect)
{
    {
        loopback::Connection peer = ConnectThroughProxy("5");
        socket_->Close();
    }
    loopback::Listener direct;
    socket_->SetAddr("127.0.0.1");
    socket_->SetPort(Port(direct.Port()));
    socket_->Connect();
    loopback::Connection peer = direct.Accept();
    ASSERT_TRUE(peer.Open());
    connected_ = false;
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return connected_; }));
    socket_->SendText("direct");
    EXPECT_EQ(peer.Read(6), "direct");
}

TEST_P(SocksSocket, SettingsAndRefusals)
{
    socket_->SetSocksLevel("4a");
    EXPECT_EQ(socket_->SocksLevel(), "4A");
    EXPECT_THROW(socket_->SetSocksLevel("6"), ESocketException);
    EXPECT_EQ(socket_->SocksLevel(), "4A");

    socket_->SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(socket_->SocksServer(), "127.0.0.1");
    socket_->SetSocksPort("1080");
    socket_->SetAddr("dest.example");
    socket_->SetPort("21");
    socket_->SetProto("udp");
    try {
        socket_->Connect();
        ADD_FAILURE() << "Connect with udp through a proxy did not fail";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
    }
    socket_->SetProto("tcp");
    try {
        socket_->Listen();
        ADD_FAILURE() << "Listen through a proxy did not fail";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Listening is not supported thru socks server");
    }
}

TEST_P(SocksSocket, SettingsCannotChangeWhileConnected)
{
    loopback::Connection peer = ConnectThroughProxy("5");
    EXPECT_THROW(socket_->SetSocksServer("x"), ESocketException);
    EXPECT_THROW(socket_->SetSocksPort("1"), ESocketException);
    EXPECT_THROW(socket_->SetSocksLevel("4"), ESocketException);
}

TEST_P(SocksSocket, FieldsLongerThan255BytesAreRefusedBeforeAnythingIsSent)
{
    std::string tooLong(256, 'x');
    struct Case {
        std::string Level, Addr, User, Password;
        TSocksAuthentication Auth;
    };
    for (const Case& c : {Case{"5", tooLong, "", "", socksNoAuthentication},
                          Case{"5", "dest", tooLong, "p", socksAuthenticateUsercode},
                          Case{"5", "dest", "u", tooLong, socksAuthenticateUsercode},
                          Case{"4A", tooLong, "", "", socksNoAuthentication},
                          Case{"4", "127.0.0.1", tooLong, "", socksNoAuthentication}}) {
        socket_->SetAddr(c.Addr);
        socket_->SetPort("21");
        socket_->SetSocksServer("127.0.0.1");
        socket_->SetSocksPort(Port(proxy_.Port()));
        socket_->SetSocksLevel(c.Level);
        socket_->SetSocksAuthentication(c.Auth);
        socket_->SetSocksUsercode(c.User);
        socket_->SetSocksPassword(c.Password);
        try {
            socket_->Connect();
            ADD_FAILURE() << "a " << c.Level << " request with a 256-byte field was accepted";
        } catch (const ESocketException& e) {
            EXPECT_NE(std::string(e.what()).find("255"), std::string::npos) << e.what();
        }
        // No socket was even opened, so nothing reached the proxy.
        EXPECT_EQ(socket_->State(), wsClosed);
        EXPECT_EQ(socket_->HSocket(), INVALID_SOCKET);
    }
    // 255 bytes fit.
    socket_->SetSocksUsercode("");
    loopback::Connection peer = ConnectThroughProxy("5", socksNoAuthentication, std::string(255, 'n'));
    peer.Read(3);
    ProxySends(peer, Bytes({5, 0}));
    std::string request = peer.Read(4 + 1 + 255 + 2);
    ASSERT_EQ(request.size(), 262u);
    EXPECT_EQ(static_cast<unsigned char>(request[4]), 255);
}

INSTANTIATE_TEST_SUITE_P(Backends, SocksSocket, testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
