#include "qt/QtEventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <vector>

namespace platform {

struct QtEventLoop::Watch {
    int Fd;
    unsigned Interest = 0;
    ReadyHandler Handler;
    std::unique_ptr<QSocketNotifier> Read;
    std::unique_ptr<QSocketNotifier> Write;
};


namespace {

// Counts a running handler for as long as it runs, exceptions included.
class DispatchScope {
public:
    explicit DispatchScope(int& depth) : depth_(depth) { ++depth_; }
    ~DispatchScope() { --depth_; }
    DispatchScope(const DispatchScope&) = delete;
    DispatchScope& operator=(const DispatchScope&) = delete;

private:
    int& depth_;
};

}  // namespace

void QtEventLoop::Retire(std::unique_ptr<QSocketNotifier> notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    QObject::disconnect(notifier.get(), nullptr, nullptr, nullptr);
    retired_.push_back(std::move(notifier));
}

void QtEventLoop::BuryRetired()
{
    if (dispatchDepth_ == 0)
        retired_.clear();
}

QtEventLoop::QtEventLoop() : context_(std::make_unique<QObject>())
{
    if (QCoreApplication* app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, context_.get(), [this] { quit_ = true; });
}

QtEventLoop::~QtEventLoop()
{
    for (auto& [id, watch] : watches_) {
        Retire(std::move(watch->Read));
        Retire(std::move(watch->Write));
    }
    watches_.clear();
    retired_.clear();
}

void QtEventLoop::Post(Task task)
{
    // Queued calls on the context object run on its thread and are discarded with it.
    QMetaObject::invokeMethod(
        context_.get(),
        [this, task = std::move(task)] {
            ++handled_;
            DispatchScope scope(dispatchDepth_);
            task();
        },
        Qt::QueuedConnection);
}

EventLoop::WatchId QtEventLoop::AddWatch(int fd, unsigned interest, ReadyHandler handler)
{
    WatchId id = nextWatchId_++;
    auto watch = std::make_unique<Watch>();
    watch->Fd = fd;
    watch->Handler = std::move(handler);
    watches_.emplace(id, std::move(watch));
    SetWatchInterest(id, interest);
    return id;
}

void QtEventLoop::SetWatchInterest(WatchId id, unsigned interest)
{
    auto it = watches_.find(id);
    if (it == watches_.end())
        return;
    Watch& watch = *it->second;
    watch.Interest = interest;
    auto ensure = [&](std::unique_ptr<QSocketNotifier>& notifier, QSocketNotifier::Type type,
                      unsigned ready) {
        bool wanted = (interest & ready) != 0;
        if (!notifier) {
            if (!wanted)
                return;
            notifier = std::make_unique<QSocketNotifier>(watch.Fd, type);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, context_.get(),
                             [this, id, ready] { OnActivated(id, ready); });
        }
        if (notifier->isEnabled() != wanted)
            notifier->setEnabled(wanted);
    };
    ensure(watch.Read, QSocketNotifier::Read, kReadable);
    ensure(watch.Write, QSocketNotifier::Write, kWritable);
}

void QtEventLoop::RemoveWatch(WatchId id)
{
    auto it = watches_.find(id);
    if (it == watches_.end())
        return;
    Retire(std::move(it->second->Read));
    Retire(std::move(it->second->Write));
    watches_.erase(it);
}

void QtEventLoop::OnActivated(WatchId id, unsigned ready)
{
    auto it = watches_.find(id);
    if (it == watches_.end() || (it->second->Interest & ready) == 0)
        return;
    // Copied: the handler may remove its own watch.
    ReadyHandler handler = it->second->Handler;
    ++handled_;
    DispatchScope scope(dispatchDepth_);
    handler(ready);
}

bool QtEventLoop::WaitAndDispatch(Clock::time_point deadline)
{
    BuryRetired();
    if (QuitRequested())
        return false;
    unsigned long before = handled_;
    auto now = Clock::now();
    if (deadline != Clock::time_point::max() && now >= deadline)
        return ProcessPendingEvents();

    bool timedOut = false;
    QTimer timer;
    if (deadline != Clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [&timedOut] { timedOut = true; });
        timer.start(static_cast<int>(left > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : left));
    }
    // One pass: processes what is pending or, when nothing is, sleeps until something arrives
    // (a descriptor, a posted call, the deadline timer, a window event).
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    BuryRetired();
    return handled_ != before || !timedOut;
}

bool QtEventLoop::ProcessPendingEvents()
{
    BuryRetired();
    unsigned long before = handled_;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    BuryRetired();
    return handled_ != before;
}

void QtEventLoop::Quit()
{
    quit_ = true;
    // Wakes a wait that sleeps in the dispatcher.
    QMetaObject::invokeMethod(context_.get(), [] {}, Qt::QueuedConnection);
}

bool QtEventLoop::QuitRequested() const { return quit_; }

}  // namespace platform
