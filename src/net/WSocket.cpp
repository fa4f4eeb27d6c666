// TCustomWSocket: construction, properties, connect, listen, accept, close and the dispatch of
// its notifications.
#include "net/WSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "net/WSocketText.h"
#include "platform/AsyncSelect.h"
#include "platform/Resolver.h"
#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

namespace sockets = platform::sockets;
using platform::AsyncSelect;

namespace {

// Notification masks of the socket library: the events a registration asks for.
constexpr unsigned kConnectMask = platform::kFdRead | platform::kFdWrite | platform::kFdAccept |
                                  platform::kFdConnect | platform::kFdClose;  // 0x3B
constexpr unsigned kListenMask =
    platform::kFdRead | platform::kFdWrite | platform::kFdAccept | platform::kFdClose;  // 0x2B
constexpr unsigned kDupMask =
    platform::kFdRead | platform::kFdWrite | platform::kFdConnect | platform::kFdClose;  // 0x33

// Passes of the receive loop per read notification. The rest of a fast stream comes with the
// next notification, so other events (the user's clicks among them) are handled in between.
constexpr int kMaxReceivePasses = 32;

}  // namespace

TCustomWSocket::TCustomWSocket(platform::EventLoop& loop) : loop_(loop)
{
    notification_ = std::make_unique<platform::NotificationObject>(
        loop, [this](unsigned msg, std::uintptr_t w, std::intptr_t l) {
            try {
                HandleNotification(msg, w, l);
            } catch (const std::exception& e) {
                HandleBackgroundException(e);
            }
        });
    resolver_ = std::make_unique<platform::Resolver>(*notification_);
    TCustomWSocket::ResetToDefaults();
}

TCustomWSocket::~TCustomWSocket()
{
    destroying_ = true;
    try {
        CancelLookup();
    } catch (const std::exception&) {
    }
    try {
        if (state_ != wsClosed)
            Close();
    } catch (const std::exception&) {
    }
    CloseHandleQuietly();
    ClearSendQueue();
}

// --- Properties -------------------------------------------------------------------------------

void TCustomWSocket::SetAddr(const std::string& value)
{
    SetRemoteText("Addr", value, addrStr_, addrAssigned_, addrResolved_);
}

void TCustomWSocket::SetPort(const std::string& value)
{
    SetRemoteText("Port", value, portStr_, portAssigned_, portResolved_);
}

void TCustomWSocket::SetProto(const std::string& value)
{
    SetRemoteText("Proto", value, protoStr_, protoAssigned_, protoResolved_);
}

void TCustomWSocket::SetRemoteText(const char* property, const std::string& value,
                                   std::string& text, bool& assigned, bool& resolved)
{
    // Giving the same value again changes nothing, so it is no error even while connected.
    if (value == text && assigned)
        return;
    if (state_ != wsClosed) {
        RaiseSocketError(std::string("Cannot change ") + property + " if not closed");
        return;
    }
    text = wsocket::Trim(value);
    resolved = false;
    assigned = !text.empty();
}

