// TCustomSocksWSocket: reaching the destination through a SOCKS 4, 4A or 5 proxy. The requests
// and the reading of the replies are in SocksProtocol; this layer runs the phases on the socket's
// events and reports the outcome as if the socket had reached the destination itself.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/SocksProtocol.h"
#include "net/WSocket.h"
#include "net/WSocketText.h"
#include "platform/SocketErrors.h"

namespace {

// Room for the longest reply (SOCKS 5 with a 255-byte bound name is 262 bytes) and some of the
// destination's first data behind it.
constexpr std::size_t kSocksReplyCapacity = 512;
constexpr std::size_t kSocks4ReplyLength = 8;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(platform::EventLoop& loop) : TCustomWSocket(loop) {}

void TCustomSocksWSocket::ResetToDefaults()
{
    TCustomWSocket::ResetToDefaults();
    socksPhase_ = kSocksIdle;
    socksServer_.clear();
    socksPort_.clear();
    socksLevel_ = std::string(1, '5');  // not = "5": g++ 12 warns falsely (-Wrestrict) on it
    socksReply_.clear();
    leftover_.clear();
    leftoverPos_ = 0;
    socksFailed_ = false;
}

// --- Properties -------------------------------------------------------------------------------

bool TCustomSocksWSocket::SocksSettingChangeable(const char* setting)
{
    // A negotiation under way would go on with a setting it did not start with.
    if (State() == wsClosed)
        return true;
    RaiseSocketError(std::string("Can't change socks ") + setting + " if not closed");
    return false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value)
{
    if (SocksSettingChangeable("server"))
        socksServer_ = wsocket::Trim(value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value)
{
    if (SocksSettingChangeable("port"))
        socksPort_ = wsocket::Trim(value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value)
{
    if (!SocksSettingChangeable("level"))
        return;
    if (value != "4" && value != "5" && value != "4A" && value != "4a") {
        RaiseSocketError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    socksLevel_ = value;
    std::transform(socksLevel_.begin(), socksLevel_.end(), socksLevel_.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
}

int TCustomSocksWSocket::RcvdCount()
{
    if (leftoverPos_ < leftover_.size())
        return static_cast<int>(leftover_.size() - leftoverPos_);
    return TCustomWSocket::RcvdCount();
}

bool TCustomSocksWSocket::ReceivesStraight() const
{
    return leftoverPos_ >= leftover_.size() && TCustomWSocket::ReceivesStraight();
}

int TCustomSocksWSocket::RawReceive(void* Buffer, int BufferSize)
{
    if (leftoverPos_ >= leftover_.size())
        return TCustomWSocket::RawReceive(Buffer, BufferSize);
    std::size_t count = std::min(static_cast<std::size_t>(std::max(BufferSize, 0)), leftover_.size() - leftoverPos_);
    std::memcpy(Buffer, leftover_.data() + leftoverPos_, count);
    leftoverPos_ += count;
    if (leftoverPos_ == leftover_.size()) {
        leftover_.clear();
        leftoverPos_ = 0;
    }
    return static_cast<int>(count);
}

// --- Connect and listen -----------------------------------------------------------------------

void TCustomSocksWSocket::Connect()
{
    // A connection in use is refused by the base before anything of it is touched; the
    // negotiation's state below belongs to that connection, which must go on undisturbed.
    if (socksServer_.empty() || InUse()) {
        TCustomWSocket::Connect();
        return;
    }
    if (Lower(Proto()) != "tcp") {
        RaiseSocketError("tcp is the only protocol supported thru socks server");
        return;
    }
    // Every value the negotiation may send is checked now, so that nothing at all is sent when
    // one would not fit its field.
    std::string misfit = socks::CheckRequestFields(socksLevel_, Addr(), socksUsercode_, socksPassword_,
                                                   socksAuthentication_ == socksAuthenticateUsercode);
    if (!misfit.empty()) {
        RaiseSocketError("connect: " + misfit);
        return;
    }
    try {
        std::uint16_t proxyPort = WSocketResolvePort(socksPort_, Proto());
        std::uint32_t proxyAddress = WSocketResolveHost(socksServer_);
        destPort_ = WSocketResolvePort(Port(), Proto());
        SetRemoteResolved(proxyAddress, proxyPort);
    } catch (const std::exception& e) {
        RaiseSocketError(std::string("connect: ") + e.what());
        return;
    }
    socksPhase_ = kSocksAwaitingMethod;
    socksReply_.clear();
    socksFailed_ = false;
    boundAddr_.clear();
    boundPort_.clear();
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::InternalClose(bool bShut, std::uint16_t Error)
{
    // A close made here during the negotiation (by the owner, or after a failure already told)
    // is no failure of the proxy to report.
    if (socksPhase_ != kSocksIdle)
        socksFailed_ = true;
    TCustomWSocket::InternalClose(bShut, Error);
}

void TCustomSocksWSocket::Listen()
{
    if (!socksServer_.empty()) {
        RaiseSocketError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

// --- Triggers ---------------------------------------------------------------------------------

void TCustomSocksWSocket::TriggerSocksConnected(std::uint16_t Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::TriggerSocksError(int Error, const std::string& Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, AuthState);
}

void TCustomSocksWSocket::TriggerSessionConnected(std::uint16_t Error)
{
    if (socksPhase_ == kSocksAwaitingMethod)
        SocksProxyReached(Error);
    else
        TCustomWSocket::TriggerSessionConnected(Error);
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t Error)
{
    if (socksPhase_ != kSocksIdle && !socksFailed_) {
        // The proxy closed without a reply that says why. The owner still hears that the
        // connection it waits for failed, before it hears of the close.
        socksFailed_ = true;
        std::uint16_t error = Error != 0 ? Error : static_cast<std::uint16_t>(platform::WSAECONNRESET);
        TriggerSocksError(error, "connection closed by the socks server");
        TCustomWSocket::TriggerSessionConnected(error);
        if (Error == 0)
            Error = error;
    }
    if (socksPhase_ == kSocksAwaitingAuth)
        TriggerSocksAuthState(socksAuthRejected);
    TCustomWSocket::TriggerSessionClosed(Error);
}

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t Error)
{
    if (socksPhase_ == kSocksIdle)
        return TCustomWSocket::TriggerDataAvailable(Error);
    if (Error != 0) {
        FailSocks(Error, "data receive error");
        return true;
    }
    switch (socksPhase_) {
    case kSocksAwaitingMethod: SocksHandleMethodReply(); break;
    case kSocksAwaitingAuth: SocksHandleAuthReply(); break;
    case kSocksAwaitingConnect: SocksHandleConnectReply(); break;
    default: FailSocks(socks::kErrInternal, "internal error"); break;
    }
    return true;
}

// --- The negotiation --------------------------------------------------------------------------

void TCustomSocksWSocket::SocksProxyReached(std::uint16_t Error)
{
    TriggerSocksConnected(Error);
    if (Error != 0) {
        // The base closes the socket after this, which reports the close.
        socksFailed_ = true;
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    if (socksLevel_ != "5") {
        SocksSendConnectRequest();
        return;
    }
    requestedMethod_ = socksAuthentication_ == socksAuthenticateUsercode ? socks::kMethodUsercode : socks::kMethodNone;
    SocksSend(socks::Socks5Greeting(requestedMethod_));
}

void TCustomSocksWSocket::SocksSendConnectRequest()
{
    socksPhase_ = kSocksAwaitingConnect;
    socks::Request request;
    if (socksLevel_ == "5") {
        request = socks::Socks5ConnectRequest(Addr(), destPort_);
    } else if (socksLevel_ == "4A") {
        request = socks::Socks4AConnectRequest(Addr(), destPort_, socksUsercode_);
    } else {
        std::uint32_t address = 0;
        try {
            address = WSocketResolveHost(Addr());
        } catch (const std::exception& e) {
            socksFailed_ = true;
            TriggerSocksError(socks::kErrUnresolvable, std::string("ESocketException ") + e.what());
            InternalClose(true, socks::kErrUnresolvable);
            return;
        }
        request = socks::Socks4ConnectRequest(address, destPort_, socksUsercode_);
    }
    SocksSendRequest(request);
}

void TCustomSocksWSocket::SocksSendCredentials()
{
    socksPhase_ = kSocksAwaitingAuth;
    TriggerSocksAuthState(socksAuthBegun);
    SocksSendRequest(socks::Socks5AuthRequest(socksUsercode_, socksPassword_));
}

void TCustomSocksWSocket::SocksSendRequest(const socks::Request& request)
{
    if (!request.Ok()) {
        // Connect checked every field already; this only guards the requests' own limits.
        FailSocks(socks::kErrInternal, request.Error);
        return;
    }
    SocksSend(request.Bytes);
}

void TCustomSocksWSocket::SocksSend(const std::string& bytes)
{
    try {
        Send(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception&) {
        // A connection lost here is reported by its close.
    }
}

bool TCustomSocksWSocket::SocksReadReply(std::size_t limit)
{
    if (socksReply_.size() >= limit)
        return false;
    char buffer[kSocksReplyCapacity];
    int count = Receive(buffer, static_cast<int>(std::min(limit - socksReply_.size(), sizeof buffer)));
    if (count <= 0)
        return false;
    socksReply_.append(buffer, static_cast<std::size_t>(count));
    return true;
}

bool TCustomSocksWSocket::SocksReplyComplete(const socks::ReplyParse& reply)
{
    if (reply.Result == socks::ParseResult::NeedMore)
        return false;
    if (reply.Result == socks::ParseResult::Bad) {
        FailSocks(reply.Error, reply.Message);
        return false;
    }
    return true;
}

void TCustomSocksWSocket::SocksHandleMethodReply()
{
    if (socksLevel_ == "4") {
        FailSocks(socks::kErrLogic, "TWSocket logic error");
        return;
    }
    if (!SocksReadReply(kSocksReplyCapacity))
        return;
    socks::MethodReply reply = socks::ParseSocks5MethodReply(socksReply_);
    if (!SocksReplyComplete(reply))
        return;
    socksReply_.clear();
    if (reply.Method == socks::kMethodUsercode) {
        SocksSendCredentials();
        return;
    }
    if (requestedMethod_ == socks::kMethodUsercode)
        TriggerSocksAuthState(socksAuthSkipped);
    SocksSendConnectRequest();
}

void TCustomSocksWSocket::SocksHandleAuthReply()
{
    if (!SocksReadReply(kSocksReplyCapacity))
        return;
    if (!SocksReplyComplete(socks::ParseSocks5AuthReply(socksReply_)))
        return;
    socksReply_.clear();
    TriggerSocksAuthState(socksAuthAccepted);
    SocksSendConnectRequest();
}

void TCustomSocksWSocket::SocksHandleConnectReply()
{
    bool four = socksLevel_ != "5";
    // A SOCKS 4 reply is read to its exact length, so nothing of the destination's data is taken.
    if (!SocksReadReply(four ? kSocks4ReplyLength : kSocksReplyCapacity))
        return;
    std::size_t consumed = 0;
    if (four) {
        socks::ReplyParse reply = socks::ParseSocks4Reply(socksReply_);
        if (!SocksReplyComplete(reply))
            return;
        consumed = reply.Consumed;
    } else {
        socks::ConnectReply reply = socks::ParseSocks5ConnectReply(socksReply_);
        if (!SocksReplyComplete(reply))
            return;
        boundAddr_ = reply.BoundAddr;
        boundPort_ = reply.BoundPort;
        consumed = reply.Consumed;
    }
    leftover_ = socksReply_.substr(consumed);
    leftoverPos_ = 0;
    socksReply_.clear();
    SocksSucceeded();
}

void TCustomSocksWSocket::SocksSucceeded()
{
    socksPhase_ = kSocksIdle;
    TSocket fd = HSocket();
    TCustomWSocket::TriggerSessionConnected(0);
    // The owner hears once that data may be waiting: the bytes that came with the reply, or the
    // first bytes that follow it. Bytes the reply brought along arrive with no notification of
    // their own, so the owner is called while it keeps reading them.
    std::size_t before = 0;
    for (int pass = 0; pass < 64 && HSocket() == fd && fd != INVALID_SOCKET; ++pass) {
        before = leftover_.size() - leftoverPos_;
        TriggerDataAvailable(0);
        std::size_t after = leftover_.size() - leftoverPos_;
        if (after == 0 || after == before)
            break;
    }
}

void TCustomSocksWSocket::FailSocks(int Error, const std::string& Msg)
{
    socksFailed_ = true;
    TriggerSocksError(Error, Msg);
    TCustomWSocket::TriggerSessionConnected(static_cast<std::uint16_t>(Error));
    InternalClose(true, static_cast<std::uint16_t>(Error));
}
