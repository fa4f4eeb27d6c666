// TCustomLineWSocket and TCustomSyncWSocket: delivery of received data line by line, with
// optional editing and echo, and the wait for a flag. The buffer and its cutting and editing are
// in LineBuffer; this layer moves bytes in and out and decides when to deliver.
#include <algorithm>

#include "net/WSocket.h"
#include "platform/SocketErrors.h"

static_assert(TCustomLineWSocket::kLineTooLongError == platform::WSAEMSGSIZE);

namespace {

// What one read takes from the network at least, so that a read is made, and the end of the
// stream noticed, even when nothing is counted as waiting.
constexpr int kLineReadBlock = 4096;
// Passes of a re-delivery; each must take something from the buffer to earn the next.
constexpr int kMaxRedeliveryPasses = 4096;

}  // namespace

TCustomLineWSocket::TCustomLineWSocket(platform::EventLoop& loop) : TCustomTlsWSocket(loop) {}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == lineMode_)
        return;
    lineMode_ = value;
    if (!lineBuffer_.Empty() || linePending_ > 0)
        Notification().Post(kWmTriggerDataAvailable);
}

int TCustomLineWSocket::RcvdCount()
{
    if (Cutting())
        return static_cast<int>(linePending_);
    // What line mode left behind is read first, so it is what the owner is told of first.
    if (!lineBuffer_.Empty())
        return static_cast<int>(lineBuffer_.Size());
    return TCustomTlsWSocket::RcvdCount();
}

bool TCustomLineWSocket::ReceivesStraight() const
{
    return !lineMode_ && lineBuffer_.Empty() && TCustomTlsWSocket::ReceivesStraight();
}

int TCustomLineWSocket::RawReceive(void* Buffer, int BufferSize)
{
    std::size_t wanted = static_cast<std::size_t>(std::max(BufferSize, 0));
    if (Cutting() && linePending_ > 0) {
        std::size_t count = lineBuffer_.Take(Buffer, std::min(wanted, linePending_));
        linePending_ -= count;
        return static_cast<int>(count);
    }
    if (!Cutting() && !lineBuffer_.Empty())
        return static_cast<int>(lineBuffer_.Take(Buffer, wanted));
    return TCustomTlsWSocket::RawReceive(Buffer, BufferSize);
}

std::size_t TCustomLineWSocket::ApplyLineEditing(std::size_t from)
{
    LineBuffer::EditResult edit = lineBuffer_.Edit(from, lineEnd_, lineEcho_);
    Echo(edit.Echo);
    return std::min(edit.FirstChanged, from);
}

