// The socket's TLS layer against a real TLS peer on loopback (Python's ssl server with a test
// authority made by the test): the handshake, bytes both ways, the certificate checks, session
// resumption and both ways of ending TLS. Runs on both loop backends.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LoopBackends.h"
#include "PatternBytes.h"
#include "TlsServer.h"
#include "net/WSocket.h"

namespace {

class TlsSocket : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override { loop_ = MakeEventLoop(GetParam()); }

    struct Client {
        std::unique_ptr<TWSocket> Socket;
        std::vector<std::string> Events;
        std::string Received;
        bool Done = false;
        bool Closed = false;
    };

    // A socket that starts TLS as soon as it is connected to the server, recording its events.
    std::unique_ptr<Client> Connect(const std::string& hostName, const std::string& caFile,
                                    TTlsSession resume = nullptr, std::uint16_t port = 0)
    {
        auto client = std::make_unique<Client>();
        Client* c = client.get();
        c->Socket = std::make_unique<TWSocket>(*loop_);
        TWSocket& s = *c->Socket;
        s.SetTlsHostName(hostName);
        s.SetTlsCaFile(caFile);
        s.SetTlsResumeSession(std::move(resume));
        s.OnSessionConnected = [c](TCustomWSocket* sender, std::uint16_t e) {
            c->Events.push_back("connected " + std::to_string(e));
            if (e != 0)
                return;
            auto* socket = static_cast<TWSocket*>(sender);
            socket->StartTls();
            // Sent before the handshake is done: held, then encrypted like the rest.
            socket->SendText("early\n");
        };
        s.OnTlsDone = [c](TCustomWSocket*, std::uint16_t e) {
            c->Events.push_back("tls-done " + std::to_string(e));
            c->Done = true;
        };
        s.OnTlsError = [c](TCustomWSocket*, int e, const std::string&) {
            c->Events.push_back("tls-error " + std::to_string(e));
        };
        s.OnSessionClosed = [c](TCustomWSocket*, std::uint16_t e) {
            c->Events.push_back("closed " + std::to_string(e));
            c->Closed = true;
        };
        s.OnDataAvailable = [c](TCustomWSocket* sender, std::uint16_t) {
            char buffer[8192];
            int n = sender->Receive(buffer, sizeof buffer);
            if (n > 0)
                c->Received.append(buffer, static_cast<std::size_t>(n));
        };
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(port != 0 ? port : server_.Port()));
        s.Connect();
        return client;
    }

    bool ReceivedAtLeast(Client& c, std::size_t count)
    {
        return PumpUntil(*loop_, [&] { return c.Received.size() >= count || c.Closed; });
    }

    std::unique_ptr<platform::EventLoop> loop_;
    TlsTestServer server_;
};

using Events = std::vector<std::string>;

TEST_P(TlsSocket, HandshakeThenBytesBothWaysThenCloseNotify)
{
    // No host name set: Addr, an address, is checked against the certificate's addresses.
    auto c = Connect("", TlsTestServer::CaFile());
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return c->Done; }));
    EXPECT_EQ(c->Events, (Events{"connected 0", "tls-done 0"}));
    EXPECT_TRUE(c->Socket->TlsEstablished());
    EXPECT_FALSE(c->Socket->TlsVersion().empty());
    EXPECT_FALSE(c->Socket->TlsCipher().empty());
    EXPECT_EQ(server_.NextEvent().rfind("handshake reused=0", 0), 0u);

    // Many records each way, more than one read of the socket takes.
    const std::string data = PatternBytes(3 << 20);
    c->Socket->Send(data.data(), static_cast<int>(data.size()));
    const std::string expected = "ready\r\nearly\n" + data;
    ASSERT_TRUE(ReceivedAtLeast(*c, expected.size())) << c->Received.size();
    EXPECT_TRUE(c->Received == expected);

    c->Socket->Close();
    EXPECT_EQ(c->Events.back(), "closed 0");
    EXPECT_EQ(server_.NextEvent(), "closed clean");
}

TEST_P(TlsSocket, ACertificateForAnotherNameIsRefused)
{
    auto c = Connect("wrong.example", TlsTestServer::CaFile());
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return c->Closed; }));
    EXPECT_EQ(c->Events, (Events{"connected 0", "tls-error 20103", "tls-done 20103", "closed 20103"}));
    EXPECT_TRUE(c->Received.empty()) << "nothing is read from a server that failed the checks";
    EXPECT_EQ(server_.NextEvent().rfind("handshake failed", 0), 0u);
}

TEST_P(TlsSocket, AnAuthorityOutsideTheTrustStoreIsRefused)
{
    auto c = Connect("localhost", "");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return c->Closed; }));
    EXPECT_EQ(c->Events, (Events{"connected 0", "tls-error 20102", "tls-done 20102", "closed 20102"}));
    EXPECT_EQ(TlsErrorUserText(20102), "O certificado do servidor não é de uma autoridade confiável.");
}

TEST_P(TlsSocket, AnUnreadableCaFileFailsTheHandshakeThroughItsEvents)
{
    auto c = Connect("localhost", "/nonexistent/ca.pem");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return c->Closed; }));
    EXPECT_EQ(c->Events, (Events{"connected 0", "tls-error 20107", "tls-done 20107", "closed 20107"}));
}

TEST_P(TlsSocket, AnExpiredCertificateIsRefused)
{
    TlsTestServer expired(true);
    auto c = Connect("localhost", TlsTestServer::CaFile(), nullptr, expired.Port());
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return c->Closed; }));
    EXPECT_EQ(c->Events, (Events{"connected 0", "tls-error 20104", "tls-done 20104", "closed 20104"}));
}

TEST_P(TlsSocket, ASecondConnectionResumesTheSessionOfTheFirst)
{
    auto first = Connect("localhost", TlsTestServer::CaFile());
    // With TLS 1.3 the session comes after the handshake, before the server's first bytes.
    ASSERT_TRUE(ReceivedAtLeast(*first, 7));
    ASSERT_TRUE(first->Socket->TlsSession());
    EXPECT_FALSE(first->Socket->TlsSessionReused());
    EXPECT_EQ(server_.NextEvent().rfind("handshake reused=0", 0), 0u);

    auto second = Connect("localhost", TlsTestServer::CaFile(), first->Socket->TlsSession());
    ASSERT_TRUE(ReceivedAtLeast(*second, 13));
    EXPECT_EQ(second->Received, "ready\r\nearly\n");
    EXPECT_TRUE(second->Socket->TlsSessionReused());
    EXPECT_EQ(server_.NextEvent().rfind("handshake reused=1", 0), 0u);
}

TEST_P(TlsSocket, APeerThatEndsTheConnectionWithoutCloseNotifyMayHaveCutTheData)
{
    // The server ends TLS first, then the connection: a complete stream.
    auto clean = Connect("localhost", TlsTestServer::CaFile());
    ASSERT_TRUE(ReceivedAtLeast(*clean, 13));
    clean->Socket->SendText("bye\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return clean->Closed; }));
    EXPECT_EQ(clean->Events.back(), "closed 0");

    // The connection ends under TLS: the owner is told that the data may be cut.
    auto cut = Connect("localhost", TlsTestServer::CaFile());
    ASSERT_TRUE(ReceivedAtLeast(*cut, 13));
    cut->Socket->SendText("drop\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return cut->Closed; }));
    EXPECT_EQ(cut->Events, (Events{"connected 0", "tls-done 0", "tls-error 20106", "closed 20106"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, TlsSocket, testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
