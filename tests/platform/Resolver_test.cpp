// Asynchronous name lookups on both backends, with names from /etc/hosts only.
#include <arpa/inet.h>

#include <vector>

#include "LoopBackends.h"
#include "platform/Resolver.h"
#include "platform/SocketErrors.h"

using namespace platform;

namespace {

struct Done {
    unsigned Message;
    std::uintptr_t Handle;
    unsigned Error;
};

class ResolverTest : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override
    {
        loop = MakeEventLoop(GetParam());
        target = std::make_unique<NotificationObject>(
            *loop, [this](unsigned m, std::uintptr_t w, std::intptr_t l) {
                done.push_back({m, w, (static_cast<unsigned>(l) >> 16) & 0xFFFF});
            });
        resolver = std::make_unique<Resolver>(*target);
    }

    std::unique_ptr<EventLoop> loop;
    std::unique_ptr<NotificationObject> target;
    std::unique_ptr<Resolver> resolver;
    std::vector<Done> done;
};

TEST_P(ResolverTest, ForwardLookupOfAHostsFileName)
{
    std::uintptr_t h = resolver->StartForward("localhost", 0x402);
    ASSERT_NE(h, 0U);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !done.empty(); }));
    EXPECT_EQ(done[0].Message, 0x402U);
    EXPECT_EQ(done[0].Handle, h);
    EXPECT_EQ(done[0].Error, 0U);
    std::vector<std::string> result = resolver->TakeResult(h);
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result[0], "127.0.0.1");
}

TEST_P(ResolverTest, ReverseLookupGivesTheHostsFileName)
{
    std::uintptr_t h = resolver->StartReverse(htonl(INADDR_LOOPBACK), 0x403);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !done.empty(); }));
    EXPECT_EQ(done[0].Error, 0U);
    std::vector<std::string> result = resolver->TakeResult(h);
    ASSERT_EQ(result.size(), 1U);
    EXPECT_EQ(result[0], "localhost");
}

TEST_P(ResolverTest, NameTheResolverRejectsFailsWithHostNotFound)
{
    std::uintptr_t h = resolver->StartForward("bad..name", 0x402);
    ASSERT_TRUE(PumpUntil(*loop, [&] { return !done.empty(); }));
    EXPECT_EQ(done[0].Error, static_cast<unsigned>(WSAHOST_NOT_FOUND));
    EXPECT_TRUE(resolver->TakeResult(h).empty());
}

TEST_P(ResolverTest, CancelledAndAbandonedLookupsNeverPost)
{
    std::uintptr_t first = resolver->StartForward("localhost", 0x402);
    EXPECT_TRUE(resolver->Cancel(first));
    EXPECT_FALSE(resolver->Cancel(first)) << "a handle is cancelled once";
    std::uintptr_t second = resolver->StartForward("localhost", 0x402);
    EXPECT_NE(first, second);
    ASSERT_TRUE(PumpUntil(*loop, [&] {
        for (const Done& d : done)
            if (d.Handle == second)
                return true;
        return false;
    }));
    // Destroyed with a lookup running: its thread finishes alone and posts nothing.
    resolver->StartForward("localhost", 0x402);
    resolver.reset();
    target.reset();
    // The lookup threads end within a moment; none may reach the loop any more.
    for (int i = 0; i < 20; ++i)
        loop->WaitAndDispatch(EventLoop::Clock::now() + std::chrono::milliseconds(10));
    ASSERT_EQ(done.size(), 1U) << "the cancelled lookup posted";
    EXPECT_EQ(done[0].Handle, second);
}

INSTANTIATE_TEST_SUITE_P(Backends, ResolverTest,
                         testing::Values(LoopBackend::Poll, LoopBackend::Qt), LoopBackendName);

}  // namespace