void TCustomLineWSocket::Echo(const std::string& bytes)
{
    if (bytes.empty() || State() != wsConnected)
        return;
    try {
        Send(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception&) {
        // A connection lost here is reported by its close.
    }
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t Error)
{
    // The SOCKS negotiation and the TLS handshake read their replies themselves; only what
    // follows them is cut into lines.
    if (!Cutting() || SocksNegotiating() || TlsHandshaking())
        return TCustomTlsWSocket::TriggerDataAvailable(Error);
    std::size_t old = lineBuffer_.Size();
    ReceiveIntoLineBuffer();
    std::size_t added = lineBuffer_.Size() - old;
    if (added == 0)
        return true;
    if (lineEdit_)
        ApplyLineEditing(old);
    else if (lineEcho_)
        Echo(std::string(lineBuffer_.View().substr(old)));
    // A handler that waits inside its own delivery makes this a nested call: the bytes are only
    // gathered, and the delivery that is running finds them.
    if (!delivering_)
        DeliverLines();
    RefuseEndlessLine();
    return true;
}

void TCustomLineWSocket::RefuseEndlessLine()
{
    // Checked after the complete lines have gone out, so that only the one still unfinished
    // counts, however many lines a single receive brought.
    if (!Cutting() || lineBuffer_.UnfinishedLength(lineEnd_) <= maxLineLength_)
        return;
    unsigned session = sessionSerial_;
    if (OnLineTooLong)
        OnLineTooLong(this);
    if (session != sessionSerial_ || HSocket() == INVALID_SOCKET)
        return;
    // What was held is no line, and handing it out at the close as the last one would give the
    // owner the very bytes the limit is there to refuse.
    linePending_ = 0;
    lineBuffer_.Release();
    InternalClose(true, kLineTooLongError);
}

void TCustomLineWSocket::ReceiveIntoLineBuffer()
{
    int counted = 0;
    try {
        counted = TCustomTlsWSocket::RcvdCount();
    } catch (const std::exception&) {
        counted = 0;
    }
    int wanted = std::max(counted, kLineReadBlock);
    std::string block(static_cast<std::size_t>(wanted), '\0');
    int count = TCustomTlsWSocket::RawReceive(block.data(), wanted);
    if (count > 0)
        lineBuffer_.Append(block.data(), static_cast<std::size_t>(count));
}

void TCustomLineWSocket::DeliverLines()
{
    unsigned session = sessionSerial_;
    delivering_ = true;
    while (Cutting() && session == sessionSerial_) {
        // A line a handler left unread is found again here, ahead of what came after it.
        std::size_t p = lineBuffer_.NextLineEnd(lineEnd_);
        if (p == LineBuffer::npos)
            break;
        linePending_ = p + lineEnd_.size();
        while (Cutting() && linePending_ > 0 && session == sessionSerial_) {
            std::size_t before = linePending_;
            if (!TCustomTlsWSocket::TriggerDataAvailable(0)) {
                // Nobody to take it: the line is dropped.
                lineBuffer_.Drop(linePending_);
                linePending_ = 0;
                break;
            }
            // A handler that reads nothing of its line would be called for ever; the line stays
            // at the front and is delivered again with the next receive.
            if (linePending_ == before)
                break;
        }
        if (session != sessionSerial_)
            break;
        bool stalled = linePending_ > 0;
        // When the owner switched line mode off, the unread rest of the line is already at the
        // front of the buffer, ahead of everything received after it, for reading in raw mode.
        linePending_ = 0;
        if (stalled)
            break;
    }
    if (session == sessionSerial_)
        delivering_ = false;
}

void TCustomLineWSocket::Redeliver()
{
    if (delivering_)
        return;
    for (int pass = 0; pass < kMaxRedeliveryPasses && !lineBuffer_.Empty(); ++pass) {
        std::size_t before = lineBuffer_.Size();
        if (Cutting())
            DeliverLines();
        else if (!TCustomTlsWSocket::TriggerDataAvailable(0))
            break;
        // A pass that took nothing ends it; the bytes wait for the next receive or read.
        if (lineBuffer_.Size() == before)
            break;
    }
}

void TCustomLineWSocket::HandleNotification(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam)
{
    if (Msg == kWmTriggerDataAvailable)
        Redeliver();
    else
        TCustomTlsWSocket::HandleNotification(Msg, WParam, LParam);
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t Error)
{
    ++sessionSerial_;
    // A close made inside a delivery (the owner closing from its own handler) hands out nothing
    // more: the owner would be called again from within its own call.
    bool insideDelivery = delivering_;
    delivering_ = false;
    linePending_ = 0;
    // The last bytes go out before the close is told: in line mode as one last line without its
    // terminator, outside line mode as what is left for the owner to read.
    for (int pass = 0; pass < kMaxRedeliveryPasses && !insideDelivery && !lineBuffer_.Empty(); ++pass) {
        std::size_t before = lineBuffer_.Size();
        if (Cutting())
            linePending_ = before;
        if (!TCustomTlsWSocket::TriggerDataAvailable(0) || lineBuffer_.Size() == before)
            break;
    }
    linePending_ = 0;
    lineBuffer_.Release();
    TCustomTlsWSocket::TriggerSessionClosed(Error);
}

// --- TCustomSyncWSocket ----------------------------------------------------------------------

TCustomSyncWSocket::TCustomSyncWSocket(platform::EventLoop& loop) : TCustomLineWSocket(loop) {}

int TCustomSyncWSocket::WaitForFlag(bool& Flag)
{
    using Clock = platform::EventLoop::Clock;
    Clock::time_point deadline = syncTimeout_ > 0 ? Clock::now() + std::chrono::milliseconds(syncTimeout_)
                                                  : Clock::time_point::max();
    while (!Flag) {
        if (syncTimeout_ > 0 && Clock::now() >= deadline)
            return kWaitForFlagEnded;
        if (Loop().QuitRequested() || Terminated())
            return kWaitForFlagEnded;
        Loop().WaitAndDispatch(deadline);
    }
    return 0;
}

int TCustomSyncWSocket::RunAndWait(bool& Flag, const std::function<void()>& Step)
{
    Flag = false;
    if (Step)
        Step();
    return WaitForFlag(Flag);
}

TWSocket::TWSocket(platform::EventLoop& loop) : TCustomSyncWSocket(loop) {}