void TCustomWSocket::SetLocalPort(const std::string& value)
{
    if (state_ != wsClosed) {
        RaiseSocketError("Cannot change LocalPort if not closed");
        return;
    }
    localPortStr_ = value;
    localPortResolved_ = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& value)
{
    if (state_ != wsClosed) {
        RaiseSocketError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string text = value.empty() ? "0.0.0.0" : value;
    std::uint32_t a = sockets::ParseAddress(text);
    if (a == INADDR_NONE) {
        RaiseSocketError("SetLocalAddr(): Invalid IP address");
        return;
    }
    localAddr_ = sockets::FormatAddress(a);
}

std::string TCustomWSocket::PeerAddr()
{
    if (state_ != wsConnected)
        return "error";
    sockaddr_in peer{};
    if (sockets::GetPeerName(hSocket_, peer) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return sockets::FormatAddress(peer.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort()
{
    if (state_ != wsConnected)
        return "error";
    sockaddr_in peer{};
    if (sockets::GetPeerName(hSocket_, peer) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(ntohs(peer.sin_port));
}

std::string TCustomWSocket::GetLocalPortText()
{
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening)
        return "error";
    sockaddr_in local{};
    if (sockets::GetSockName(hSocket_, local) != 0)
        return "error";
    return std::to_string(ntohs(local.sin_port));
}

int TCustomWSocket::GetPeerSocketAddress(sockaddr_in& Addr, int& AddrLen)
{
    if (state_ != wsConnected)
        return SOCKET_ERROR;
    AddrLen = sizeof Addr;
    return sockets::GetPeerName(hSocket_, Addr);
}

int TCustomWSocket::GetLocalSocketAddress(sockaddr_in& Addr, int& AddrLen)
{
    AddrLen = sizeof Addr;
    return sockets::GetSockName(hSocket_, Addr);
}

int TCustomWSocket::RcvdCount()
{
    int count = sockets::ReadableBytes(hSocket_);
    if (count < 0) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return count;
}

TSocketSendFlags TCustomWSocket::SendFlags()
{
    switch (sendFlags_) {
    case 0: return wsSendNormal;
    case 1: return wsSendUrgent;
    default:
        RaiseSocketError("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value)
{
    switch (value) {
    case wsSendNormal: sendFlags_ = 0; break;
    case wsSendUrgent: sendFlags_ = 1; break;
    default: RaiseSocketError("Invalid SendFlags"); break;
    }
}

// --- Errors -----------------------------------------------------------------------------------

void TCustomWSocket::RaiseSocketError(const std::string& Msg)
{
    if (OnError) {
        TriggerError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomWSocket::ReportSocketError(const std::string& sockfunc)
{
    ReportSocketError(sockfunc, sockets::LastError());
}

void TCustomWSocket::ReportSocketError(const std::string& sockfunc, int error)
{
    std::string msg = "Error " + std::to_string(error) + " in function " + sockfunc + "\r\n" +
                      platform::SocketErrorDescription(error);
    if (error == platform::WSAECONNRESET || error == platform::WSAENOTCONN) {
        // The connection is gone: drop the descriptor now, without the session's closing event.
        // The owner still sees the state change, as it sees every other.
        CloseHandleQuietly();
        if (state_ != wsClosed)
            ChangeState(wsClosed);
    }
    lastError_ = error;
    RaiseSocketError(msg);
}

void TCustomWSocket::HandleBackgroundException(const std::exception& E)
{
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// --- Triggers ---------------------------------------------------------------------------------

bool TCustomWSocket::TriggerDataAvailable(std::uint16_t Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::TriggerSessionConnected(std::uint16_t Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::TriggerSessionClosed(std::uint16_t Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::TriggerDataSent(std::uint16_t Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState)
{
    // A component being destroyed tells nobody: its owner, whose handlers these are, is usually
    // being destroyed too.
    if (OnChangeState && !destroying_)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::TriggerDNSLookupDone(std::uint16_t Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::TriggerError()
{
    if (OnError)
        OnError(this);
}

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState old = state_;
    state_ = NewState;
    TriggerChangeState(old, NewState);
}

// --- Life cycle -------------------------------------------------------------------------------

void TCustomWSocket::ResetToDefaults()
{
    sin_ = sockaddr_in{};
    sin_.sin_family = AF_INET;
    addrFormat_ = AF_INET;
    addrAssigned_ = false;
    addrResolved_ = false;
    portAssigned_ = false;
    portResolved_ = false;
    protoStr_ = "tcp";
    protoAssigned_ = true;
    protoResolved_ = false;
    proto_ = 6;
    type_ = 1;
    localPortStr_ = "0";
    localPortResolved_ = false;
    localAddr_ = "0.0.0.0";
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    select_.reset();
    hSocket_ = INVALID_SOCKET;
    state_ = wsClosed;
    allSent_ = true;
    paused_ = false;
    readCount_ = 0;
    closeInvoked_ = false;
    flushTimeout_ = 60;
}

void TCustomWSocket::Select(unsigned mask)
{
    select_ = std::make_unique<AsyncSelect>(*notification_, hSocket_, kWmAsyncSelect, mask);
    if (receiveBatch_ > 0)
        select_->BatchReceives(receiveBatch_);
}

void TCustomWSocket::Unselect() { select_.reset(); }

void TCustomWSocket::StopReceiveBatching()
{
    if (select_)
        select_->StopBatchingReceives();
}

bool TCustomWSocket::InUse() const
{
    return hSocket_ != INVALID_SOCKET && state_ != wsClosed && !closeInvoked_;
}

void TCustomWSocket::StartSession(TSocket handle)
{
    hSocket_ = handle;
    ++session_;
    // A session opened from the previous one's OnSessionClosed comes before that close's reset
    // of the flags: this session's close must still be told, and its bytes counted from zero.
    closeInvoked_ = false;
    readCount_ = 0;
}

void TCustomWSocket::CloseHandleQuietly()
{
    Unselect();
    if (hSocket_ != INVALID_SOCKET)
        sockets::Close(hSocket_);
    hSocket_ = INVALID_SOCKET;
}

void TCustomWSocket::ResolveForConnect(const std::string& where, bool withLocalPort)
{
    try {
        if (!protoResolved_) {
            proto_ = WSocketResolveProto(protoStr_);
            type_ = proto_ == IPPROTO_UDP ? 2 : 1;
            protoResolved_ = true;
        }
        if (!portResolved_) {
            portNum_ = WSocketResolvePort(portStr_, protoStr_);
            sin_.sin_port = htons(portNum_);
            portResolved_ = true;
        }
        if (withLocalPort && !localPortResolved_) {
            localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
            localPortResolved_ = true;
        }
        if (!addrResolved_) {
            sin_.sin_addr.s_addr = WSocketResolveHost(addrStr_);
            addrResolved_ = true;
        }
        sin_.sin_family = AF_INET;
    } catch (const std::exception& e) {
        throw ESocketException(where + ": " + e.what());
    }
}

void TCustomWSocket::SetRemoteResolved(std::uint32_t Address, std::uint16_t PortNumber)
{
    sin_.sin_family = AF_INET;
    sin_.sin_addr.s_addr = Address;
    sin_.sin_port = htons(PortNumber);
    portNum_ = PortNumber;
    addrResolved_ = true;
    portResolved_ = true;
}

void TCustomWSocket::Connect()
{
    if (InUse()) {
        RaiseSocketError("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        RaiseSocketError("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        RaiseSocketError("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        RaiseSocketError("Connect: No Protocol Specified");
        return;
    }
    try {
        ResolveForConnect("connect", true);
    } catch (const ESocketException& e) {
        RaiseSocketError(e.what());
        return;
    }

    ClearSendQueue();
    // A descriptor left behind by a failed earlier attempt, or the one of a session whose close
    // the owner has been told (a peer's close, from OnSessionClosed) and which ends here.
    CloseHandleQuietly();
    if (state_ != wsClosed)
        ChangeState(wsClosed);
    StartSession(sockets::Socket(type_, proto_));
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    ChangeState(wsOpened);

    if (type_ == 2) {
        BindLocal();
        if (sin_.sin_addr.s_addr == INADDR_BROADCAST &&
            sockets::SetIntOption(hSocket_, SOL_SOCKET, SO_BROADCAST, 1) != 0) {
            ReportSocketError("setsockopt(SO_BROADCAST)");
            return;
        }
    } else {
        if (localPortNum_ != 0 || localAddr_ != "0.0.0.0")
            BindLocal();
        ApplyLinger();
        if (sockets::SetIntOption(hSocket_, SOL_SOCKET, SO_KEEPALIVE, -1) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (sockets::SetIntOption(hSocket_, SOL_SOCKET, SO_REUSEADDR, -1) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }
    if (hSocket_ == INVALID_SOCKET)
        return;  // a report above closed it
    Select(kConnectMask);

    if (type_ == 2) {
        ChangeState(wsConnected);
        TriggerSessionConnected(0);
        return;
    }
    if (sockets::Connect(hSocket_, sin_) == 0 || sockets::LastError() == platform::WSAEWOULDBLOCK) {
        select_->ConnectStarted();
        ChangeState(wsConnecting);
        return;
    }
    lastError_ = sockets::LastError();
    ReportSocketError("Connect");
}

void TCustomWSocket::BindLocal()
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPortNum_);
    local.sin_addr.s_addr = WSocketResolveHost(localAddr_);
    if (sockets::Bind(hSocket_, local) != 0) {
        RaiseSocketError("winsock.bind failed, error #" + std::to_string(sockets::LastError()));
        return;
    }
    sockaddr_in bound{};
    if (sockets::GetSockName(hSocket_, bound) != 0) {
        RaiseSocketError("winsock.getsockname failed, error #" +
                         std::to_string(sockets::LastError()));
        return;
    }
    localPortNum_ = ntohs(bound.sin_port);
    localPortStr_ = std::to_string(localPortNum_);
}

void TCustomWSocket::ApplyLinger()
{
    if (lingerOnOff_ == wsLingerNoSet)
        return;
    if (hSocket_ == INVALID_SOCKET) {
        RaiseSocketError("Cannot set linger option at this time");
        return;
    }
    // Linux would make close() wait, blocking the loop thread, for as long as a non-zero linger
    // time allows. The data is handed to the kernel for a graceful close in the background
    // instead, which delivers it just the same; a zero time still resets the connection.
    bool on = lingerOnOff_ == wsLingerOn && lingerTimeout_ == 0;
    if (sockets::SetLinger(hSocket_, on, 0) != 0)
        ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Listen()
{
    if (!portAssigned_) {
        sockets::SetLastError(platform::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!protoAssigned_) {
        sockets::SetLastError(platform::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!addrAssigned_) {
        sockets::SetLastError(platform::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    try {
        ResolveForConnect("listen", false);
    } catch (const ESocketException& e) {
        RaiseSocketError(e.what());
        return;
    }

    ClearSendQueue();
    CloseHandleQuietly();
    StartSession(sockets::Socket(type_, proto_));
    if (hSocket_ == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    if (sockets::Bind(hSocket_, sin_) != 0) {
        int error = sockets::LastError();
        // The descriptor is not left behind whether or not the report raises.
        struct CloseAfter {
            TCustomWSocket* Socket;
            ~CloseAfter() { Socket->CloseHandleQuietly(); }
        } closeAfter{this};
        ReportSocketError("Bind", error);
        return;
    }
    ChangeState(wsBound);

    if (type_ == 2) {
        ChangeState(wsListening);
        ChangeState(wsConnected);
        TriggerSessionConnected(0);
    } else {
        if (sockets::Listen(hSocket_, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        ChangeState(wsListening);
    }
    if (hSocket_ != INVALID_SOCKET && !select_)
        Select(kListenMask);
}

TSocket TCustomWSocket::Accept()
{
    if (state_ != wsListening) {
        sockets::SetLastError(platform::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    sockaddr_in from{};
    acceptedHSocket_ = sockets::Accept(hSocket_, &from);
    int error = sockets::LastError();
    if (select_)
        select_->AcceptDone();
    if (acceptedHSocket_ == INVALID_SOCKET) {
        ReportSocketError("Accept", error);
        return INVALID_SOCKET;
    }
    sin_ = from;
    return acceptedHSocket_;
}

void TCustomWSocket::Dup(TSocket NewHSocket)
{
    // Descriptor 0 is a valid socket on this platform; only a negative value is no socket.
    if (NewHSocket < 0) {
        sockets::SetLastError(platform::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (state_ != wsClosed) {
        Unselect();
        int rc = hSocket_ != INVALID_SOCKET ? sockets::Close(hSocket_) : 0;
        hSocket_ = INVALID_SOCKET;
        if (rc != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
    }
    CloseHandleQuietly();
    StartSession(NewHSocket);
    ApplyLinger();
    if (hSocket_ == INVALID_SOCKET)
        return;
    Select(kDupMask);
    ChangeState(wsConnected);
}

void TCustomWSocket::InternalClose(bool bShut, std::uint16_t Error)
{
    if (hSocket_ == INVALID_SOCKET) {
        if (state_ != wsClosed) {
            ChangeState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (state_ == wsClosed)
        return;

    if (bShut)
        sockets::Shutdown(hSocket_, 1);
    Unselect();
    // Linux releases the descriptor whatever close() answers, so there is nothing to retry and
    // a second close could hit a descriptor opened meanwhile by someone else.
    int rc = sockets::Close(hSocket_);
    int error = sockets::LastError();
    hSocket_ = INVALID_SOCKET;
    if (rc != 0 && error != platform::WSAEINTR && error != platform::WSAEWOULDBLOCK) {
        ReportSocketError("Disconnect (closesocket)", error);
        return;
    }

    ChangeState(wsClosed);
    if (!destroying_ && !closeInvoked_) {
        closeInvoked_ = true;
        TriggerSessionClosed(Error);
    }
    // A handler that has already opened the next connection keeps it.
    if (hSocket_ == INVALID_SOCKET) {
        try {
            ResetToDefaults();
        } catch (const std::exception&) {
        }
    }
}

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::CloseLater() { notification_->Post(kWmCloseDelayed); }

void TCustomWSocket::ReleaseLater() { notification_->Post(kWmWSocketRelease); }

void TCustomWSocket::Abort()
{
    CancelLookup();
    ClearSendQueue();
    if (state_ == wsConnected && proto_ == IPPROTO_TCP) {
        lingerOnOff_ = wsLingerOff;
        ApplyLinger();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::Shutdown(int How)
{
    if (hSocket_ != INVALID_SOCKET)
        sockets::Shutdown(hSocket_, How);
}

void TCustomWSocket::PauseNotifications()
{
    paused_ = true;
    Unselect();
}

void TCustomWSocket::ResumeNotifications()
{
    paused_ = false;
    if (hSocket_ == INVALID_SOCKET)
        return;
    // A listening socket needs its accept notification back, which the usual mask lacks.
    Select(state_ == wsListening ? kListenMask : kDupMask);
    if (state_ == wsConnecting)
        select_->ConnectStarted();
}

// --- Waits ------------------------------------------------------------------------------------

void TCustomWSocket::ProcessPendingMessages()
{
    loop_.ProcessPendingEvents();
    if (loop_.QuitRequested())
        terminated_ = true;
}

platform::EventLoop::Clock::time_point TCustomWSocket::FlushDeadline() const
{
    if (flushTimeout_ <= 0)
        return platform::EventLoop::Clock::time_point::max();
    return platform::EventLoop::Clock::now() + std::chrono::seconds(flushTimeout_);
}

bool TCustomWSocket::WaitForEvents(platform::EventLoop::Clock::time_point deadline)
{
    if (!loop_.QuitRequested())
        loop_.WaitAndDispatch(deadline);
    if (loop_.QuitRequested()) {
        terminated_ = true;
        return false;
    }
    return platform::EventLoop::Clock::now() < deadline;
}

void TCustomWSocket::DrainUntilClosed()
{
    auto deadline = FlushDeadline();
    while (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
        TSocket fd = hSocket_;
        int count = sockets::ReadableBytes(fd);
        if (count < 0)
            break;
        if (count > 0)
            TriggerDataAvailable(0);
        if (hSocket_ != fd)
            break;
        char probe = 0;
        if (RawReceive(&probe, 0) < 0 && sockets::LastError() != platform::WSAEWOULDBLOCK)
            break;
        if (hSocket_ != fd || !WaitForEvents(deadline))
            break;
    }
}

// --- Notifications ----------------------------------------------------------------------------

void TCustomWSocket::HandleNotification(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam)
{
    switch (Msg) {
    case kWmAsyncSelect:
        HandleSelect(WParam, platform::SelectEvents(LParam), platform::SelectError(LParam));
        break;
    case kWmAsyncGetHostByName:
    case kWmAsyncGetHostByAddr:
        HandleLookupDone(Msg, WParam, platform::SelectError(LParam));
        break;
    case kWmCloseDelayed:
        Close();
        break;
    case kWmWSocketRelease:
        delete this;
        break;
    case kWmTriggerException:
        throw ESocketException("Test exception in WSocket");
    default:
        break;
    }
}

void TCustomWSocket::HandleSelect(std::uintptr_t fd, unsigned events, unsigned error)
{
    if (hSocket_ == INVALID_SOCKET || fd != static_cast<std::uintptr_t>(hSocket_) || paused_)
        return;
    auto err = static_cast<std::uint16_t>(error);
    // Each handler may close the socket or even open the next session on it (a new descriptor
    // often gets the old number): the rest of the events belong to the session they came for.
    const unsigned session = session_;
    auto sameSession = [&] { return session_ == session && hSocket_ != INVALID_SOCKET; };
    if ((events & platform::kFdConnect) != 0) {
        ChangeState(wsConnected);
        TriggerSessionConnected(err);
        if (err != 0 && sameSession() && state_ != wsClosed)
            Close();
    }
    if ((events & platform::kFdRead) != 0 && sameSession())
        ReceiveLoop(err);
    if ((events & platform::kFdWrite) != 0 && sameSession()) {
        TryToSend();
        if (allSent_)
            TriggerDataSent(err);
    }
    if ((events & platform::kFdAccept) != 0 && sameSession())
        TriggerSessionAvailable(err);
    if ((events & platform::kFdClose) != 0 && sameSession() && state_ != wsConnecting) {
        ReceiveLoop(0);
        if (!sameSession())
            return;
        if (!closeInvoked_) {
            closeInvoked_ = true;
            TriggerSessionClosed(err);
        }
        if (sameSession() && state_ != wsClosed)
            Close();
    }
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error)
{
    TSocket fd = hSocket_;
    try {
        for (int pass = 0; pass < kMaxReceivePasses; ++pass) {
            lastError_ = 0;
            receivesThisPass_ = 0;
            drainedThisPass_ = false;
            bool handled = TriggerDataAvailable(Error);
            if (!handled) {
                char discard[1024];
                if (RawReceive(discard, sizeof discard) < 0) {
                    lastError_ = sockets::LastError();
                    if (lastError_ == platform::WSAEWOULDBLOCK) {
                        lastError_ = 0;
                        break;
                    }
                }
            }
            if (lastError_ != 0 || hSocket_ != fd || hSocket_ == INVALID_SOCKET)
                break;
            // A handler that leaves the data waiting would be called here for ever; it hears of
            // the data again when it reads (the read notification is re-armed by any read).
            if (handled && (receivesThisPass_ == 0 || drainedThisPass_)) {
                if (receivesThisPass_ == 0)
                    NoticeEndOfStream(fd);
                break;
            }
            int count = sockets::ReadableBytes(fd);
            if (count < 0) {
                lastError_ = sockets::LastError();
                break;
            }
            if (count == 0)
                break;
        }
    } catch (const std::exception&) {
        // An exception ends the loop and goes no further.
    }
}

void TCustomWSocket::NoticeEndOfStream(TSocket fd)
{
    // Readable with nothing to read is the end of the stream, or a reset. The close is only
    // learnt from a read, and an owner that reads what RcvdCount announces makes none, so the
    // socket is looked at here without taking anything from it. With bytes waiting nothing is
    // done: an owner that leaves them is told again only once it reads.
    if (fd != hSocket_ || fd == INVALID_SOCKET || !select_ || sockets::ReadableBytes(fd) != 0)
        return;
    char probe = 0;
    ssize_t n = sockets::Recv(fd, &probe, 1, 2);
    select_->ReadDone(static_cast<long>(n), n < 0 ? static_cast<unsigned>(sockets::LastError()) : 0, 1);
}

template <class Read>
int TCustomWSocket::ReadSocket(int BufferSize, Read read)
{
    if (hSocket_ == INVALID_SOCKET) {
        sockets::SetLastError(platform::WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    ssize_t n = read(hSocket_, BufferSize > 0 ? static_cast<size_t>(BufferSize) : 0);
    if (select_)
        select_->ReadDone(static_cast<long>(n), n < 0 ? static_cast<unsigned>(sockets::LastError()) : 0,
                          BufferSize);
    return static_cast<int>(n);
}

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize)
{
    return ReadSocket(BufferSize, [Buffer](int fd, size_t length) { return sockets::Recv(fd, Buffer, length, 0); });
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    FromLen = sizeof From;
    return ReadSocket(BufferSize,
                      [Buffer, &From](int fd, size_t length) { return sockets::RecvFrom(fd, Buffer, length, 0, From); });
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    ++receivesThisPass_;
    return NoteReceived(RawReceive(Buffer, BufferSize), BufferSize);
}

int TCustomWSocket::NoteReceived(int n, int BufferSize)
{
    if (n < 0)
        lastError_ = sockets::LastError();
    else
        readCount_ += n;
    // Data that arrives after a short read re-arms the read notification by itself.
    drainedThisPass_ = n < BufferSize;
    return n;
}

int TCustomWSocket::ReceiveToPipe(int PipeFd, int BufferSize)
{
    ++receivesThisPass_;
    if (!ReceivesStraight()) {
        sockets::SetLastError(platform::WSAEOPNOTSUPP);
        return NoteReceived(SOCKET_ERROR, BufferSize);
    }
    return NoteReceived(ReadSocket(BufferSize,
                                   [PipeFd](int fd, size_t length) { return sockets::RecvToPipe(fd, PipeFd, length); }),
                        BufferSize);
}

std::string TCustomWSocket::ReceiveText()
{
    int count = RcvdCount();
    if (count <= 0)
        return {};
    std::string text(static_cast<size_t>(count), '\0');
    int n = Receive(text.data(), count);
    if (n <= 0)
        return {};
    text.resize(static_cast<size_t>(n));
    return text;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    ++receivesThisPass_;
    int n = RawReceiveFrom(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        lastError_ = sockets::LastError();
    else
        readCount_ += n;
    return n;
}

// --- Name lookup ------------------------------------------------------------------------------

void TCustomWSocket::StartDnsLookup(const std::string& HostName)
{
    if (!PrepareLookup(HostName))
        return;
    std::uint32_t a = sockets::ParseAddress(HostName);
    if (a != INADDR_NONE) {
        dnsResult_ = sockets::FormatAddress(a);
        TriggerDNSLookupDone(0);
        return;
    }
    lookupHandle_ = resolver_->StartForward(HostName, kWmAsyncGetHostByName);
    CheckLookupStarted(HostName);
}

void TCustomWSocket::StartReverseLookup(const std::string& HostAddr)
{
    if (!PrepareLookup(HostAddr))
        return;
    lookupHandle_ = resolver_->StartReverse(sockets::ParseAddress(HostAddr), kWmAsyncGetHostByAddr);
    CheckLookupStarted(HostAddr);
}

bool TCustomWSocket::PrepareLookup(const std::string& name)
{
    if (name.empty()) {
        RaiseSocketError("DNS lookup: invalid host name.");
        TriggerDNSLookupDone(platform::WSAEINVAL);
        return false;
    }
    if (lookupHandle_ != 0) {
        resolver_->Cancel(lookupHandle_);
        lookupHandle_ = 0;
    }
    dnsResult_.clear();
    dnsResultList_.clear();
    return true;
}

void TCustomWSocket::CheckLookupStarted(const std::string& name)
{
    if (lookupHandle_ == 0)
        RaiseSocketError(name + ": can't start DNS lookup, error #" +
                         std::to_string(sockets::LastError()));
}

void TCustomWSocket::CancelLookup()
{
    if (lookupHandle_ == 0)
        return;
    std::uintptr_t handle = lookupHandle_;
    lookupHandle_ = 0;
    if (!resolver_->Cancel(handle)) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!destroying_)
        TriggerDNSLookupDone(platform::WSAEINTR);
}

void TCustomWSocket::HandleLookupDone(unsigned msg, std::uintptr_t handle, unsigned error)
{
    if (handle == 0 || handle != lookupHandle_)
        return;
    lookupHandle_ = 0;
    std::vector<std::string> result = resolver_->TakeResult(handle);
    if (error == 0 && !result.empty()) {
        if (msg == kWmAsyncGetHostByName) {
            dnsResultList_ = std::move(result);
            dnsResult_ = dnsResultList_.front();
        } else {
            dnsResult_ = result.front();
            dnsResultList_.assign(1, dnsResult_);
        }
    }
    TriggerDNSLookupDone(static_cast<std::uint16_t>(error));
}
