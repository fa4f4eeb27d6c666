// Notification objects on both backends: posted messages arrive later, in order, on the loop
// thread, and never after the object is gone.
#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "LoopBackends.h"
#include "platform/NotificationObject.h"

using platform::NotificationObject;

namespace {

using Message = std::tuple<unsigned, std::uintptr_t, std::intptr_t>;

class NotificationObjectTest : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override { loop = MakeEventLoop(GetParam()); }

    std::unique_ptr<platform::EventLoop> loop;
};

TEST_P(NotificationObjectTest, PostedMessagesReachTheDispatcherLaterAndInOrder)
{
    std::vector<Message> got;
    NotificationObject object(*loop, [&](unsigned m, std::uintptr_t w, std::intptr_t l) {
        got.emplace_back(m, w, l);
    });
    object.Post(0x401, 7, 0x2A0001);
    object.Post(0x404);
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(PumpUntil(*loop, [&] { return got.size() == 2; }));
    EXPECT_EQ(got[0], Message(0x401, 7, 0x2A0001));
    EXPECT_EQ(got[1], Message(0x404, 0, 0));

    object.Send(0x405, 1, 2);
    ASSERT_EQ(got.size(), 3U) << "Send dispatches inside the call";
    EXPECT_EQ(got[2], Message(0x405, 1, 2));
}

TEST_P(NotificationObjectTest, MessagesForADestroyedObjectAreDropped)
{
    int calls = 0;
    auto object = std::make_unique<NotificationObject>(
        *loop, [&](unsigned, std::uintptr_t, std::intptr_t) { ++calls; });
    NotificationObject::Target target = object->MakeTarget();
    object->Post(0x401);
    object.reset();
    EXPECT_FALSE(target.Post(0x402)) << "a Target knows its object is gone";
    PumpPending(*loop);
    EXPECT_EQ(calls, 0);
}

TEST_P(NotificationObjectTest, HandlerMayDestroyItsOwnObject)
{
    std::unique_ptr<NotificationObject> object;
    int calls = 0;
    object = std::make_unique<NotificationObject>(*loop, [&](unsigned, std::uintptr_t, std::intptr_t) {
        ++calls;
        object.reset();
    });
    object->Post(1);
    object->Post(2);  // must be dropped: its object dies while handling the first
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !object; }));
    PumpPending(*loop);
    EXPECT_EQ(calls, 1);
}

TEST_P(NotificationObjectTest, TargetPostsFromOtherThreadsOntoTheLoopThread)
{
    const std::thread::id loopThread = std::this_thread::get_id();
    std::vector<std::uintptr_t> got;
    bool allOnLoopThread = true;
    NotificationObject object(*loop, [&](unsigned, std::uintptr_t w, std::intptr_t) {
        allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
        got.push_back(w);
    });
    NotificationObject::Target target = object.MakeTarget();
    std::thread worker([target] {
        for (std::uintptr_t i = 0; i < 100; ++i)
            target.Post(0x402, i);
    });
    ASSERT_TRUE(PumpUntil(*loop, [&] { return got.size() == 100; }));
    worker.join();
    EXPECT_TRUE(allOnLoopThread);
    for (std::uintptr_t i = 0; i < 100; ++i)
        EXPECT_EQ(got[i], i);
}

INSTANTIATE_TEST_SUITE_P(Backends, NotificationObjectTest,
                         testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
