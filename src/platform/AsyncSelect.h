// Readiness of one socket turned into the socket library's notification messages for a
// notification object: (message, descriptor, event bits | error << 16). Owns the loop watch of
// the descriptor, not the descriptor. Loop thread only.
//
// Level-triggered readiness is shaped into the one-shot notifications the socket component is
// written for: connect is reported once, with the socket's pending error; write once when the
// connection is up and again only after a send that would block; read (or accept) once, and again
// only after the owner has read (or accepted), so a handler that leaves data waiting is not called
// in a loop; close once, when a read has found the end of the stream or a reset.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/EventLoop.h"
#include "platform/NotificationObject.h"
#include "platform/ReceiveBatching.h"

namespace platform {

// The socket library's event bits.
enum : unsigned {
    kFdRead = 0x01,
    kFdWrite = 0x02,
    kFdOob = 0x04,
    kFdAccept = 0x08,
    kFdConnect = 0x10,
    kFdClose = 0x20,
};

// The parameters of a readiness message.
inline std::intptr_t MakeSelectLParam(unsigned events, unsigned error)
{
    return static_cast<std::intptr_t>((events & 0xFFFF) | ((error & 0xFFFF) << 16));
}
inline unsigned SelectEvents(std::intptr_t lParam) { return static_cast<unsigned>(lParam) & 0xFFFF; }
inline unsigned SelectError(std::intptr_t lParam) { return (static_cast<unsigned>(lParam) >> 16) & 0xFFFF; }

class AsyncSelect {
public:
    // Starts notifying `target` with `message` about the events in `mask` (kFd* bits).
    AsyncSelect(NotificationObject& target, int fd, unsigned message, unsigned mask);
    // Stops notifying; messages this registration has posted and not yet delivered are dropped.
    ~AsyncSelect();
    AsyncSelect(const AsyncSelect&) = delete;
    AsyncSelect& operator=(const AsyncSelect&) = delete;

    int Fd() const { return fd_; }

    // A non-blocking connect has been started: report kFdConnect when it ends.
    void ConnectStarted();
    // The owner has read from the socket (n = result, error = the socket library's error number
    // when n < 0, requested = the length asked for). Re-arms the read notification; an end of
    // stream or a reset is reported once as kFdClose.
    void ReadDone(long n, unsigned error, long requested);
    // The owner has accepted a connection: re-arms the accept notification.
    void AcceptDone();
    // A send would have blocked: report kFdWrite when the socket can take data again.
    void SendWouldBlock();
    // Posts a message of this registration (it is dropped if the registration ends first).
    void PostEvent(unsigned events, unsigned error);
    // Reads of a fast stream are reported once per `batchBytes` waiting (ReceiveBatching).
    void BatchReceives(int batchBytes);
    // Every arrival is reported again, from now on.
    void StopBatchingReceives();

private:
    void OnReady(unsigned ready);
    void UpdateInterest();
    // Delivers now; returns false when the registration was destroyed by the handler.
    bool Deliver(unsigned events, unsigned error);

    NotificationObject& target_;
    EventLoop& loop_;
    int fd_;
    unsigned message_;
    unsigned mask_;
    EventLoop::WatchId watch_ = 0;
    bool connectPending_ = false;
    bool readArmed_ = false;
    bool writeArmed_ = false;
    bool closeReported_ = false;
    // A listening socket's readiness is an accept, any other's a read.
    bool listening_ = false;
    std::unique_ptr<ReceiveBatching> batching_;
    // Lets posted messages and a running delivery find out that the registration has ended.
    std::shared_ptr<bool> alive_;
};

}  // namespace platform
