#include "platform/ReceiveBatching.h"

#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/SocketOps.h"

namespace platform {

ReceiveBatching::ReceiveBatching(EventLoop& loop, int fd, int batchBytes)
    : loop_(loop), fd_(fd), batchBytes_(batchBytes)
{
}

ReceiveBatching::~ReceiveBatching()
{
    // The socket is the owner's and may already be closed: it is left as it is.
    if (watch_ != 0)
        loop_.RemoveWatch(watch_);
    if (timer_ >= 0)
        ::close(timer_);
}

void ReceiveBatching::Took(long bytes)
{
    readSinceTick_ = true;
    if (batching_ || batchBytes_ <= 1)
        return;
    auto now = EventLoop::Clock::now();
    if (windowBytes_ == 0 || now - windowStart_ > kWindow) {
        windowStart_ = now;
        windowBytes_ = 0;
    }
    windowBytes_ += bytes;
    if (windowBytes_ >= 2L * batchBytes_)
        Raise();
}

void ReceiveBatching::Raise()
{
    if (timer_ < 0)
        timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    // Without the timer nothing would bound the wait of a slowing stream, so no batching; nor
    // where the socket takes no mark.
    if (timer_ < 0 || sockets::SetIntOption(fd_, SOL_SOCKET, SO_RCVLOWAT, batchBytes_) != 0) {
        batchBytes_ = 1;
        return;
    }
    itimerspec period{};
    period.it_interval.tv_nsec = std::chrono::nanoseconds(kWindow).count();
    period.it_value = period.it_interval;
    ::timerfd_settime(timer_, 0, &period, nullptr);
    if (watch_ == 0)
        watch_ = loop_.AddWatch(timer_, EventLoop::kReadable, [this](unsigned) { OnTick(); });
    else
        loop_.SetWatchInterest(watch_, EventLoop::kReadable);
    batching_ = true;
    readSinceTick_ = true;
}

void ReceiveBatching::Stop()
{
    if (batching_)
        Lower();
    batchBytes_ = 1;
}

void ReceiveBatching::Lower()
{
    sockets::SetIntOption(fd_, SOL_SOCKET, SO_RCVLOWAT, 1);
    itimerspec stop{};
    ::timerfd_settime(timer_, 0, &stop, nullptr);
    loop_.SetWatchInterest(watch_, 0);
    batching_ = false;
    windowBytes_ = 0;
}

void ReceiveBatching::OnTick()
{
    std::uint64_t expirations = 0;
    if (::read(timer_, &expirations, sizeof expirations) < 0 || !batching_)
        return;
    if (!readSinceTick_)
        Lower();
    readSinceTick_ = false;
}

}  // namespace platform
