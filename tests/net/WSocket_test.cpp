// The socket component on both loop backends, against plain loopback peers and against itself.
#include <arpa/inet.h>

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

#include "LoopBackends.h"
#include "LoopbackPeer.h"
#include "PatternBytes.h"
#include "net/WSocket.h"

namespace {

const char* StateName(TSocketState s)
{
    static const char* names[] = {"invalid", "opened",    "bound",     "connecting",
                                  "connected", "accepting", "listening", "closed"};
    return names[s];
}

class WSocketTest : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override { loop = MakeEventLoop(GetParam()); }
    void TearDown() override { sock.reset(); }

    // Records the socket's events as text, in the order they fire.
    void Record(TCustomWSocket& s, const std::string& who = "")
    {
        s.OnChangeState = [this, who](TCustomWSocket*, TSocketState o, TSocketState n) {
            log.push_back(who + "state " + StateName(o) + ">" + StateName(n));
        };
        s.OnSessionConnected = [this, who](TCustomWSocket*, std::uint16_t e) {
            log.push_back(who + "connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this, who](TCustomWSocket*, std::uint16_t e) {
            log.push_back(who + "closed " + std::to_string(e));
            ++closedCount;
        };
        s.OnBgException = [this](TObject*, const std::exception& e, bool&) {
            bgErrors.push_back(e.what());
        };
    }

    // A socket connected to a plain loopback peer, with its events recorded.
    void ConnectToPeer()
    {
        sock = std::make_unique<TWSocket>(*loop);
        Record(*sock);
        sock->SetAddr("127.0.0.1");
        sock->SetPort(std::to_string(listener.Port()));
        sock->Connect();
        peer = listener.Accept();
        ASSERT_TRUE(peer.Open());
        ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsConnected; }));
        log.clear();
    }

    // Whatever the socket's data handler has received.
    void CollectData(int blockSize = 65536)
    {
        sock->OnDataAvailable = [this, blockSize](TCustomWSocket* s, std::uint16_t) {
            std::vector<char> buf(static_cast<size_t>(blockSize));
            int n = s->Receive(buf.data(), blockSize);
            if (n > 0)
                received.append(buf.data(), static_cast<size_t>(n));
        };
    }

    std::unique_ptr<platform::EventLoop> loop;
    loopback::Listener listener;
    loopback::Connection peer;
    std::unique_ptr<TWSocket> sock;
    std::vector<std::string> log;
    std::vector<std::string> bgErrors;
    std::string received;
    int closedCount = 0;
};

using Log = std::vector<std::string>;

// --- Connect ----------------------------------------------------------------------------------

TEST_P(WSocketTest, RefusedConnectReportsConnectedWithTheErrorThenClosed)
{
    sock = std::make_unique<TWSocket>(*loop);
    Record(*sock);
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(loopback::UnusedPort()));
    sock->Connect();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount > 0; }));
    PumpPending(*loop);
    EXPECT_EQ(log, (Log{"state closed>opened", "state opened>connecting", "state connecting>connected",
                        "connected 10061", "state connected>closed", "closed 0"}));
    EXPECT_EQ(sock->State(), wsClosed);
}

TEST_P(WSocketTest, ConnectTwiceFailsWithoutDisturbingTheFirstConnection)
{
    ConnectToPeer();
    try {
        sock->Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: Socket already in use");
    }
    int errors = 0;
    sock->OnError = [&](TObject* sender) {
        EXPECT_EQ(sender, sock.get());
        ++errors;
    };
    sock->Connect();
    EXPECT_EQ(errors, 1) << "with OnError assigned the failure goes there instead";
    sock->SendText("still here");
    EXPECT_EQ(peer.Read(10), "still here");
}

TEST_P(WSocketTest, AddrAndPortMustBeSetAgainAfterAClose)
{
    ConnectToPeer();
    sock->Close();
    EXPECT_EQ(sock->Addr(), "127.0.0.1") << "the texts stay";
    EXPECT_EQ(sock->Port(), std::to_string(listener.Port()));
    try {
        sock->Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No Port Specified");
    }
    sock->SetPort(sock->Port());
    try {
        sock->Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No IP Address Specified");
    }
    sock->SetAddr(sock->Addr());
    sock->Connect();
    loopback::Connection second = listener.Accept();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsConnected; }));
}

