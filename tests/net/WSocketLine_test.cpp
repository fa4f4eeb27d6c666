// Line mode and the synchronous wait of the socket, against a plain loopback peer: lines cut
// across receives, partial reads, editing and echo, line mode switched off in the middle of a
// line, the last line at close, and WaitForFlag. Runs on both loop backends.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "LoopBackends.h"
#include "LoopbackPeer.h"
#include "net/WSocket.h"

namespace {

// The socket with the count of bytes its line buffer holds, so a test can wait until the socket
// has taken bytes off the network even when they make no line yet.
class ProbedSocket : public TWSocket {
public:
    using TWSocket::TWSocket;
    std::size_t Held() const { return LineBufferCount(); }
};

class LineSocket : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override
    {
        loop_ = MakeEventLoop(GetParam());
        socket_ = std::make_unique<ProbedSocket>(*loop_);
        socket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t) { connected_ = true; };
        socket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t) {
            closed_ = true;
            events_.push_back("closed");
        };
        socket_->SetLineMode(true);
        socket_->SetAddr("127.0.0.1");
        socket_->SetPort(std::to_string(listener_.Port()));
        socket_->Connect();
        peer_ = listener_.Accept();
        ASSERT_TRUE(peer_.Open());
        ASSERT_TRUE(PumpUntil(*loop_, [&] { return connected_; }));
    }

    // A handler that reads each delivery whole and records it with the count it was told.
    void CollectLines()
    {
        socket_->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
            int count = s->RcvdCount();
            std::string line = s->ReceiveText();
            lines_.push_back(line);
            counts_.push_back(count);
            events_.push_back("line " + line);
        };
    }

    // Sends bytes as the peer and waits until the socket holds `held` bytes (more than none) in
    // its line buffer.
    void PeerSendsAndSocketHolds(const std::string& bytes, std::size_t held)
    {
        peer_.SendAll(bytes);
        ASSERT_TRUE(PumpUntil(*loop_, [&] { return socket_->Held() == held; })) << socket_->Held();
    }

    // Sends bytes as the peer and waits until `lines_` holds `count` lines.
    void PeerSendsLines(const std::string& bytes, std::size_t count)
    {
        peer_.SendAll(bytes);
        ASSERT_TRUE(PumpUntil(*loop_, [&] { return lines_.size() >= count; })) << lines_.size();
    }

    std::unique_ptr<platform::EventLoop> loop_;
    std::unique_ptr<ProbedSocket> socket_;
    loopback::Listener listener_;
    loopback::Connection peer_;
    std::vector<std::string> lines_;
    std::vector<int> counts_;
    std::vector<std::string> events_;
    bool connected_ = false;
    bool closed_ = false;
};

TEST_P(LineSocket, TerminatorSplitBetweenTwoReceives)
{
    CollectLines();
    PeerSendsAndSocketHolds("abc\r", 4);
    EXPECT_TRUE(lines_.empty());
    PeerSendsAndSocketHolds("\ndef", 3);
    EXPECT_EQ(lines_, std::vector<std::string>{"abc\r\n"});
    EXPECT_EQ(counts_, std::vector<int>{5});
}

TEST_P(LineSocket, EachLineOfOneReceiveGetsItsOwnDelivery)
{
    CollectLines();
    PeerSendsLines("one\r\ntwo two\r\n3\r\n", 3);
    EXPECT_EQ(lines_, (std::vector<std::string>{"one\r\n", "two two\r\n", "3\r\n"}));
    EXPECT_EQ(counts_, (std::vector<int>{5, 9, 3}));
}

TEST_P(LineSocket, AHandlerThatReadsInPartsIsCalledUntilTheLineIsRead)
{
    std::vector<std::string> parts;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        char piece[2];
        int n = s->Receive(piece, sizeof piece);
        parts.emplace_back(piece, static_cast<std::size_t>(n > 0 ? n : 0));
    };
    peer_.SendAll("12345678\r\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return parts.size() >= 5; }));
    EXPECT_EQ(parts, (std::vector<std::string>{"12", "34", "56", "78", "\r\n"}));
}

