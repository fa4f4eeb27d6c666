// The asynchronous IPv4 socket component: TCustomWSocket and its layers down to TWSocket. A socket
// never blocks its thread on the network; every operation returns at once and its completion
// arrives later as an event, fired from the event loop the component was given. Owns its
// descriptor, its notification object, its send queue and its name lookups. Loop thread only:
// create, use and destroy it on the thread that runs the loop.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/LineBuffer.h"
#include "net/WSockbuf.h"
#include "platform/EventLoop.h"
#include "platform/NotificationObject.h"
#include "platform/TObject.h"

namespace platform {
class AsyncSelect;
class Resolver;
}  // namespace platform

namespace socks {
struct ReplyParse;
struct Request;
}  // namespace socks

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed,
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthBegun, socksAuthAccepted, socksAuthRejected, socksAuthSkipped };

// The messages of a socket's notification object.
enum : unsigned {
    kWmAsyncSelect = 0x401,         // readiness: wParam = descriptor, lParam = events | error << 16
    kWmAsyncGetHostByName = 0x402,  // forward lookup done: wParam = lookup handle, error << 16
    kWmAsyncGetHostByAddr = 0x403,  // reverse lookup done: the same
    kWmCloseDelayed = 0x404,        // CloseLater
    kWmWSocketRelease = 0x405,      // ReleaseLater
    kWmTriggerException = 0x406,    // test hook: raises "Test exception in WSocket"
    kWmTriggerDataAvailable = 0x414,  // line-mode re-delivery
    kWmTlsDataPending = 0x415,  // TLS: decrypted bytes wait for a read; wParam = TLS generation
    kWmTlsFailed = 0x416,       // TLS: a failure met inside a read or send; wParam = TLS generation
};

// Raised by the socket component when no OnError handler is assigned.
class ESocketException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TCustomWSocket;

using TDataAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TCustomWSocket* Sender, int BytesSent)>;
using TSessionClosed = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TChangeState =
    std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TDnsLookupDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TBgExceptionEvent =
    std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TSocksErrorEvent = std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;
using TTlsErrorEvent = std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;

// The errors the TLS layer reports, through OnTlsError, OnTlsDone and OnSessionClosed.
enum : int {
    kTlsErrHandshake = 20101,  // the handshake failed (the peer's alert, no common version, ...)
    kTlsErrUntrusted = 20102,  // the certificate does not lead to an authority this side trusts
    kTlsErrHostName = 20103,   // the certificate is not for the host name checked
    kTlsErrExpired = 20104,    // the certificate has expired or is not valid yet
    kTlsErrProtocol = 20105,   // a bad record or an alert after the handshake
    kTlsErrTruncated = 20106,  // the peer ended the connection without TLS's close_notify
    kTlsErrSetup = 20107,      // TLS could not be prepared here (an unreadable CA file, ...)
};
// The English text of a TLS error, for developers and logs.
std::string TlsErrorDescription(int ErrCode);
// The Brazilian Portuguese text of a TLS error, for the user.
std::string TlsErrorUserText(int ErrCode);

// A TLS session that a later connection to the same server may resume: the FTP data connection
// resumes the control connection's. Opaque; copies share it; it outlives the connection.
struct TlsSessionData;
using TTlsSession = std::shared_ptr<const TlsSessionData>;

// --- Name, port and protocol resolution, error texts -------------------------------------------
// Synchronous; each raises ESocketException on failure.

// Protocol number of a name ("tcp") or number text.
int WSocketResolveProto(const std::string& sProto);
// Port number in host order of a service name ("ftp") or number text, for the protocol given.
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// IPv4 address in network order of a dotted address or a host name (looked up synchronously).
std::uint32_t WSocketResolveHost(const std::string& InAddr);
// True for a dotted IPv4 address: four decimal numbers up to 255, blanks allowed around it.
bool IsDottedAddress(const std::string& Addr);
// The text for a socket error number.
std::string SocketErrorDescription(int ErrCode);