TEST_P(WSocketTest, PropertiesThatNeedAClosedSocketRefuseChangesWhileOpen)
{
    ConnectToPeer();
    auto errorOf = [](auto f) {
        try {
            f();
        } catch (const ESocketException& e) {
            return std::string(e.what());
        }
        return std::string("(no exception)");
    };
    EXPECT_EQ(errorOf([&] { sock->SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(errorOf([&] { sock->SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(errorOf([&] { sock->SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(errorOf([&] { sock->SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(errorOf([&] { sock->SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
    sock->SetAddr("127.0.0.1");  // the same value while assigned is no change
    sock->Close();
    EXPECT_EQ(errorOf([&] { sock->SetLocalAddr("255.255.255.255"); }), "SetLocalAddr(): Invalid IP address");
    sock->SetLocalAddr("");
    EXPECT_EQ(sock->LocalAddr(), "0.0.0.0");
}

TEST_P(WSocketTest, BindsTheLocalPortWhenOneIsGiven)
{
    sock = std::make_unique<TWSocket>(*loop);
    std::uint16_t local = loopback::UnusedPort();
    sock->SetLocalAddr("127.0.0.1");
    sock->SetLocalPort(std::to_string(local));
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(listener.Port()));
    sock->Connect();
    loopback::Connection p = listener.Accept();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsConnected; }));
    EXPECT_EQ(sock->GetLocalPortText(), std::to_string(local));
    sockaddr_in a{};
    int len = 0;
    ASSERT_EQ(sock->GetLocalSocketAddress(a, len), 0);
    EXPECT_EQ(ntohs(a.sin_port), local);
    EXPECT_EQ(sock->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(sock->PeerPort(), std::to_string(listener.Port()));
}

// --- Receive ----------------------------------------------------------------------------------

TEST_P(WSocketTest, DataBothWaysThenThePeerCloses)
{
    ConnectToPeer();
    CollectData();
    peer.SendAll("hello");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "hello"; }));
    EXPECT_EQ(sock->ReadCount(), 5);
    EXPECT_EQ(sock->SendText("ping\r\n"), 6);
    EXPECT_EQ(peer.Read(6), "ping\r\n");
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount > 0; }));
    PumpPending(*loop);
    // The peer's close is reported first, then the socket closes its end.
    EXPECT_EQ(log, (Log{"closed 0", "state connected>closed"}));
    EXPECT_EQ(sock->ReadCount(), 0) << "reset by the close";
}

TEST_P(WSocketTest, LargeStreamArrivesWholeThroughBigReads)
{
    ConnectToPeer();
    CollectData();
    const std::string data = PatternBytes(8 << 20);
    std::thread sender([&] {
        peer.SendAll(data);
        peer.Close();
    });
    bool closed = PumpUntil(*loop, [&] { return closedCount > 0; }, std::chrono::seconds(60));
    sender.join();
    ASSERT_TRUE(closed);
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST_P(WSocketTest, HandlerThatLeavesDataWaitingIsNotCalledAgainUntilItReads)
{
    ConnectToPeer();
    int calls = 0;
    bool readNow = false;
    sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        ++calls;
        char buf[100];
        int n = readNow ? s->Receive(buf, sizeof buf) : 0;
        if (n > 0)
            received.append(buf, static_cast<size_t>(n));
    };
    peer.SendAll("abc");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return calls > 0; }));
    PumpPending(*loop, 200);
    EXPECT_EQ(calls, 1) << "unread data must not call the handler in a loop";
    EXPECT_EQ(sock->RcvdCount(), 3) << "nothing was lost";

    // Any read re-arms the notification, so what still waits, and what comes next, arrives.
    char c;
    ASSERT_EQ(sock->Receive(&c, 1), 1);
    readNow = true;
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "bc"; }));
    peer.SendAll("def");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "bcdef"; }));
}

TEST_P(WSocketTest, WithoutADataHandlerIncomingDataIsDiscarded)
{
    ConnectToPeer();
    peer.SendAll(std::string(5000, 'z'));
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount > 0; }));
    EXPECT_EQ(log, (Log{"closed 0", "state connected>closed"}));
}