TEST_P(LineSocket, AHandlerThatReadsNothingIsNotCalledForEver)
{
    int calls = 0;
    socket_->OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };
    PeerSendsAndSocketHolds("stuck\r\nheld\r\n", 13);
    EXPECT_EQ(calls, 1);
    // The lines were kept; a handler that reads gets them with the next receive, each cut at its
    // own line end.
    CollectLines();
    PeerSendsLines("next\r\n", 3);
    EXPECT_EQ(lines_, (std::vector<std::string>{"stuck\r\n", "held\r\n", "next\r\n"}));
}

TEST_P(LineSocket, WithoutAHandlerCompleteLinesAreDropped)
{
    PeerSendsAndSocketHolds("gone\r\nkept", 4);
    CollectLines();
    PeerSendsLines("\r\n", 1);
    EXPECT_EQ(lines_, std::vector<std::string>{"kept\r\n"});
}

TEST_P(LineSocket, AnUnfinishedLineLongerThanTheLimitEndsTheSessionWith10040)
{
    CollectLines();
    socket_->SetMaxLineLength(16);
    int tooLong = 0;
    socket_->OnLineTooLong = [&](TObject*) { ++tooLong; };
    std::vector<int> closedWith;
    socket_->OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closedWith.push_back(e); };
    // Many complete lines in one receive are no long line; 16 bytes unfinished are still allowed.
    std::string many;
    for (int i = 0; i < 10; ++i)
        many += "line " + std::to_string(i) + "\r\n";
    PeerSendsAndSocketHolds(many + std::string(16, 'x'), 16);
    EXPECT_EQ(lines_.size(), 10u);
    EXPECT_EQ(tooLong, 0);
    peer_.SendAll("y");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return !closedWith.empty(); }));
    EXPECT_EQ(tooLong, 1);
    EXPECT_EQ(closedWith, std::vector<int>{10040});
    EXPECT_EQ(lines_.size(), 10u) << "the refused bytes are not handed out as a last line";
    EXPECT_EQ(socket_->State(), wsClosed);
    EXPECT_TRUE(peer_.SeesClose());
}

TEST_P(LineSocket, TheLastUnterminatedLineComesBeforeTheClose)
{
    CollectLines();
    PeerSendsAndSocketHolds("xyz", 3);
    peer_.Close();
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
    EXPECT_EQ(events_, (std::vector<std::string>{"line xyz", "closed"}));
    EXPECT_EQ(counts_, std::vector<int>{3});
}

TEST_P(LineSocket, AHandlerThatClosesIsNotCalledAgain)
{
    int calls = 0;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        ++calls;
        s->ReceiveText();
        s->Close();
    };
    peer_.SendAll("first\r\nsecond\r\nrest");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return closed_; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(socket_->Held(), 0u);
}

TEST_P(LineSocket, OtherLineEnds)
{
    CollectLines();
    socket_->SetLineEnd("\n");
    PeerSendsLines("a\nb\r\n", 2);
    EXPECT_EQ(lines_, (std::vector<std::string>{"a\n", "b\r\n"}));
    lines_.clear();
    socket_->SetLineEnd("END");
    PeerSendsAndSocketHolds("xEN", 3);
    PeerSendsAndSocketHolds("Dy", 1);
    EXPECT_EQ(lines_, std::vector<std::string>{"xEND"});
}

TEST_P(LineSocket, EmptyLineEndPassesDataThrough)
{
    socket_->SetLineEnd("");
    std::string got;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { got += s->ReceiveText(); };
    peer_.SendAll("no\r\nlines");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return got == "no\r\nlines"; }));
    EXPECT_EQ(socket_->Held(), 0u);
}

TEST_P(LineSocket, LineEditAppliesBackspaceAndTab)
{
    CollectLines();
    socket_->SetLineEdit(true);
    PeerSendsLines("ab\bc\r\n", 1);
    PeerSendsLines("a\tb\r\n", 2);
    // A backspace in a later receive erases a byte of an earlier one.
    PeerSendsAndSocketHolds("xy", 2);
    PeerSendsLines("\b\bz\r\n", 3);
    EXPECT_EQ(lines_, (std::vector<std::string>{"ac\r\n", "a       b\r\n", "z\r\n"}));
}

