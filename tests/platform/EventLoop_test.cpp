// The event loop on both backends: posted tasks, descriptor watches, deadlines and the quit flag.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "LoopBackends.h"

using platform::EventLoop;

namespace {

class EventLoopTest : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override
    {
        loop = MakeEventLoop(GetParam());
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
    }
    void TearDown() override
    {
        loop.reset();
        ::close(pair[0]);
        ::close(pair[1]);
    }

    std::unique_ptr<EventLoop> loop;
    int pair[2] = {-1, -1};
};

TEST_P(EventLoopTest, PostedTasksRunLaterInPostingOrder)
{
    std::vector<int> order;
    loop->Post([&] {
        order.push_back(1);
        // Posted from inside a task: runs after the tasks already queued.
        loop->Post([&] { order.push_back(3); });
    });
    loop->Post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty()) << "Post must not run the task inside the call";
    ASSERT_TRUE(PumpUntil(*loop, [&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_P(EventLoopTest, TaskPostedFromAnotherThreadWakesABlockedWait)
{
    std::atomic<bool> ran{false};
    std::thread poster([&] { loop->Post([&] { ran = true; }); });
    // No deadline: only the posted task can end this wait.
    while (!ran)
        loop->WaitAndDispatch(EventLoop::Clock::now() + std::chrono::seconds(10));
    poster.join();
    EXPECT_TRUE(ran);
}

TEST_P(EventLoopTest, IdleWaitEndsAtItsDeadlineWithoutHandlingAnything)
{
    auto deadline = EventLoop::Clock::now() + std::chrono::milliseconds(30);
    bool handled = true;
    // Other backends may wake for their own reasons; the wait must end by the deadline anyway.
    while (EventLoop::Clock::now() < deadline)
        handled = loop->WaitAndDispatch(deadline);
    EXPECT_FALSE(handled);
    EXPECT_GE(EventLoop::Clock::now(), deadline);
}

TEST_P(EventLoopTest, QuitFromAnotherThreadEndsEveryWait)
{
    std::thread quitter([&] { loop->Quit(); });
    // Without a deadline: the quit flag is the only way out.
    while (!loop->QuitRequested())
        loop->WaitAndDispatch();
    quitter.join();
    EXPECT_FALSE(loop->WaitAndDispatch()) << "a wait after Quit returns at once";
    bool ran = false;
    loop->Post([&] { ran = true; });
    loop->Run();  // returns at once too
    EXPECT_TRUE(loop->QuitRequested());
}

TEST_P(EventLoopTest, ReadableWatchIsLevelTriggeredUntilDrainedOrSilenced)
{
    int calls = 0;
    EventLoop::WatchId id = loop->AddWatch(pair[0], EventLoop::kReadable, [&](unsigned ready) {
        EXPECT_EQ(ready, EventLoop::kReadable);
        ++calls;
    });
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return calls >= 2; }))
        << "unread data keeps the descriptor ready";

    loop->SetWatchInterest(id, 0);
    int before = calls;
    PumpPending(*loop);
    EXPECT_EQ(calls, before) << "no interest, no calls";

    loop->SetWatchInterest(id, EventLoop::kReadable);
    char c;
    ASSERT_EQ(::read(pair[0], &c, 1), 1);
    before = calls;
    PumpPending(*loop);
    EXPECT_EQ(calls, before) << "drained descriptor is not ready";
    loop->RemoveWatch(id);
}

TEST_P(EventLoopTest, WatchWithoutInterestIgnoresHangUp)
{
    int calls = 0;
    EventLoop::WatchId id = loop->AddWatch(pair[0], 0, [&](unsigned) { ++calls; });
    ::close(pair[1]);
    pair[1] = -1;
    PumpPending(*loop);
    EXPECT_EQ(calls, 0) << "a hang-up must not wake a watch that asked for nothing";
    loop->SetWatchInterest(id, EventLoop::kReadable);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return calls > 0; })) << "hang-up reads as readable";
    loop->RemoveWatch(id);
}

TEST_P(EventLoopTest, HandlerMayRemoveItsOwnAndOtherWatches)
{
    int first = 0;
    int second = 0;
    EventLoop::WatchId a = 0;
    EventLoop::WatchId b = 0;
    // Both ends writable at once; whichever runs first removes both.
    a = loop->AddWatch(pair[0], EventLoop::kWritable, [&](unsigned) {
        ++first;
        loop->RemoveWatch(a);
        loop->RemoveWatch(b);
    });
    b = loop->AddWatch(pair[1], EventLoop::kWritable, [&](unsigned) {
        ++second;
        loop->RemoveWatch(a);
        loop->RemoveWatch(b);
    });
    ASSERT_TRUE(PumpUntil(*loop, [&] { return first + second > 0; }));
    PumpPending(*loop);
    EXPECT_EQ(first + second, 1);
}

TEST_P(EventLoopTest, ProcessPendingEventsDoesNotBlockAndReportsWork)
{
    EXPECT_FALSE(loop->ProcessPendingEvents());
    bool ran = false;
    loop->Post([&] { ran = true; });
    ASSERT_TRUE(PumpUntil(*loop, [&] { return ran; }));
}

INSTANTIATE_TEST_SUITE_P(Backends, EventLoopTest,
                         testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