TEST_P(WSocketTest, PausedSocketHearsNothingUntilResumed)
{
    ConnectToPeer();
    CollectData();
    sock->PauseNotifications();
    peer.SendAll("late");
    PumpPending(*loop);
    ASSERT_TRUE(peer.Open());
    EXPECT_TRUE(received.empty());
    sock->ResumeNotifications();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "late"; }));
}

TEST_P(WSocketTest, ExceptionFromTheDataHandlerEndsOnlyThatPass)
{
    ConnectToPeer();
    int calls = 0;
    sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        ++calls;
        char buf[1];
        s->Receive(buf, 1);
        throw std::runtime_error("handler failed");
    };
    peer.SendAll("xy");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return calls == 2; })) << "the next byte still comes";
    EXPECT_TRUE(bgErrors.empty());
    EXPECT_EQ(sock->State(), wsConnected);
}

TEST_P(WSocketTest, ReceiveTextTakesWhatIsWaiting)
{
    ConnectToPeer();
    sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { received += s->ReceiveText(); };
    peer.SendAll("some text");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "some text"; }));
}

TEST_P(WSocketTest, AnOwnerThatReadsOnlyWhatIsAnnouncedStillHearsTheClose)
{
    ConnectToPeer();
    sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { received += s->ReceiveText(); };
    peer.SendAll("last words");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "last words"; }));
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount == 1; }));
    EXPECT_EQ(sock->State(), wsClosed);
    EXPECT_EQ(received, "last words");
}

TEST_P(WSocketTest, DrainUntilClosedDeliversTheRestAndEndsWithTheSession)
{
    ConnectToPeer();
    CollectData();
    peer.SendAll("the tail");
    peer.Close();
    sock->DrainUntilClosed();
    EXPECT_EQ(received, "the tail");
    EXPECT_EQ(sock->State(), wsClosed);
    EXPECT_EQ(closedCount, 1);
}

// --- Closing ----------------------------------------------------------------------------------

TEST_P(WSocketTest, PeerCloseAndLocalCloseTogetherReportOneSessionClosed)
{
    ConnectToPeer();
    sock->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[64];
        if (s->Receive(buf, sizeof buf) == 0)
            s->Close();  // the peer's end of stream, closed here while its close is on its way
    };
    peer.SendAll("bye");
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount > 0; }));
    PumpPending(*loop);
    EXPECT_EQ(closedCount, 1);
}

TEST_P(WSocketTest, ASessionOpenedFromOnSessionClosedReportsItsOwnClose)
{
    ConnectToPeer();
    sock->OnSessionClosed = [&](TCustomWSocket* s, std::uint16_t e) {
        log.push_back("closed " + std::to_string(e));
        if (++closedCount == 1)
            s->Connect();  // Addr and Port still hold, as they do until the close returns
    };
    sock->Close();
    loopback::Connection second = listener.Accept();
    ASSERT_TRUE(second.Open());
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsConnected; }));
    sock->Close();
    EXPECT_EQ(closedCount, 2);
    EXPECT_EQ(log, (Log{"state connected>closed", "closed 0", "state closed>opened", "state opened>connecting",
                        "state connecting>connected", "connected 0", "state connected>closed", "closed 0"}));
}

TEST_P(WSocketTest, ReconnectingFromOnSessionClosedAfterThePeerClosedKeepsTheNewSession)
{
    ConnectToPeer();
    sock->OnSessionClosed = [&](TCustomWSocket* s, std::uint16_t e) {
        log.push_back("closed " + std::to_string(e));
        if (++closedCount == 1)
            s->Connect();
    };
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount == 1; }));
    loopback::Connection second = listener.Accept();
    ASSERT_TRUE(second.Open());
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsConnected; }));
    PumpPending(*loop);
    EXPECT_EQ(sock->State(), wsConnected);
    EXPECT_EQ(closedCount, 1);
    sock->SendText("on the new session");
    EXPECT_EQ(second.Read(18), "on the new session");
    second.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return closedCount == 2; }));
    EXPECT_EQ(sock->State(), wsClosed);
}

TEST_P(WSocketTest, CloseLaterClosesFromTheLoop)
{
    ConnectToPeer();
    sock->CloseLater();
    EXPECT_EQ(sock->State(), wsConnected);
    peer.Close();  // the peer's close meets the posted one
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsClosed; }));
    PumpPending(*loop);
    EXPECT_EQ(closedCount, 1);
}