// Byte-order helpers and the socket option query the FTP client uses directly.
std::uint32_t WSocketHtonl(std::uint32_t v);
std::uint32_t WSocketNtohl(std::uint32_t v);
std::uint16_t WSocketHtons(std::uint16_t v);
std::uint16_t WSocketNtohs(std::uint16_t v);
// 0 on success, SOCKET_ERROR otherwise.
int WSocketGetSockOpt(TSocket s, int level, int optname, void* optval, int* optlen);

// --- TCustomWSocket ------------------------------------------------------------------------------

class TCustomWSocket : public TObject {
public:
    explicit TCustomWSocket(platform::EventLoop& loop);
    ~TCustomWSocket() override;
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    platform::EventLoop& Loop() const { return loop_; }

    // Properties. Addr, Port, Proto, LocalAddr and LocalPort may change only while wsClosed.
    const std::string& Addr() const { return addrStr_; }
    void SetAddr(const std::string& value);
    const std::string& Port() const { return portStr_; }
    virtual void SetPort(const std::string& value);
    const std::string& Proto() const { return protoStr_; }
    virtual void SetProto(const std::string& value);
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& value);
    const std::string& LocalPort() const { return localPortStr_; }
    void SetLocalPort(const std::string& value);
    // "error" unless connected.
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    const std::string& DnsResult() const { return dnsResult_; }
    const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }
    TSocketState State() const { return state_; }
    TSocket HSocket() const { return hSocket_; }
    // Bytes received by Receive/ReceiveFrom since the last close.
    long long ReadCount() const { return readCount_; }
    // Bytes that can be read now; -1 (reported) when the query fails.
    virtual int RcvdCount();
    int LastError() const { return lastError_; }
    // Kept for the callers that set it; either way ProcessPendingMessages pumps the component's
    // own loop, the only queue a thread has here.
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool value) { multiThreaded_ = value; }
    // Seconds FlushSendQueue and DrainUntilClosed wait at most; 0 or less waits without limit.
    int FlushTimeout() const { return flushTimeout_; }
    void SetFlushTimeout(int value) { flushTimeout_ = value; }
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags value);
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff value) { lingerOnOff_ = value; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int value) { lingerTimeout_ = value; }
    // Bytes a fast stream gathers before each read notification; 0 (the default) notifies as
    // soon as anything arrives. A stream that slows down is notified at once again within a few
    // tens of milliseconds. Kept across closes; applies from the next connection or accept on.
    int ReceiveBatch() const { return receiveBatch_; }
    void SetReceiveBatch(int bytes) { receiveBatch_ = bytes; }
    // Size of each new send-queue block.
    int BufSize() const { return sendBlockSize_; }
    void SetBufSize(int value) { sendBlockSize_ = value > 0 ? value : TBuffer::kDefaultSize; }
    // Number of blocks in the send queue (a drained queue keeps one empty block for reuse).
    int SendQueueBlocks() const { return static_cast<int>(bufList_.size()); }
    // Bytes queued and not yet handed to the platform.
    long long BufferedByteCount() const;
    bool AllSent() const { return allSent_; }
    // Set when a wait of this component met the loop's quit flag.
    bool Terminated() const { return terminated_; }

    // Operations.
    virtual void Connect();
    virtual void Close();
    // Posts a close that runs later from the loop.
    virtual void CloseLater();
    // Posts the destruction of the component, to run later from the loop. The component must
    // have been created with new and be owned by nobody else.
    virtual void ReleaseLater();
    virtual void Abort();
    // Sends what is queued, waiting in the loop (at most FlushTimeout seconds) until it is gone.
    virtual void FlushSendQueue();
    virtual void DrainUntilClosed();
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket NewHSocket);
    // Reads at most BufferSize bytes straight into Buffer: >0 bytes read, 0 the peer closed,
    // -1 error (LastError; 10035 when nothing is waiting).
    virtual int Receive(void* Buffer, int BufferSize);
    // Whether the bytes Receive would return next come straight from the platform socket, with
    // no layer holding or changing any: only then can ReceiveToPipe take them.
    virtual bool ReceivesStraight() const { return true; }
    // Moves at most BufferSize received bytes into the pipe PipeFd within the kernel, without
    // copying them through this process; the pipe must be empty. Results as Receive's, and -1
    // with 10045 when the bytes do not come straight.
    int ReceiveToPipe(int PipeFd, int BufferSize);
    virtual std::string ReceiveText();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    // Queues the bytes and sends what the platform takes at once; returns Len, or -1 when not
    // connected (reported as error 10057, "Send").
    virtual int Send(const void* Data, int Len);
    virtual int SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    virtual void StartDnsLookup(const std::string& HostName);
    virtual void StartReverseLookup(const std::string& HostAddr);
    virtual void CancelLookup();
    // 0 on success, SOCKET_ERROR otherwise (the peer's only while connected).
    virtual int GetPeerSocketAddress(sockaddr_in& Addr, int& AddrLen);
    virtual int GetLocalSocketAddress(sockaddr_in& Addr, int& AddrLen);
    virtual std::string GetLocalPortText();
    virtual void Shutdown(int How);
    virtual void PauseNotifications();
    virtual void ResumeNotifications();
    // Handles what the loop has ready now, without blocking.
    virtual void ProcessPendingMessages();

    // Events; each fires only when assigned.
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TNotifyEvent OnLineTooLong;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual void HandleNotification(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);
    virtual void ResetToDefaults();
    virtual void InternalClose(bool bShut, std::uint16_t Error);
    virtual void BindLocal();
    virtual int RawSend(const void* Data, int Len);
    virtual void RaiseSocketError(const std::string& Msg);
    // The platform's last error number n is reported as "Error n in function <label>".
    void ReportSocketError(const std::string& sockfunc);
    void ReportSocketError(const std::string& sockfunc, int error);
    virtual void HandleBackgroundException(const std::exception& E);

    // Triggers. TriggerDataAvailable returns whether a handler was assigned.
    virtual bool TriggerDataAvailable(std::uint16_t Error);
    virtual void TriggerSessionAvailable(std::uint16_t Error);
    virtual void TriggerSessionConnected(std::uint16_t Error);
    virtual void TriggerSessionClosed(std::uint16_t Error);
    virtual void TriggerDataSent(std::uint16_t Error);
    virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
    virtual void TriggerDNSLookupDone(std::uint16_t Error);
    virtual void TriggerError();

    virtual int RawReceive(void* Buffer, int BufferSize);
    virtual int RawReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);

    void ChangeState(TSocketState NewState);
    void ApplyLinger();
    void TryToSend();
    void ClearSendQueue();
    void ReceiveLoop(std::uint16_t Error);
    bool Destroying() const { return destroying_; }
    // Changes with every session the socket starts (a descriptor opened or adopted).
    unsigned SessionNumber() const { return session_; }
    // A session is open that the owner has not been told is closed: Connect must refuse.
    bool InUse() const;
    // For a layer that connects somewhere else than Addr:Port (the SOCKS proxy): Connect uses this
    // address (network order) and port (host order) instead of resolving Addr and Port.
    void SetRemoteResolved(std::uint32_t Address, std::uint16_t PortNumber);

    platform::NotificationObject& Notification() { return *notification_; }
    // Ends the receive batching of this connection: a reader that takes the socket in parts
    // would leave less than the batch waiting, unreported until the batching's next tick.
    void StopReceiveBatching();

