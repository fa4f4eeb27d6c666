// The poll() backend of the event loop, for the tests and the command-line tools: one poll() per
// wait over the watched descriptors and an eventfd that wakes the wait when a task is posted or
// Quit() is called. Owns the eventfd and the watch table; the watched descriptors stay their
// owners'. Post() and Quit() may be called from any thread, the rest from the thread that runs
// the waits.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/EventLoop.h"

namespace platform {

class PollEventLoop : public EventLoop {
public:
    PollEventLoop();
    ~PollEventLoop() override;

    void Post(Task task) override;
    WatchId AddWatch(int fd, unsigned interest, ReadyHandler handler) override;
    void SetWatchInterest(WatchId id, unsigned interest) override;
    void RemoveWatch(WatchId id) override;
    bool WaitAndDispatch(Clock::time_point deadline) override;
    using EventLoop::WaitAndDispatch;
    bool ProcessPendingEvents() override;
    void Quit() override;
    bool QuitRequested() const override;

private:
    struct Watch {
        int Fd;
        unsigned Interest;
        ReadyHandler Handler;
    };

    // One poll() with the given timeout (-1 = none) and the dispatch of what it found.
    bool PollOnce(int timeoutMs);
    bool RunPostedTasks();
    void Wake();

    int wakeFd_ = -1;
    std::atomic<bool> quit_{false};

    std::mutex queueMutex_;
    std::deque<Task> queue_;
    bool wakePending_ = false;
    // The thread in PollOnce last: its own posts find the queue checked before it polls again.
    std::atomic<std::thread::id> loopThread_{};

    // Ordered so that a wait dispatches in registration order.
    std::map<WatchId, Watch> watches_;
    WatchId nextWatchId_ = 1;
};

}  // namespace platform
