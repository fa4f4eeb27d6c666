#include "platform/AsyncSelect.h"

#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

namespace platform {

namespace {

// Read errors after which nothing more will ever arrive on the connection.
bool ConnectionGone(unsigned error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENETRESET ||
           error == WSAETIMEDOUT;
}

}  // namespace

AsyncSelect::AsyncSelect(NotificationObject& target, int fd, unsigned message, unsigned mask)
    : target_(target),
      loop_(target.Loop()),
      fd_(fd),
      message_(message),
      mask_(mask),
      alive_(std::make_shared<bool>(true))
{
    listening_ = (mask_ & kFdAccept) != 0 && sockets::IsListening(fd_);
    readArmed_ = (mask_ & (listening_ ? kFdAccept : kFdRead)) != 0;
    // As the socket library does, a registration for write reports the first time the socket
    // can take data.
    writeArmed_ = (mask_ & kFdWrite) != 0;
    watch_ = loop_.AddWatch(fd_, 0, [this](unsigned ready) { OnReady(ready); });
    UpdateInterest();
}

AsyncSelect::~AsyncSelect() { loop_.RemoveWatch(watch_); }

void AsyncSelect::ConnectStarted()
{
    connectPending_ = true;
    // The first write notification belongs to a connection that is up, not to this attempt.
    writeArmed_ = false;
    UpdateInterest();
}

void AsyncSelect::ReadDone(long n, unsigned error, long requested)
{
    if (closeReported_)
        return;
    if (n > 0 && batching_)
        batching_->Took(n);
    bool endOfStream = requested > 0 && n == 0;
    if (endOfStream || (n < 0 && ConnectionGone(error))) {
        // Nothing more can arrive, and the descriptor would stay readable for ever: stop reading
        // and report the close once.
        closeReported_ = true;
        readArmed_ = false;
        UpdateInterest();
        if ((mask_ & kFdClose) != 0)
            PostEvent(kFdClose, endOfStream ? 0 : error);
        return;
    }
    if ((mask_ & kFdRead) != 0 && !listening_ && !readArmed_) {
        readArmed_ = true;
        UpdateInterest();
    }
}

void AsyncSelect::BatchReceives(int batchBytes)
{
    if (!batching_ && !listening_ && batchBytes > 1)
        batching_ = std::make_unique<ReceiveBatching>(loop_, fd_, batchBytes);
}

void AsyncSelect::StopBatchingReceives()
{
    if (batching_)
        batching_->Stop();
}

void AsyncSelect::AcceptDone()
{
    if ((mask_ & kFdAccept) != 0 && !readArmed_) {
        readArmed_ = true;
        UpdateInterest();
    }
}

void AsyncSelect::SendWouldBlock()
{
    if ((mask_ & kFdWrite) != 0 && !writeArmed_) {
        writeArmed_ = true;
        UpdateInterest();
    }
}

void AsyncSelect::PostEvent(unsigned events, unsigned error)
{
    std::weak_ptr<bool> alive = alive_;
    NotificationObject* target = &target_;
    unsigned message = message_;
    auto fd = static_cast<std::uintptr_t>(fd_);
    std::intptr_t lParam = MakeSelectLParam(events, error);
    loop_.Post([alive = std::move(alive), target, message, fd, lParam] {
        // The target outlives every registration made for it, so a live registration means a
        // live target.
        if (!alive.expired())
            target->Send(message, fd, lParam);
    });
}

void AsyncSelect::UpdateInterest()
{
    unsigned interest = 0;
    if (connectPending_) {
        interest = EventLoop::kWritable;
    } else {
        if (readArmed_)
            interest |= EventLoop::kReadable;
        if (writeArmed_)
            interest |= EventLoop::kWritable;
    }
    loop_.SetWatchInterest(watch_, interest);
}

bool AsyncSelect::Deliver(unsigned events, unsigned error)
{
    std::weak_ptr<bool> alive = alive_;
    target_.Send(message_, static_cast<std::uintptr_t>(fd_), MakeSelectLParam(events, error));
    return !alive.expired();
}

void AsyncSelect::OnReady(unsigned ready)
{
    if (connectPending_) {
        connectPending_ = false;
        int error = sockets::PendingError(fd_);
        if (error != 0)
            readArmed_ = false;  // the owner closes a failed connection
        else if ((mask_ & kFdWrite) != 0)
            writeArmed_ = true;  // the first write notification follows on the next pass
        UpdateInterest();
        if ((mask_ & kFdConnect) != 0)
            Deliver(kFdConnect, static_cast<unsigned>(error));
        return;
    }

    // Decided and disarmed before anything is delivered: a handler may destroy this object.
    bool read = (ready & EventLoop::kReadable) != 0 && readArmed_;
    bool write = (ready & EventLoop::kWritable) != 0 && writeArmed_;
    if (read)
        readArmed_ = false;
    if (write)
        writeArmed_ = false;
    if (read || write)
        UpdateInterest();

    unsigned readEvent = listening_ ? kFdAccept : kFdRead;
    if (read && !Deliver(readEvent, 0))
        return;
    if (write)
        Deliver(kFdWrite, 0);
}

}  // namespace platform
