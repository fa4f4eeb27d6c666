#include "ftp/FtpTimer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

TFtpTimer::TFtpTimer(platform::EventLoop& loop, std::function<void()> onExpired)
    : loop_(loop), onExpired_(std::move(onExpired)) {
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("timerfd_create failed");
    watch_ = loop_.AddWatch(fd_, platform::EventLoop::kReadable, [this](unsigned) { Expired(); });
}

TFtpTimer::~TFtpTimer() {
    loop_.RemoveWatch(watch_);
    ::close(fd_);
}

void TFtpTimer::Start(std::chrono::milliseconds delay) {
    if (delay.count() < 1)
        delay = std::chrono::milliseconds(1);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(delay.count() / 1000);
    when.it_value.tv_nsec = static_cast<long>(delay.count() % 1000) * 1000000L;
    ::timerfd_settime(fd_, 0, &when, nullptr);
    running_ = true;
}

void TFtpTimer::Stop() {
    // The timer itself is left to run out: its expiry finds the watch stopped and does nothing,
    // and the next Start sets it afresh (count included). A transfer stops its watch several
    // times, and each disarm cost two system calls.
    running_ = false;
}

void TFtpTimer::Expired() {
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations))
        return;
    if (!running_)
        return;
    running_ = false;
    if (onExpired_)
        onExpired_();
}
