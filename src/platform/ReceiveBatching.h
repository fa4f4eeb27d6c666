// Wakes the reader of a fast stream once per batch of bytes instead of once per arriving segment.
// A reader faster than its sender empties the socket and sleeps after every segment, and each
// wake-up costs the sending side too (on loopback it is the sender's own processor that does it):
// at a gigabyte a second that is tens of thousands of wake-ups, which slow the sender more than
// the copying costs the reader. While bytes come fast, the socket's receive low-water mark is
// raised, so the system wakes the reader only once a batch is waiting; the end of the stream or
// an error wakes it whatever the mark. A stream that slows down would leave its last bytes waiting
// for a batch that never fills, so while the mark is up a timer looks every kWindow: a whole
// period without a read puts the mark back to one byte and what waits is reported at once.
// Owns a timer descriptor and its loop watch, not the socket. Loop thread only.
#pragma once

#include <chrono>

#include "platform/EventLoop.h"

namespace platform {

class ReceiveBatching {
public:
    static constexpr std::chrono::milliseconds kWindow{25};

    ReceiveBatching(EventLoop& loop, int fd, int batchBytes);
    ~ReceiveBatching();
    ReceiveBatching(const ReceiveBatching&) = delete;
    ReceiveBatching& operator=(const ReceiveBatching&) = delete;

    // The owner has read `bytes` (> 0) from the socket. Two batches within one window mean the
    // stream is fast enough to batch.
    void Took(long bytes);
    // Lowers the mark for good: the owner now reads the socket in parts.
    void Stop();

private:
    void OnTick();
    void Raise();
    void Lower();

    EventLoop& loop_;
    int fd_;
    int batchBytes_;
    int timer_ = -1;
    EventLoop::WatchId watch_ = 0;
    bool batching_ = false;
    bool readSinceTick_ = false;
    EventLoop::Clock::time_point windowStart_{};
    long windowBytes_ = 0;
};

}  // namespace platform
