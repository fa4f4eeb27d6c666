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

// Notifiers of removed watches, kept until no handler is running: a notifier must not be
// deleted from inside its own activation.
thread_local std::vector<std::unique_ptr<QSocketNotifier>> retired;
thread_local int dispatchDepth = 0;

void Retire(std::unique_ptr<QSocketNotifier> notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    QObject::disconnect(notifier.get(), nullptr, nullptr, nullptr);
    retired.push_back(std::move(notifier));
}

void BuryRetired()
{
    if (dispatchDepth == 0)
        retired.clear();
}

}  // namespace

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
    BuryRetired();
}

void QtEventLoop::Post(Task task)
{
    // Queued calls on the context object run on its thread and are discarded with it.
    QMetaObject::invokeMethod(
        context_.get(),
        [this, task = std::move(task)] {
            ++handled_;
            ++dispatchDepth;
            task();
            --dispatchDepth;
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
    ++dispatchDepth;
    handler(ready);
    --dispatchDepth;
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
