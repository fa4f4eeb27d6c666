// Socket notifications on both backends: level-triggered readiness shaped into the one-shot
// connect, read, write, accept and close notifications the socket component is written for.
#include <sys/socket.h>

#include <vector>

#include "LoopBackends.h"
#include "LoopbackPeer.h"
#include "platform/AsyncSelect.h"
#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

using namespace platform;
namespace sk = platform::sockets;

namespace {

struct Note {
    unsigned Events;
    unsigned Error;
    bool operator==(const Note&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Note& n)
{
    return os << "{events 0x" << std::hex << n.Events << std::dec << ", error " << n.Error << "}";
}

constexpr unsigned kAll = kFdRead | kFdWrite | kFdAccept | kFdConnect | kFdClose;

class AsyncSelectTest : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override
    {
        loop = MakeEventLoop(GetParam());
        target = std::make_unique<NotificationObject>(
            *loop, [this](unsigned message, std::uintptr_t w, std::intptr_t l) {
                EXPECT_EQ(message, 0x401U);
                EXPECT_EQ(static_cast<int>(w), fd);
                notes.push_back({SelectEvents(l), SelectError(l)});
            });
    }
    void TearDown() override
    {
        select.reset();
        if (fd >= 0)
            sk::Close(fd);
        target.reset();
        loop.reset();
    }

    // Starts a non-blocking connect to the port with a registration for every event.
    void ConnectTo(std::uint16_t port)
    {
        fd = sk::Socket(1, 0);
        ASSERT_GE(fd, 0);
        select = std::make_unique<AsyncSelect>(*target, fd, 0x401, kAll);
        int rc = sk::Connect(fd, loopback::Address(port));
        ASSERT_TRUE(rc == 0 || sk::LastError() == WSAEWOULDBLOCK);
        select->ConnectStarted();
    }

    // A connected socket whose first write notification has been taken.
    loopback::Connection Connected(loopback::Listener& listener)
    {
        ConnectTo(listener.Port());
        loopback::Connection peer = listener.Accept();
        EXPECT_TRUE(PumpUntil(*loop, [&] { return notes.size() >= 2; }));
        EXPECT_EQ(notes, (std::vector<Note>{{kFdConnect, 0}, {kFdWrite, 0}}));
        notes.clear();
        return peer;
    }

    std::unique_ptr<EventLoop> loop;
    std::unique_ptr<NotificationObject> target;
    std::unique_ptr<AsyncSelect> select;
    std::vector<Note> notes;
    int fd = -1;
};

TEST_P(AsyncSelectTest, RefusedConnectIsReportedOnceWithItsError)
{
    ConnectTo(loopback::UnusedPort());
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); }));
    PumpPending(*loop);
    EXPECT_EQ(notes, (std::vector<Note>{{kFdConnect, WSAECONNREFUSED}}));
}

TEST_P(AsyncSelectTest, WriteIsReportedOnceAfterConnectAndAgainOnlyAfterABlockedSend)
{
    loopback::Listener listener;
    loopback::Connection peer = Connected(listener);
    PumpPending(*loop);
    EXPECT_TRUE(notes.empty()) << "a writable socket is not reported over and over";

    // Fill the socket until the platform refuses more, as a sender does.
    std::string block(65536, 'x');
    int sends = 0;
    while (sk::Send(fd, block.data(), block.size(), 0) > 0 && sends < 10000)
        ++sends;
    ASSERT_EQ(sk::LastError(), WSAEWOULDBLOCK);
    select->SendWouldBlock();
    PumpPending(*loop);
    EXPECT_TRUE(notes.empty()) << "nothing until the peer makes room";
    while (peer.Read(1 << 20, 200).size() > 0 && notes.empty())
        PumpPending(*loop);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); }));
    PumpPending(*loop);
    EXPECT_EQ(notes, (std::vector<Note>{{kFdWrite, 0}}));
}

TEST_P(AsyncSelectTest, ReadIsReportedOnceUntilTheOwnerReads)
{
    loopback::Listener listener;
    loopback::Connection peer = Connected(listener);
    peer.SendAll("hello");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); }));
    PumpPending(*loop);
    EXPECT_EQ(notes, (std::vector<Note>{{kFdRead, 0}}))
        << "data left unread must not bring the notification back by itself";

    char buf[2];
    ASSERT_EQ(sk::Recv(fd, buf, 2, 0), 2);
    select->ReadDone(2, 0, 2);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return notes.size() == 2; })) << "three bytes still wait";
    EXPECT_EQ(notes[1], (Note{kFdRead, 0}));
}

