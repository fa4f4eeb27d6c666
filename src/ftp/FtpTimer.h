// A one-shot timer on the event loop for the FTP client's own limits (a transfer that stalls, the
// grace after a data connection that could not be made). It is a timerfd watched like any other
// descriptor, so a limit ends the request whoever is waiting in the loop and however they wait.
// Loop thread only.
#pragma once

#include <chrono>
#include <functional>

#include "platform/EventLoop.h"

class TFtpTimer {
public:
    TFtpTimer(platform::EventLoop& loop, std::function<void()> onExpired);
    ~TFtpTimer();
    TFtpTimer(const TFtpTimer&) = delete;
    TFtpTimer& operator=(const TFtpTimer&) = delete;

    // (Re)starts the timer; it fires once, `delay` from now (at least a millisecond).
    void Start(std::chrono::milliseconds delay);
    void Stop();
    // Started and neither stopped nor expired.
    bool Running() const { return running_; }

private:
    void Expired();

    platform::EventLoop& loop_;
    std::function<void()> onExpired_;
    int fd_ = -1;
    platform::EventLoop::WatchId watch_ = 0;
    bool running_ = false;
};