TEST_P(WSocketTest, ReleaseLaterDestroysTheComponentFromTheLoop)
{
    struct Watched : TWSocket {
        bool* gone;
        Watched(platform::EventLoop& l, bool* g) : TWSocket(l), gone(g) {}
        ~Watched() override { *gone = true; }
    };
    bool gone = false;
    auto* s = new Watched(*loop, &gone);
    s->ReleaseLater();
    EXPECT_FALSE(gone);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return gone; }));
}

TEST_P(WSocketTest, AbortClosesAtOnceAndThePeerSeesIt)
{
    ConnectToPeer();
    sock->Abort();
    EXPECT_EQ(log, (Log{"state connected>closed", "closed 0"}));
    EXPECT_TRUE(peer.SeesClose());
}

TEST_P(WSocketTest, DestroyingAnOpenSocketFiresNothing)
{
    ConnectToPeer();
    int lookups = 0;
    sock->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { ++lookups; };
    sock->StartDnsLookup("localhost");
    sock.reset();
    PumpPending(*loop);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(lookups, 0);
    EXPECT_TRUE(peer.SeesClose());
}

TEST_P(WSocketTest, ShutdownEndsTheSendingSideOnly)
{
    ConnectToPeer();
    CollectData();
    sock->Shutdown(1);
    EXPECT_TRUE(peer.SeesClose(5000));
    peer.SendAll("after");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return received == "after"; }));
}

// --- Listen, accept, Dup ----------------------------------------------------------------------

TEST_P(WSocketTest, ListenAcceptAndDupCarryDataBothWays)
{
    TWSocket server(*loop);
    TWSocket served(*loop);
    TWSocket client(*loop);
    Record(server, "server ");
    server.SetProto("tcp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    ASSERT_EQ(server.State(), wsListening);
    std::string port = server.GetLocalPortText();
    ASSERT_NE(port, "error");

    server.OnSessionAvailable = [&](TCustomWSocket* s, std::uint16_t error) {
        EXPECT_EQ(error, 0);
        TSocket h = s->Accept();
        ASSERT_NE(h, INVALID_SOCKET);
        s->Close();
        served.Dup(h);
    };
    std::string atServed;
    std::string atClient;
    served.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[100];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            atServed.append(buf, static_cast<size_t>(n));
    };
    client.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[100];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            atClient.append(buf, static_cast<size_t>(n));
    };
    client.SetAddr("127.0.0.1");
    client.SetPort(port);
    client.Connect();
    ASSERT_TRUE(PumpUntil(*loop, [&] {
        return served.State() == wsConnected && client.State() == wsConnected;
    }));
    EXPECT_EQ(log, (Log{"server state closed>bound", "server state bound>listening",
                        "server state listening>closed", "server closed 0"}));
    EXPECT_EQ(served.PeerAddr(), "127.0.0.1");
    client.SendText("from client");
    served.SendText("from server");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return atServed == "from client" && atClient == "from server"; }));

    int clientClosed = 0;
    client.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        ++clientClosed;
    };
    served.SetLingerOnOff(wsLingerOff);
    served.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return clientClosed == 1; }));
}

TEST_P(WSocketTest, PausedListenerAnnouncesAWaitingConnectionWhenResumed)
{
    TWSocket server(*loop);
    int available = 0;
    server.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) { ++available; };
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    server.PauseNotifications();
    loopback::Connection client =
        loopback::Connection::To(static_cast<std::uint16_t>(std::stoi(server.GetLocalPortText())));
    PumpPending(*loop);
    EXPECT_EQ(available, 0);
    server.ResumeNotifications();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return available == 1; }));
}

TEST_P(WSocketTest, AcceptOutsideListeningAndDupOfNoSocketAreReported)
{
    sock = std::make_unique<TWSocket>(*loop);
    try {
        sock->Accept();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10022 in function not a listening socket\r\nInvalid argument");
    }
    int errors = 0;
    sock->OnError = [&](TObject*) { ++errors; };
    sock->Dup(INVALID_SOCKET);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(sock->LastError(), 10022);
    EXPECT_EQ(sock->State(), wsClosed);
}