TEST_P(AsyncSelectTest, EndOfStreamFoundByAReadIsReportedAsOneClose)
{
    loopback::Listener listener;
    loopback::Connection peer = Connected(listener);
    peer.Close();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); }));
    EXPECT_EQ(notes, (std::vector<Note>{{kFdRead, 0}}));
    char buf[16];
    ASSERT_EQ(sk::Recv(fd, buf, sizeof buf, 0), 0);
    select->ReadDone(0, 0, sizeof buf);
    EXPECT_EQ(notes.size(), 1U) << "the close is posted, not delivered inside ReadDone";
    ASSERT_TRUE(PumpUntil(*loop, [&] { return notes.size() == 2; }));
    EXPECT_EQ(notes[1], (Note{kFdClose, 0}));
    // A second read of the end of stream reports nothing new and the socket stays quiet.
    select->ReadDone(sk::Recv(fd, buf, sizeof buf, 0), 0, sizeof buf);
    PumpPending(*loop);
    EXPECT_EQ(notes.size(), 2U);
}

TEST_P(AsyncSelectTest, ResetFoundByAReadIsReportedAsCloseWithItsError)
{
    loopback::Listener listener;
    loopback::Connection peer = Connected(listener);
    peer.Reset();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); }));
    char buf[16];
    ASSERT_LT(sk::Recv(fd, buf, sizeof buf, 0), 0);
    ASSERT_EQ(sk::LastError(), WSAECONNRESET);
    select->ReadDone(-1, WSAECONNRESET, sizeof buf);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return notes.size() == 2; }));
    EXPECT_EQ(notes[1], (Note{kFdClose, WSAECONNRESET}));
}

TEST_P(AsyncSelectTest, EndedRegistrationDropsWhatItPosted)
{
    loopback::Listener listener;
    loopback::Connection peer = Connected(listener);
    select->PostEvent(kFdWrite, 0);
    select.reset();
    PumpPending(*loop);
    EXPECT_TRUE(notes.empty());
}

TEST_P(AsyncSelectTest, AcceptIsReportedOnceUntilTheOwnerAccepts)
{
    fd = sk::Socket(1, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(sk::Bind(fd, loopback::Address(0)), 0);
    ASSERT_EQ(sk::Listen(fd, 5), 0);
    sockaddr_in local{};
    ASSERT_EQ(sk::GetSockName(fd, local), 0);
    select = std::make_unique<AsyncSelect>(*target, fd, 0x401,
                                           kFdRead | kFdWrite | kFdAccept | kFdClose);
    loopback::Connection a = loopback::Connection::To(ntohs(local.sin_port));
    loopback::Connection b = loopback::Connection::To(ntohs(local.sin_port));
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); }));
    PumpPending(*loop);
    EXPECT_EQ(notes, (std::vector<Note>{{kFdAccept, 0}}));

    int accepted = sk::Accept(fd, nullptr);
    ASSERT_GE(accepted, 0);
    sk::Close(accepted);
    select->AcceptDone();
    ASSERT_TRUE(PumpUntil(*loop, [&] { return notes.size() == 2; })) << "the second one waits";
    EXPECT_EQ(notes[1], (Note{kFdAccept, 0}));
}

TEST_P(AsyncSelectTest, FastReadsAreBatchedAndATrickleAfterThemIsStillReported)
{
    loopback::Listener listener;
    loopback::Connection peer = Connected(listener);
    constexpr int kBatch = 256 * 1024;
    select->BatchReceives(kBatch);
    // Two batches read at once: the stream is fast, so reads wait for a batch.
    select->ReadDone(2 * kBatch, 0, 2 * kBatch);
    int mark = 0;
    socklen_t length = sizeof mark;
    ASSERT_EQ(sk::GetSockOpt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, &length), 0);
    EXPECT_EQ(mark, kBatch);

    // Then the stream slows to a trickle that never fills a batch.
    peer.SendAll("tail");
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !notes.empty(); })) << "the last bytes wait for a batch";
    EXPECT_EQ(notes, (std::vector<Note>{{kFdRead, 0}}));
    ASSERT_EQ(sk::GetSockOpt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, &length), 0);
    EXPECT_EQ(mark, 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, AsyncSelectTest,
                         testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