private:
    // Keeps the tally of a read's result n (last error, bytes read, whether the socket was
    // drained) and gives n back.
    int NoteReceived(int n, int BufferSize);
    // One read of the platform socket by read(descriptor, length): refused without a socket;
    // its result re-arms the read notification or reports the close.
    template <class Read>
    int ReadSocket(int BufferSize, Read read);
    // Addr, Port and Proto change only while closed; a new text is resolved again at Connect.
    void SetRemoteText(const char* property, const std::string& value, std::string& text,
                       bool& assigned, bool& resolved);
    void HandleSelect(std::uintptr_t fd, unsigned events, unsigned error);
    // An empty name is refused (and told as a finished lookup); a lookup still under way is
    // dropped, since a new one replaces its answer.
    bool PrepareLookup(const std::string& name);
    void CheckLookupStarted(const std::string& name);
    void HandleLookupDone(unsigned msg, std::uintptr_t handle, unsigned error);
    void QueueSendData(const void* Data, int Len);
    void Select(unsigned mask);
    void Unselect();
    // Blocks in the loop until something happens or the deadline passes; false when the loop
    // quit (the terminated flag is then set) or the deadline passed.
    bool WaitForEvents(platform::EventLoop::Clock::time_point deadline);
    platform::EventLoop::Clock::time_point FlushDeadline() const;
    // Resolves what is not resolved yet; a failure raises "<where>: " + the resolver's message.
    void ResolveForConnect(const std::string& where, bool withLocalPort);
    // Adopts a new descriptor (or INVALID_SOCKET after a failed socket()) as a new session.
    void StartSession(TSocket handle);
    void CloseHandleQuietly();
    // After a pass whose handler read nothing: reports the end of the stream when that is why
    // the socket was readable.
    void NoticeEndOfStream(TSocket fd);

    platform::EventLoop& loop_;
    std::unique_ptr<platform::NotificationObject> notification_;
    std::unique_ptr<platform::AsyncSelect> select_;
    std::unique_ptr<platform::Resolver> resolver_;

    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;
    TSocket acceptedHSocket_ = INVALID_SOCKET;
    std::list<std::unique_ptr<TBuffer>> bufList_;
    int sendBlockSize_ = TBuffer::kDefaultSize;
    int receiveBatch_ = 0;
    int sendFlags_ = 0;
    bool allSent_ = true;
    int lastError_ = 0;
    std::uintptr_t lookupHandle_ = 0;
    TSocket hSocket_ = INVALID_SOCKET;
    std::string addrStr_;
    bool addrAssigned_ = false;
    bool addrResolved_ = false;
    int addrFormat_ = AF_INET;
    int proto_ = 6;
    bool protoAssigned_ = true;
    bool protoResolved_ = false;
    bool localPortResolved_ = false;
    std::string protoStr_ = "tcp";
    std::string portStr_;
    bool portAssigned_ = false;
    bool portResolved_ = false;
    std::uint16_t portNum_ = 0;
    std::string localPortStr_ = "0";
    std::uint16_t localPortNum_ = 0;
    std::string localAddr_ = "0.0.0.0";
    int type_ = 1;  // 1 stream, 2 datagram
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;
    long long readCount_ = 0;
    bool paused_ = false;
    bool closeInvoked_ = false;
    // Counts the sessions started (descriptors opened or adopted).
    unsigned session_ = 0;
    int flushTimeout_ = 60;
    bool multiThreaded_ = false;
    TSocketState state_ = wsClosed;
    bool terminated_ = false;
    bool destroying_ = false;
    sockaddr_in sin_{};
    // Reads made by the owner during one pass of the receive loop; a pass that reads nothing
    // ends the loop.
    long receivesThisPass_ = 0;
    // The owner's last read found the socket empty (it got less than it asked for), so the pass
    // needs no query of what is left.
    bool drainedThisPass_ = false;
};