TEST_P(WSocketTest, ListenOnAPortInUseIsReportedAndLeavesTheSocketClosed)
{
    sock = std::make_unique<TWSocket>(*loop);
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(listener.Port()));
    try {
        sock->Listen();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10048 in function Bind\r\nAddress already in use");
    }
    EXPECT_EQ(sock->State(), wsClosed);
    EXPECT_EQ(sock->HSocket(), INVALID_SOCKET) << "no descriptor left behind";

    int errors = 0;
    sock->OnError = [&](TObject*) { ++errors; };
    sock->Listen();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(sock->HSocket(), INVALID_SOCKET);
}

// --- Send -------------------------------------------------------------------------------------

TEST_P(WSocketTest, SendOf4000BytesGoesOutInThreeBlocks)
{
    ConnectToPeer();
    std::vector<int> pieces;
    sock->OnSendData = [&](TCustomWSocket*, int n) { pieces.push_back(n); };
    const std::string data = PatternBytes(4000);
    EXPECT_EQ(sock->Send(data.data(), 4000), 4000);
    EXPECT_EQ(pieces, (std::vector<int>{1514, 1514, 972}));
    EXPECT_EQ(sock->SendQueueBlocks(), 1) << "one empty block stays for reuse";
    EXPECT_EQ(sock->BufferedByteCount(), 0);
    EXPECT_EQ(peer.Read(4000), data);
}

TEST_P(WSocketTest, DataSentFollowsTheConnectAndEverySendThatEmptiesTheQueue)
{
    sock = std::make_unique<TWSocket>(*loop);
    int sent = 0;
    sock->OnDataSent = [&](TCustomWSocket*, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        ++sent;
    };
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(listener.Port()));
    sock->Connect();
    peer = listener.Accept();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sent == 1; })) << "first write after connect";

    sock->Send(nullptr, 0);
    PumpPending(*loop);
    EXPECT_EQ(sent, 1) << "nothing ever queued: no notification";

    sock->SendText("abc");
    EXPECT_EQ(sent, 1) << "never inside Send";
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sent == 2; }));
    sock->Send(nullptr, 0);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sent == 3; })) << "empty block in the queue";
    PumpPending(*loop);
    EXPECT_EQ(sent, 3);
}

TEST_P(WSocketTest, UrgentSendFlagsSendOutOfBandData)
{
    ConnectToPeer();
    EXPECT_EQ(sock->SendFlags(), wsSendNormal);
    sock->SetSendFlags(wsSendUrgent);
    EXPECT_EQ(sock->SendFlags(), wsSendUrgent);
    sock->SendText("ab");
    // TCP marks the last byte of an out-of-band send as urgent.
    ASSERT_TRUE(loopback::WaitFor(peer.Fd(), POLLPRI, 10000));
    char urgent = 0;
    ASSERT_EQ(::recv(peer.Fd(), &urgent, 1, MSG_OOB), 1);
    EXPECT_EQ(urgent, 'b');
}

TEST_P(WSocketTest, SendBeforeTheConnectionIsUpFailsWith10057)
{
    sock = std::make_unique<TWSocket>(*loop);
    Record(*sock);
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(listener.Port()));
    sock->Connect();
    ASSERT_EQ(sock->State(), wsConnecting);
    try {
        sock->SendText("too early");
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
    }
    EXPECT_EQ(sock->LastError(), 10057);
    // The report drops the connection; the owner hears of that state change like any other.
    EXPECT_EQ(sock->State(), wsClosed);
    EXPECT_EQ(log, (Log{"state closed>opened", "state opened>connecting", "state connecting>closed"}));
}

TEST_P(WSocketTest, SendFromDataSentStreamsAFileInBlocks)
{
    ConnectToPeer();
    const std::string data = PatternBytes(3 << 20);
    size_t offset = 0;
    auto sendNext = [&](TCustomWSocket* s, std::uint16_t) {
        if (offset >= data.size()) {
            s->Shutdown(1);
            return;
        }
        size_t n = std::min<size_t>(1514, data.size() - offset);
        s->Send(data.data() + offset, static_cast<int>(n));
        offset += n;
    };
    sock->OnDataSent = sendNext;
    sendNext(sock.get(), 0);  // the first block goes out directly, the rest from OnDataSent
    std::string got;
    std::thread reader([&] { got = peer.Read(data.size(), 30000); });
    bool done = PumpUntil(*loop, [&] { return offset >= data.size() && sock->BufferedByteCount() == 0; },
                          std::chrono::seconds(60));
    reader.join();
    ASSERT_TRUE(done);
    EXPECT_TRUE(got == data);
}

