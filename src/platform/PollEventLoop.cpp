#include "platform/PollEventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

PollEventLoop::PollEventLoop()
{
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        throw std::runtime_error("PollEventLoop: cannot create the wake-up eventfd (errno " +
                                 std::to_string(errno) + ")");
}

PollEventLoop::~PollEventLoop() { ::close(wakeFd_); }

void PollEventLoop::Post(Task task)
{
    // The loop's own thread is in a handler, not in poll(): the queue is looked at before the
    // next poll, and a wake-up would cost two system calls for nothing.
    const bool fromLoop = loopThread_.load(std::memory_order_acquire) == std::this_thread::get_id();
    bool wake = false;
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(task));
        wake = !fromLoop && !wakePending_;
        wakePending_ = wakePending_ || wake;
    }
    if (wake)
        Wake();
}

void PollEventLoop::Wake()
{
    std::uint64_t one = 1;
    // A full counter (impossible in practice) still leaves the descriptor readable.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

EventLoop::WatchId PollEventLoop::AddWatch(int fd, unsigned interest, ReadyHandler handler)
{
    WatchId id = nextWatchId_++;
    watches_.emplace(id, Watch{fd, interest, std::move(handler)});
    return id;
}

void PollEventLoop::SetWatchInterest(WatchId id, unsigned interest)
{
    auto it = watches_.find(id);
    if (it != watches_.end())
        it->second.Interest = interest;
}

void PollEventLoop::RemoveWatch(WatchId id) { watches_.erase(id); }

bool PollEventLoop::RunPostedTasks()
{
    std::deque<Task> batch;
    {
        std::lock_guard lock(queueMutex_);
        if (queue_.empty())
            return false;
        batch.swap(queue_);
    }
    // Tasks posted while this batch runs wait for the next pass, so a task that posts itself
    // again cannot keep the loop from polling its descriptors.
    for (Task& task : batch)
        task();
    return true;
}

bool PollEventLoop::PollOnce(int timeoutMs)
{
    loopThread_.store(std::this_thread::get_id(), std::memory_order_release);
    std::vector<pollfd> fds;
    std::vector<WatchId> ids;
    fds.reserve(watches_.size() + 1);
    ids.reserve(watches_.size());
    fds.push_back({wakeFd_, POLLIN, 0});
    for (const auto& [id, watch] : watches_) {
        // A descriptor with no interest must stay out of the set: poll() reports hang-up and
        // error on every descriptor it is given, and would wake the loop again and again.
        if (watch.Interest == 0)
            continue;
        short events = 0;
        if ((watch.Interest & kReadable) != 0)
            events |= POLLIN;
        if ((watch.Interest & kWritable) != 0)
            events |= POLLOUT;
        fds.push_back({watch.Fd, events, 0});
        ids.push_back(id);
    }

    // Something queued by the loop thread itself needs no sleep.
    {
        std::lock_guard lock(queueMutex_);
        if (!queue_.empty())
            timeoutMs = 0;
    }

    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0)
        return false;  // EINTR: the caller checks its deadline and waits again

    bool handled = false;
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
        std::lock_guard lock(queueMutex_);
        wakePending_ = false;
    }
    for (size_t i = 1; i < fds.size() && n > 0; ++i) {
        short revents = fds[i].revents;
        if (revents == 0)
            continue;
        // A handler may have removed or changed this watch, or any other, in the meantime.
        auto it = watches_.find(ids[i - 1]);
        if (it == watches_.end() || it->second.Fd != fds[i].fd)
            continue;
        unsigned ready = 0;
        bool trouble = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if ((revents & POLLIN) != 0 || trouble)
            ready |= kReadable;
        if ((revents & POLLOUT) != 0 || trouble)
            ready |= kWritable;
        ready &= it->second.Interest;
        if (ready == 0)
            continue;
        // Copied: the handler may remove its own watch.
        ReadyHandler handler = it->second.Handler;
        handler(ready);
        handled = true;
    }
    if (RunPostedTasks())
        handled = true;
    return handled;
}

bool PollEventLoop::WaitAndDispatch(Clock::time_point deadline)
{
    for (;;) {
        if (QuitRequested())
            return false;
        int timeoutMs = -1;
        if (deadline != Clock::time_point::max()) {
            auto now = Clock::now();
            if (now >= deadline)
                return ProcessPendingEvents();
            // Rounded up, so the wait never wakes just before its deadline and spins on a zero
            // timeout.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            timeoutMs = left > 24 * 3600 * 1000 ? 24 * 3600 * 1000 : static_cast<int>(left);
        }
        if (PollOnce(timeoutMs))
            return true;
    }
}

bool PollEventLoop::ProcessPendingEvents() { return PollOnce(0); }

void PollEventLoop::Quit()
{
    quit_ = true;
    Wake();
}

bool PollEventLoop::QuitRequested() const { return quit_; }

}  // namespace platform
