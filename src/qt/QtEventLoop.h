// The Qt backend of the event loop, for the GUI: posted tasks are queued calls on a context object
// of the loop, watches are QSocketNotifiers, and a wait is one QEventLoop::WaitForMoreEvents pass
// with a timer for the deadline. Owns the context object and the notifiers. Create and use it on
// the thread of the QCoreApplication; Post() and Quit() may be called from any thread. The quit
// flag is also set when the application is about to quit.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "platform/EventLoop.h"

class QObject;
class QSocketNotifier;

namespace platform {

class QtEventLoop : public EventLoop {
public:
    QtEventLoop();
    ~QtEventLoop() override;

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
    struct Watch;

    void OnActivated(WatchId id, unsigned ready);
    // Removed notifiers wait here until no handler of this loop is running: a notifier must not
    // be deleted from inside its own activation.
    void Retire(std::unique_ptr<QSocketNotifier> notifier);
    void BuryRetired();

    std::unique_ptr<QObject> context_;
    std::map<WatchId, std::unique_ptr<Watch>> watches_;
    WatchId nextWatchId_ = 1;
    std::atomic<bool> quit_{false};
    // Counts what this loop handled, so a wait can tell a handled event from a bare wake-up.
    unsigned long handled_ = 0;
    std::vector<std::unique_ptr<QSocketNotifier>> retired_;
    int dispatchDepth_ = 0;
};

}  // namespace platform