// --- The layers between the core and TWSocket ---------------------------------------------------

// The SOCKS 4/4A/5 client layer. With SocksServer set, Connect goes to the proxy and runs the
// negotiation there; OnSessionConnected fires once the proxy has connected Addr:Port (or the
// negotiation failed), so the owner sees the destination as if it were reached directly. Every
// close clears SocksServer and SocksPort and sets SocksLevel back to "5": set them again before
// each Connect that is to go through the proxy.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(platform::EventLoop& loop);

    const std::string& SocksServer() const { return socksServer_; }
    virtual void SetSocksServer(const std::string& value);
    const std::string& SocksPort() const { return socksPort_; }
    virtual void SetSocksPort(const std::string& value);
    // "4", "4A" or "5".
    const std::string& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const std::string& value);
    const std::string& SocksUsercode() const { return socksUsercode_; }
    void SetSocksUsercode(const std::string& value) { socksUsercode_ = value; }
    const std::string& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const std::string& value) { socksPassword_ = value; }
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) { socksAuthentication_ = value; }
    // The proxy's own end of the connection to the destination, from the last SOCKS 5 reply.
    const std::string& SocksBoundAddr() const { return boundAddr_; }
    const std::string& SocksBoundPort() const { return boundPort_; }

    void Connect() override;
    void Listen() override;
    // Bytes that came with the SOCKS 5 reply and are not yet read, else the base count.
    int RcvdCount() override;
    bool ReceivesStraight() const override;

    TSocksErrorEvent OnSocksError;
    TSessionConnected OnSocksConnected;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void ResetToDefaults() override;
    void InternalClose(bool bShut, std::uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionConnected(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    virtual void TriggerSocksConnected(std::uint16_t Error);
    virtual void TriggerSocksError(int Error, const std::string& Msg);
    virtual void TriggerSocksAuthState(TSocksAuthState AuthState);
    // From Connect through a proxy until the proxy has connected the destination or failed.
    bool SocksNegotiating() const { return socksPhase_ != kSocksIdle; }

private:
    enum TSocksPhase : std::uint8_t {
        kSocksIdle,             // no proxy, or the negotiation is over
        kSocksAwaitingMethod,   // connecting to the proxy, then its SOCKS 5 method choice
        kSocksAwaitingAuth,     // the RFC 1929 reply to the credentials
        kSocksAwaitingConnect,  // the reply to the connect request
    };

    // Raises the error and says false when the socket is not closed.
    bool SocksSettingChangeable(const char* setting);
    void SocksProxyReached(std::uint16_t Error);
    void SocksSendConnectRequest();
    void SocksSendCredentials();
    // A request that could not be built fails the negotiation instead of being sent.
    void SocksSendRequest(const socks::Request& request);
    void SocksSend(const std::string& bytes);
    // Reads what the proxy sent behind the reply bytes held, up to `limit` held in all; false
    // when nothing came.
    bool SocksReadReply(std::size_t limit);
    // False while the reply is short of bytes, and when it is bad, which fails the negotiation.
    bool SocksReplyComplete(const socks::ReplyParse& reply);
    void SocksHandleMethodReply();
    void SocksHandleAuthReply();
    void SocksHandleConnectReply();
    void SocksSucceeded();
    void FailSocks(int Error, const std::string& Msg);

    std::uint8_t socksPhase_ = kSocksIdle;
    std::string socksServer_;
    std::string socksLevel_ = "5";
    std::string socksPort_;
    std::string socksUsercode_;
    std::string socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    std::uint8_t requestedMethod_ = 0;
    std::uint16_t destPort_ = 0;
    std::string boundAddr_;
    std::string boundPort_;
    std::string socksReply_;
    // Destination bytes that came in the same read as the SOCKS 5 reply; Receive gives them first.
    std::string leftover_;
    std::size_t leftoverPos_ = 0;
    // A failure of this negotiation has been reported (OnSessionConnected fired with its error).
    bool socksFailed_ = false;
};

// The TLS layer (client side, on OpenSSL with memory buffers: the socket below still does all
// the network input and output, without blocking). TLS is started on a connected socket, after
// the SOCKS negotiation when there is one:
//
//     socket.SetTlsHostName("ftp.example.org");      // what the certificate must name
//     socket.SetTlsResumeSession(control.TlsSession());  // a data connection: resume the control's
//     socket.StartTls();                             // from OnSessionConnected, or after "234"
//
// An FTP client does this for the control connection once the server has answered AUTH TLS
// with 234, and for each data connection: from OnSessionConnected when passive, and right after
// Dup when active (FTP's client is TLS's client either way; a Dup'ed socket has no Addr, so the
// host name must be set). The data connection offers the control connection's TlsSession(),
// taken when the data connection is opened, not right after the control's handshake, since
// TLS 1.3 servers send it later. The FTP client's own bytes go through Send and Receive as
// before; nothing else changes for it.
//
// OnTlsDone(0) then says that the handshake is done and the certificate passed the checks: the
// system's trust store (plus TlsCaFile, for tests and private servers) and the host name
// (TlsHostName, else Addr; a dotted address is checked against the certificate's addresses).
// Until then bytes given to Send are held, and OnDataAvailable and OnDataSent stay quiet. From
// then on Send encrypts, Receive and RcvdCount give decrypted bytes, line mode cuts decrypted
// lines. A failure fires OnTlsError (code, English text), then OnTlsDone (code) when it struck
// during the handshake, and closes the session with that code (OnSessionClosed). Close sends
// TLS's close_notify first; a peer that ends the connection without one closes the session with
// kTlsErrTruncated, since its data may have been cut. Every close ends TLS on the socket; the
// settings hold for the next StartTls.
class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomTlsWSocket(platform::EventLoop& loop);
    ~TCustomTlsWSocket() override;

    // The name the server's certificate must carry; empty means Addr. Through a host name lookup
    // done beforehand Addr is the dotted address, so the owner sets the name here.
    const std::string& TlsHostName() const { return tlsHostName_; }
    void SetTlsHostName(const std::string& value) { tlsHostName_ = value; }
    // A PEM file of authorities trusted besides the system's; empty for none.
    const std::string& TlsCaFile() const { return tlsCaFile_; }
    void SetTlsCaFile(const std::string& value) { tlsCaFile_ = value; }
    // The session the next StartTls offers to resume (empty: a full handshake).
    const TTlsSession& TlsResumeSession() const { return tlsResumeSession_; }
    void SetTlsResumeSession(TTlsSession value) { tlsResumeSession_ = std::move(value); }

    // Starts the handshake on the connected socket; the outcome comes with OnTlsDone. Refused
    // (RaiseSocketError) when the socket is not connected or TLS is already on.
    void StartTls();

    // From StartTls until the session closes.
    bool TlsActive() const;
    bool TlsHandshaking() const;
    // The handshake is done and the certificate passed the checks.
    bool TlsEstablished() const;
    // The newest resumable session of this connection (with TLS 1.3 the server sends it after
    // the handshake, so it is there once some data has come); kept after the close, until the
    // next StartTls. Empty when there is none.
    TTlsSession TlsSession() const { return tlsLatestSession_; }
    // The handshake resumed TlsResumeSession instead of making a new session.
    bool TlsSessionReused() const;
    // "TLSv1.3", "TLS_AES_256_GCM_SHA384"; empty before the handshake is done.
    std::string TlsVersion() const;
    std::string TlsCipher() const;

    int RcvdCount() override;
    bool ReceivesStraight() const override;
    int Send(const void* Data, int Len) override;

    TSessionConnected OnTlsDone;
    TTlsErrorEvent OnTlsError;

protected:
    void HandleNotification(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) override;
    void ResetToDefaults() override;
    void InternalClose(bool bShut, std::uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    void TriggerDataSent(std::uint16_t Error) override;
    virtual void TriggerTlsDone(std::uint16_t Error);
    virtual void TriggerTlsError(int Error, const std::string& Msg);

private:
    struct Tls;  // the OpenSSL side of one TLS session on the socket

    // The TLS of the socket's current session; null when TLS is off (or belonged to an earlier
    // session, which is then dropped).
    Tls* Current() const;
    void EndTls();
    // Reads once from the socket into OpenSSL's input: the socket's result.
    int ReadCiphertext(Tls& tls);
    // Sends what OpenSSL has written; false when that ended this TLS (the connection was dead).
    bool FlushCiphertext(Tls& tls);
    void ContinueHandshake(Tls& tls);
    void HandshakeDone(Tls& tls);
    // Decrypts into Buffer, reading the network when nothing is decrypted yet: > 0 bytes, 0 at
    // the end of the TLS stream, -1 with the socket's last error set otherwise.
    int ReadPlain(Tls& tls, char* Buffer, int BufferSize);
    // Decrypts what has already come, without reading the network, into the held bytes; false
    // when this TLS has ended meanwhile.
    bool DecryptAhead(Tls& tls);
    // The peer's close_notify: the end of its data.
    void PeerEndedTls(Tls& tls);
    void PostIfDataPending(Tls& tls);
    // A failure met inside a call of the owner is told from the loop.
    void FailLater(Tls& tls, int Error, const std::string& Msg);
    void FailTls(int Error, const std::string& Msg, bool InHandshake);

    std::string tlsHostName_;
    std::string tlsCaFile_;
    TTlsSession tlsResumeSession_;
    TTlsSession tlsLatestSession_;
    std::unique_ptr<Tls> tls_;
    std::unique_ptr<Tls> retiredTls_;
    unsigned tlsGeneration_ = 0;
};

// The line-mode layer. With LineMode on, received bytes are gathered and handed to the owner one
// line (ended by LineEnd) at a time, each through its own OnDataAvailable, in which RcvdCount is
// what is left of that line. LineEdit applies backspace and tab, LineEcho sends the bytes back.
// An unfinished line longer than MaxLineLength is refused: OnLineTooLong fires, the bytes held
// are dropped and the session closes with kLineTooLongError (OnSessionClosed tells it), so a
// peer that never ends its line cannot make the buffer grow without bound.
class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    // Far above any line a text protocol sends (an FTP reply line is a few hundred bytes at most).
    static constexpr std::size_t kDefaultMaxLineLength = std::size_t{1} << 20;
    // "Message too long" among the socket error texts.
    static constexpr std::uint16_t kLineTooLongError = 10040;

    explicit TCustomLineWSocket(platform::EventLoop& loop);

    bool LineMode() const { return lineMode_; }
    virtual void SetLineMode(bool value);
    const std::string& LineEnd() const { return lineEnd_; }
    void SetLineEnd(const std::string& value) { lineEnd_ = value; }
    bool LineEcho() const { return lineEcho_; }
    void SetLineEcho(bool value) { lineEcho_ = value; }
    bool LineEdit() const { return lineEdit_; }
    void SetLineEdit(bool value) { lineEdit_ = value; }
    // Bytes an unfinished line may hold in line mode before the session is closed.
    std::size_t MaxLineLength() const { return maxLineLength_; }
    void SetMaxLineLength(std::size_t value) { maxLineLength_ = value; }

    // In line mode, during a delivery: what is left of the line; 0 otherwise. Outside line mode,
    // bytes still held from line mode come first, then the lower layers' count.
    int RcvdCount() override;
    bool ReceivesStraight() const override;

protected:
    void HandleNotification(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    // Edits the bytes received from `from` on; returns the lowest position editing changed
    // (`from` when it changed nothing before it).
    virtual std::size_t ApplyLineEditing(std::size_t from);
    // Bytes received in line mode and not yet read by the owner.
    std::size_t LineBufferCount() const { return lineBuffer_.Size(); }

private:
    bool Cutting() const { return lineMode_ && !lineEnd_.empty(); }
    void ReceiveIntoLineBuffer();
    void DeliverLines();
    void RefuseEndlessLine();
    void Redeliver();
    void Echo(const std::string& bytes);

    LineBuffer lineBuffer_;
    std::string lineEnd_ = "\r\n";
    bool lineMode_ = false;
    bool lineEcho_ = false;
    bool lineEdit_ = false;
    std::size_t maxLineLength_ = kDefaultMaxLineLength;
    // During a delivery: the bytes of the current line (terminator included) not yet read.
    std::size_t linePending_ = 0;
    bool delivering_ = false;
    // Counts closed sessions, so a delivery notices that its handler closed the socket.
    unsigned sessionSerial_ = 0;
};

// WaitForFlag's result when the wait ended without the flag: the time-out passed or the loop quit.
constexpr int kWaitForFlagEnded = 12001;

// The synchronous-wait layer: waits in the event loop until a flag that some event sets.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(platform::EventLoop& loop);

    // Milliseconds a wait lasts at most; 0 waits without limit.
    int SyncTimeout() const { return syncTimeout_; }
    void SetSyncTimeout(int value) { syncTimeout_ = value; }

    // Dispatches events until Flag is set: 0; kWaitForFlagEnded when the time-out passed or the
    // loop quit first. Blocks in the loop between events; never spins.
    virtual int WaitForFlag(bool& Flag);
    // Clears Flag, runs Step (when given), then waits for Flag.
    virtual int RunAndWait(bool& Flag, const std::function<void()>& Step);

private:
    int syncTimeout_ = 0;
};

// The socket the program creates.
class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(platform::EventLoop& loop);
};