TEST_P(WSocketTest, FlushSendQueueWaitsUntilThePeerHasTakenEverything)
{
    ConnectToPeer();
    const std::string data = PatternBytes(16 << 20);
    sock->Send(data.data(), static_cast<int>(data.size()));
    EXPECT_GT(sock->BufferedByteCount(), 0) << "more than the platform takes at once";
    std::string got;
    std::thread reader([&] { got = peer.Read(data.size(), 30000); });
    sock->FlushSendQueue();
    EXPECT_EQ(sock->BufferedByteCount(), 0);
    reader.join();
    EXPECT_TRUE(got == data);
}

TEST_P(WSocketTest, FlushSendQueueGivesUpAfterFlushTimeoutWhenThePeerStopsReading)
{
    ConnectToPeer();
    const std::string data = PatternBytes(32 << 20);
    sock->Send(data.data(), static_cast<int>(data.size()));
    sock->SetFlushTimeout(1);
    sock->FlushSendQueue();
    EXPECT_GT(sock->BufferedByteCount(), 0);
    EXPECT_EQ(sock->State(), wsConnected);
}

TEST_P(WSocketTest, FlushSendQueueEndsWhenTheLoopQuits)
{
    ConnectToPeer();
    const std::string data = PatternBytes(32 << 20);
    sock->Send(data.data(), static_cast<int>(data.size()));
    sock->SetFlushTimeout(0);  // no limit: only the quit flag ends it
    std::thread quitter([&] { loop->Quit(); });
    sock->FlushSendQueue();
    quitter.join();
    EXPECT_TRUE(sock->Terminated());
}

TEST_P(WSocketTest, PeerResetDuringALargeSendClosesOnceWith10054AndNoError)
{
    ConnectToPeer();
    int errors = 0;
    sock->OnError = [&](TObject*) { ++errors; };
    std::vector<int> closedWith;
    sock->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closedWith.push_back(e); };
    const std::string data = PatternBytes(32 << 20);
    sock->Send(data.data(), static_cast<int>(data.size()));
    ASSERT_GT(sock->BufferedByteCount(), 0);
    EXPECT_FALSE(peer.Read(100000).empty());
    peer.Reset();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !closedWith.empty(); }));
    PumpPending(*loop);
    EXPECT_EQ(closedWith, (std::vector<int>{10054}));
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(bgErrors.empty());
    EXPECT_EQ(sock->State(), wsClosed);
}

TEST_P(WSocketTest, ExceptionFromAnEventHandlerAbortsTheSocketUnlessTheOwnerKeepsIt)
{
    ConnectToPeer();
    sock->OnDataSent = [](TCustomWSocket*, std::uint16_t) { throw ESocketException("boom"); };
    sock->SendText("x");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !bgErrors.empty(); }));
    EXPECT_EQ(bgErrors, (std::vector<std::string>{"boom"}));
    EXPECT_EQ(sock->State(), wsClosed) << "CanClose left true: the socket is aborted";

    ConnectToPeer();
    bgErrors.clear();
    sock->OnBgException = [&](TObject*, const std::exception& e, bool& canClose) {
        bgErrors.push_back(e.what());
        canClose = false;
    };
    sock->OnDataSent = [](TCustomWSocket*, std::uint16_t) { throw ESocketException("again"); };
    sock->SendText("y");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !bgErrors.empty(); }));
    EXPECT_EQ(sock->State(), wsConnected);
}

// --- Name lookup ------------------------------------------------------------------------------

TEST_P(WSocketTest, DottedAddressLookupEndsInsideTheCall)
{
    sock = std::make_unique<TWSocket>(*loop);
    std::vector<int> done;
    sock->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    sock->StartDnsLookup("10.0.0.1");
    EXPECT_EQ(done, (std::vector<int>{0}));
    EXPECT_EQ(sock->DnsResult(), "10.0.0.1");
    EXPECT_TRUE(sock->DnsResultList().empty());
}

