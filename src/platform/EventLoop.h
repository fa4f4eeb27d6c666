// The event loop that every component of the program runs on: posted tasks, descriptor readiness
// and the waits that pump them. It owns nothing but its queue and its watches; components receive
// it by reference and must not outlive it. Post() and Quit() may be called from any thread,
// everything else only from the loop's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace platform {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;
    // Readiness bits, for the interest of a watch and for what its handler is told.
    enum : unsigned { kReadable = 1, kWritable = 2 };
    // Called on the loop thread with the readiness bits found (a subset of the interest). An error
    // or hang-up on the descriptor is reported as readiness for whatever the watch asked for, so
    // the owner meets it on its next read or write.
    using ReadyHandler = std::function<void(unsigned ready)>;
    using WatchId = std::uint64_t;

    EventLoop() = default;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;
    virtual ~EventLoop() = default;

    // Queues a task to run later on the loop thread, in posting order. Safe from any thread.
    virtual void Post(Task task) = 0;

    // Watches a descriptor, level-triggered: the handler is called whenever the descriptor is
    // ready for something in `interest` (a combination of kReadable and kWritable; 0 watches
    // nothing until the interest is changed). The descriptor stays owned by the caller, who
    // removes the watch before closing it. A watch may be changed or removed from inside any
    // handler, its own included.
    virtual WatchId AddWatch(int fd, unsigned interest, ReadyHandler handler) = 0;
    virtual void SetWatchInterest(WatchId id, unsigned interest) = 0;
    virtual void RemoveWatch(WatchId id) = 0;

    // Blocks until something has been handled (a task, a ready descriptor, or any other event of
    // the backend), the deadline passes or the quit flag is set; dispatches what arrives. Returns
    // false when it ended on the deadline or the quit flag without handling anything. An idle
    // wait costs no processor time.
    virtual bool WaitAndDispatch(Clock::time_point deadline) = 0;
    bool WaitAndDispatch() { return WaitAndDispatch(Clock::time_point::max()); }

    // Handles what is ready now without blocking. Returns whether anything was handled.
    virtual bool ProcessPendingEvents() = 0;

    // Sets the quit flag and wakes a running wait; every later wait returns at once. Safe from
    // any thread. The flag stays set for the life of the loop.
    virtual void Quit() = 0;
    virtual bool QuitRequested() const = 0;

    // Dispatches until Quit().
    void Run()
    {
        while (!QuitRequested())
            WaitAndDispatch();
    }
};

}  // namespace platform