TEST_P(LineSocket, LineEchoSendsTheBytesBack)
{
    CollectLines();
    socket_->SetLineEcho(true);
    PeerSendsLines("hello\r\n", 1);
    EXPECT_EQ(peer_.Read(7), "hello\r\n");
    socket_->SetLineEdit(true);
    PeerSendsLines("ab\b\tc\r\n", 2);
    EXPECT_EQ(peer_.Read(5 + 7 + 3), std::string("ab\b \b") + std::string(7, ' ') + "c\r\n");
    EXPECT_EQ(lines_.back(), "a       c\r\n");
}

TEST_P(LineSocket, LineModeSwitchedOffMidLineLeavesTheRestFirstForRawReads)
{
    std::string raw;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        if (socket_->LineMode()) {
            char first[2];
            s->Receive(first, sizeof first);
            raw.assign(first, 2);
            socket_->SetLineMode(false);
        } else {
            raw += s->ReceiveText();
        }
    };
    peer_.SendAll("hello\r\nworld\r\n");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return raw == "hello\r\nworld\r\n"; })) << raw;
    peer_.SendAll("after");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return raw == "hello\r\nworld\r\nafter"; }));
}

TEST_P(LineSocket, RedeliveryThatTakesNothingEnds)
{
    PeerSendsAndSocketHolds("partial", 7);
    // No handler, raw mode: nothing can take the bytes, and the loop must go quiet.
    socket_->SetLineMode(false);
    EXPECT_LT(PumpPending(*loop_, 50), 50);
    socket_->SetLineMode(true);
    EXPECT_LT(PumpPending(*loop_, 50), 50);
    EXPECT_EQ(socket_->Held(), 7u);
    // A handler that reads nothing is told once, not again and again.
    int calls = 0;
    socket_->OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };
    socket_->SetLineMode(false);
    EXPECT_LT(PumpPending(*loop_, 50), 50);
    EXPECT_EQ(calls, 1);
    socket_->SetLineMode(true);
    EXPECT_LT(PumpPending(*loop_, 50), 50);
    EXPECT_EQ(socket_->Held(), 7u);
    // The bytes wait for a later read.
    socket_->SetLineMode(false);
    std::string got;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { got += s->ReceiveText(); };
    peer_.SendAll("+more");
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return got == "partial+more"; }));
}

TEST_P(LineSocket, LineModeSwitchedOnDeliversBufferedLines)
{
    socket_->OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) {
        // Takes nothing and leaves line mode: both lines stay buffered.
        socket_->SetLineMode(false);
    };
    PeerSendsAndSocketHolds("a\r\nb\r\n", 6);
    PumpPending(*loop_);
    CollectLines();
    socket_->SetLineMode(true);
    ASSERT_TRUE(PumpUntil(*loop_, [&] { return lines_.size() == 2; }));
    EXPECT_EQ(lines_, (std::vector<std::string>{"a\r\n", "b\r\n"}));
}

TEST_P(LineSocket, WaitForFlagReturnsWhenAnEventSetsTheFlag)
{
    bool gotLine = false;
    socket_->OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        s->ReceiveText();
        gotLine = true;
    };
    int result = socket_->RunAndWait(gotLine, [&] { peer_.SendAll("ping\r\n"); });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(gotLine);
}

TEST_P(LineSocket, WaitForFlagEndsWithTheTimeOutOrWhenTheLoopQuits)
{
    bool never = false;
    socket_->SetSyncTimeout(20);
    EXPECT_EQ(socket_->WaitForFlag(never), 12001);
    socket_->SetSyncTimeout(0);
    loop_->Post([&] { loop_->Quit(); });
    EXPECT_EQ(socket_->WaitForFlag(never), 12001);
    EXPECT_EQ(socket_->WaitForFlag(never), 12001);
}

INSTANTIATE_TEST_SUITE_P(Backends, LineSocket, testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