TEST_P(WSocketTest, HostsFileNamesLookUpBothWays)
{
    sock = std::make_unique<TWSocket>(*loop);
    std::vector<int> done;
    sock->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    sock->StartDnsLookup("localhost");
    EXPECT_TRUE(done.empty()) << "a name is looked up in the background";
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !done.empty(); }));
    EXPECT_EQ(done, (std::vector<int>{0}));
    EXPECT_EQ(sock->DnsResult(), "127.0.0.1");
    ASSERT_FALSE(sock->DnsResultList().empty());
    EXPECT_EQ(sock->DnsResultList().front(), sock->DnsResult());

    sock->StartReverseLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return done.size() == 2; }));
    EXPECT_EQ(done[1], 0);
    EXPECT_EQ(sock->DnsResult(), "localhost");
    EXPECT_EQ(sock->DnsResultList(), (std::vector<std::string>{"localhost"}));
}

TEST_P(WSocketTest, CancelledLookupReports10004AndItsResultIsDropped)
{
    sock = std::make_unique<TWSocket>(*loop);
    std::vector<int> done;
    sock->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    sock->StartDnsLookup("localhost");
    sock->StartDnsLookup("localhost");  // replaces the first without an event
    EXPECT_TRUE(done.empty());
    sock->CancelLookup();
    EXPECT_EQ(done, (std::vector<int>{10004}));
    sock->CancelLookup();  // nothing running: nothing happens
    for (int i = 0; i < 10; ++i)
        loop->WaitAndDispatch(platform::EventLoop::Clock::now() + std::chrono::milliseconds(10));
    EXPECT_EQ(done, (std::vector<int>{10004}));
    EXPECT_TRUE(sock->DnsResult().empty());
}

TEST_P(WSocketTest, FailedLookupReportsTheErrorAndLeavesNoResult)
{
    sock = std::make_unique<TWSocket>(*loop);
    std::vector<int> done;
    sock->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    sock->StartDnsLookup("bad..name");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !done.empty(); }));
    EXPECT_EQ(done, (std::vector<int>{11001}));
    EXPECT_TRUE(sock->DnsResult().empty());
    EXPECT_TRUE(sock->DnsResultList().empty());
}

TEST_P(WSocketTest, EmptyHostNameRaisesOrGoesToOnError)
{
    sock = std::make_unique<TWSocket>(*loop);
    std::vector<int> done;
    sock->OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    try {
        sock->StartDnsLookup("");
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
    }
    EXPECT_TRUE(done.empty());
    int errors = 0;
    sock->OnError = [&](TObject*) { ++errors; };
    sock->StartDnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(done, (std::vector<int>{10022}));
}

TEST_P(WSocketTest, ConnectByHostsFileName)
{
    sock = std::make_unique<TWSocket>(*loop);
    sock->SetAddr("localhost");
    sock->SetPort(std::to_string(listener.Port()));
    sock->Connect();
    peer = listener.Accept();
    ASSERT_TRUE(peer.Open());
    ASSERT_TRUE(PumpUntil(*loop, [&] { return sock->State() == wsConnected; }));
}

TEST_P(WSocketTest, ConnectToANameTheResolverRejectsFailsInTheCall)
{
    sock = std::make_unique<TWSocket>(*loop);
    sock->SetAddr("bad..name");
    sock->SetPort("21");
    try {
        sock->Connect();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(),
                     "connect: WSocketResolveHost: Cannot convert host address 'bad..name', Error #11001");
    }
    EXPECT_EQ(sock->State(), wsClosed);
}

// --- Datagrams --------------------------------------------------------------------------------

TEST_P(WSocketTest, DatagramsBetweenAListenerAndAConnectedSocket)
{
    TWSocket server(*loop);
    TWSocket client(*loop);
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    ASSERT_EQ(server.State(), wsConnected);
    std::string got;
    server.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char buf[100];
        sockaddr_in from{};
        int len = 0;
        int n = s->ReceiveFrom(buf, sizeof buf, from, len);
        if (n > 0)
            got.assign(buf, static_cast<size_t>(n));
    };
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetLocalPortText());
    client.Connect();
    ASSERT_EQ(client.State(), wsConnected) << "a datagram socket is connected at once";
    client.SendText("datagram");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return got == "datagram"; }));
}

INSTANTIATE_TEST_SUITE_P(Backends, WSocketTest, testing::Values(LoopBackend::Poll, LoopBackend::Qt),
                         LoopBackendName);

}  // namespace
