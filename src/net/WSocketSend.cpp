// TCustomWSocket's send path: the queue of TBuffer blocks, TryToSend and the write notification.
#include <sys/socket.h>

#include "net/WSocket.h"
#include "platform/AsyncSelect.h"
#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

namespace sockets = platform::sockets;

namespace {

// Send errors that mean the connection is gone.
bool ConnectionDead(int error)
{
    return error == platform::WSAEINVAL || error == platform::WSAENOTSOCK ||
           error == platform::WSAECONNABORTED || error == platform::WSAECONNRESET ||
           error == platform::WSAENOTCONN;
}

}  // namespace

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (state_ != wsConnected) {
        sockets::SetLastError(platform::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    allSent_ = false;
    if (Len <= 0)
        Len = 0;
    else
        QueueSendData(Data, Len);
    TryToSend();
    // OnDataSent comes from the loop, never from inside Send, so a handler that sends again from
    // OnDataSent does not recurse.
    if (allSent_ && select_)
        select_->PostEvent(platform::kFdWrite, 0);
    return Len;
}

int TCustomWSocket::SendText(const std::string& Str)
{
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len)
{
    (void)DestLen;  // always an IPv4 address here
    ssize_t n = sockets::SendTo(hSocket_, Data, Len > 0 ? static_cast<size_t>(Len) : 0, sendFlags_,
                                Dest);
    if (n > 0 && OnSendData)
        OnSendData(this, static_cast<int>(n));
    return static_cast<int>(n);
}

int TCustomWSocket::RawSend(const void* Data, int Len)
{
    ssize_t n = type_ == 2
                    ? sockets::SendTo(hSocket_, Data, static_cast<size_t>(Len), sendFlags_, sin_)
                    : sockets::Send(hSocket_, Data, static_cast<size_t>(Len), sendFlags_);
    if (n > 0 && OnSendData)
        OnSendData(this, static_cast<int>(n));
    return static_cast<int>(n);
}

void TCustomWSocket::QueueSendData(const void* Data, int Len)
{
    if (Len <= 0)
        return;
    if (bufList_.empty())
        bufList_.push_back(std::make_unique<TBuffer>(sendBlockSize_));
    const char* p = static_cast<const char*>(Data);
    int taken = bufList_.back()->Write(p, Len);
    while (taken < Len) {
        bufList_.push_back(std::make_unique<TBuffer>(sendBlockSize_));
        taken += bufList_.back()->Write(p + taken, Len - taken);
    }
}

void TCustomWSocket::TryToSend()
{
    if (hSocket_ == INVALID_SOCKET || bufList_.empty())
        return;
    for (;;) {
        TBuffer& first = *bufList_.front();
        int len = 0;
        const char* data = first.Peek(len);
        if (len <= 0) {
            if (bufList_.size() > 1) {
                bufList_.pop_front();
                continue;
            }
            allSent_ = true;  // the last block stays for reuse
            return;
        }
        int n = RawSend(data, len);
        if (n > 0) {
            first.Remove(n);
            if (n == len)
                continue;
            // The platform took part of the block: its buffer is full.
            if (select_)
                select_->SendWouldBlock();
            return;
        }
        if (n == 0)
            return;
        int error = sockets::LastError();
        if (ConnectionDead(error)) {
            closeInvoked_ = true;
            Close();
            TriggerSessionClosed(static_cast<std::uint16_t>(error));
            return;
        }
        if (error == platform::WSAEWOULDBLOCK) {
            if (select_)
                select_->SendWouldBlock();
            return;
        }
        ReportSocketError("TryToSend failed", error);
        return;
    }
}

void TCustomWSocket::ClearSendQueue() { bufList_.clear(); }

long long TCustomWSocket::BufferedByteCount() const
{
    long long total = 0;
    for (const auto& block : bufList_)
        total += block->Unsent();
    return total;
}

void TCustomWSocket::FlushSendQueue()
{
    // Waits in the loop, not in a spin: the write notification wakes it when the socket can take
    // more data, and the deadline ends it when the peer stops reading.
    auto deadline = FlushDeadline();
    while (hSocket_ != INVALID_SOCKET && BufferedByteCount() > 0) {
        TSocket fd = hSocket_;
        TryToSend();
        if (hSocket_ != fd || BufferedByteCount() == 0)
            break;
        if (!WaitForEvents(deadline))
            break;
    }
}
