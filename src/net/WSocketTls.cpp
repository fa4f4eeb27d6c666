// TCustomTlsWSocket: TLS on OpenSSL over the socket's own non-blocking input and output. OpenSSL
// reads and writes two memory buffers only; this layer carries the bytes between them and the
// socket below: received ciphertext into the input buffer, the output buffer into the send queue.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "net/OpenSslLibrary.h"
#include "net/WSocket.h"
#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

namespace sockets = platform::sockets;

namespace {

// The library, once StartTls has loaded it; nothing here runs before that.
const OpenSslLibrary& Lib() { return LoadedOpenSsl(); }

}  // namespace

struct TlsSessionData {
    explicit TlsSessionData(SSL_SESSION* session) : Session(session) {}
    ~TlsSessionData() { Lib().SSL_SESSION_free(Session); }
    TlsSessionData(const TlsSessionData&) = delete;
    TlsSessionData& operator=(const TlsSessionData&) = delete;
    SSL_SESSION* Session;
};

namespace {

// Ciphertext read from the socket at a time: a few full records.
constexpr int kCipherChunk = 64 * 1024;
// Bytes decrypted ahead of the owner's reads at most; the rest waits, still encrypted.
constexpr std::size_t kPlainAhead = 256 * 1024;

struct SslFree {
    void operator()(SSL* ssl) const { Lib().SSL_free(ssl); }
};

// OpenSSL's newest error, as text; the queue is emptied.
std::string OpenSslError()
{
    unsigned long code = Lib().ERR_peek_last_error();
    Lib().ERR_clear_error();
    if (code == 0)
        return "no detail from OpenSSL";
    char text[256];
    Lib().ERR_error_string_n(code, text, sizeof text);
    return text;
}

int VerifyFailureCode(long result)
{
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return kTlsErrHostName;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return kTlsErrExpired;
    default:
        return kTlsErrUntrusted;
    }
}

struct ErrorTexts {
    int Code;
    const char* English;
    const char* Portuguese;
};

constexpr ErrorTexts kErrorTexts[] = {
    {kTlsErrHandshake, "TLS handshake failed", "Não foi possível estabelecer a conexão segura (TLS) com o servidor."},
    {kTlsErrUntrusted, "certificate not trusted", "O certificado do servidor não é de uma autoridade confiável."},
    {kTlsErrHostName, "certificate does not match the host name",
     "O certificado do servidor não corresponde ao nome do servidor."},
    {kTlsErrExpired, "certificate expired or not yet valid", "O certificado do servidor está vencido ou ainda não é válido."},
    {kTlsErrProtocol, "TLS protocol error", "A conexão segura (TLS) com o servidor apresentou um erro."},
    {kTlsErrTruncated, "connection closed without TLS close_notify",
     "O servidor encerrou a conexão segura (TLS) de forma inesperada; os dados podem estar incompletos."},
    {kTlsErrSetup, "TLS setup failed", "Não foi possível preparar a conexão segura (TLS)."},
};

const ErrorTexts* FindErrorTexts(int code)
{
    for (const ErrorTexts& texts : kErrorTexts)
        if (texts.Code == code)
            return &texts;
    return nullptr;
}

using NewSessionCallback = int (*)(SSL*, SSL_SESSION*);

// The client context for a CA file (none: the system's trust store only), made once and shared by
// every connection of the program: reading the trust store costs about 20 ms and 1.5 MiB, which
// each data connection would pay again. A CA file changed on disk gets a context of its own.
SSL_CTX* SharedContext(const std::string& caFile, NewSessionCallback keepSession, std::string& error)
{
    struct stat info{};
    long long stamp = !caFile.empty() && ::stat(caFile.c_str(), &info) == 0
                          ? static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec
                          : 0;
    static std::mutex guard;
    // Never destroyed: connections may still be closing while the program ends.
    static auto& contexts = *new std::map<std::pair<std::string, long long>, SSL_CTX*>;
    std::lock_guard<std::mutex> lock(guard);
    auto found = contexts.find({caFile, stamp});
    if (found != contexts.end())
        return found->second;

    const OpenSslLibrary& ssl = Lib();
    ssl.ERR_clear_error();
    SSL_CTX* ctx = ssl.SSL_CTX_new(ssl.TLS_client_method());
    if (ctx == nullptr) {
        error = OpenSslError();
        return nullptr;
    }
    ssl.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    ssl.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (ssl.SSL_CTX_set_default_verify_paths(ctx) != 1) {
        error = "the system's trust store: " + OpenSslError();
        ssl.SSL_CTX_free(ctx);
        return nullptr;
    }
    if (!caFile.empty() && ssl.SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        error = "cannot read the CA file " + caFile + ": " + OpenSslError();
        ssl.SSL_CTX_free(ctx);
        return nullptr;
    }
    // Sessions are kept by each socket, not in a cache of the context.
    ssl.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE,
                     nullptr);
    ssl.SSL_CTX_sess_set_new_cb(ctx, keepSession);
    contexts.emplace(std::make_pair(caFile, stamp), ctx);
    return ctx;
}

}  // namespace

std::string TlsErrorDescription(int ErrCode)
{
    const ErrorTexts* texts = FindErrorTexts(ErrCode);
    return texts != nullptr ? texts->English : "Not a TLS error";
}

std::string TlsErrorUserText(int ErrCode)
{
    const ErrorTexts* texts = FindErrorTexts(ErrCode);
    return texts != nullptr ? texts->Portuguese : "Erro desconhecido na conexão segura (TLS).";
}

struct TCustomTlsWSocket::Tls {
    enum Phase { kHandshaking, kOpen, kFailed };

    unsigned Generation = 0;
    unsigned Session = 0;  // the socket's session this TLS runs on
    Phase State = kHandshaking;
    std::unique_ptr<SSL, SslFree> Ssl;
    BIO* In = nullptr;   // received ciphertext; owned by Ssl
    BIO* Out = nullptr;  // ciphertext to send; owned by Ssl
    // Decrypted bytes the owner has not read yet (ahead of what Ssl still holds).
    std::string Plain;
    std::size_t PlainPos = 0;
    // Bytes the owner sent during the handshake.
    std::string HeldSend;
    // A failure met inside a call of the owner, told from the loop (0: none waiting).
    int FailCode = 0;
    std::string FailMessage;
    bool FailedInHandshake = false;
    bool PeerCloseNotify = false;
    bool ClosingHere = false;
    bool DataPendingPosted = false;
    TCustomTlsWSocket* Owner = nullptr;

    std::size_t PlainHeld() const { return Plain.size() - PlainPos; }
    void HoldPlain(const char* bytes, std::size_t count)
    {
        // What has been read is dropped once it outweighs the rest.
        if (PlainPos == Plain.size() || PlainPos > Plain.size() / 2) {
            Plain.erase(0, PlainPos);
            PlainPos = 0;
        }
        Plain.append(bytes, count);
    }
};

TCustomTlsWSocket::TCustomTlsWSocket(platform::EventLoop& loop) : TCustomSocksWSocket(loop) {}

TCustomTlsWSocket::~TCustomTlsWSocket() = default;

TCustomTlsWSocket::Tls* TCustomTlsWSocket::Current() const
{
    if (tls_ && tls_->Session == SessionNumber() && HSocket() != INVALID_SOCKET)
        return tls_.get();
    return nullptr;
}

bool TCustomTlsWSocket::TlsActive() const { return Current() != nullptr; }

bool TCustomTlsWSocket::TlsHandshaking() const
{
    Tls* tls = Current();
    return tls != nullptr && tls->State == Tls::kHandshaking;
}

bool TCustomTlsWSocket::TlsEstablished() const
{
    Tls* tls = Current();
    return tls != nullptr && tls->State == Tls::kOpen;
}

bool TCustomTlsWSocket::TlsSessionReused() const
{
    Tls* tls = Current();
    return tls != nullptr && tls->State == Tls::kOpen && Lib().SSL_session_reused(tls->Ssl.get()) == 1;
}

std::string TCustomTlsWSocket::TlsVersion() const
{
    Tls* tls = Current();
    return tls != nullptr && tls->State == Tls::kOpen ? Lib().SSL_get_version(tls->Ssl.get()) : "";
}

std::string TCustomTlsWSocket::TlsCipher() const
{
    Tls* tls = Current();
    if (tls == nullptr || tls->State != Tls::kOpen)
        return "";
    const char* name = Lib().SSL_CIPHER_get_name(Lib().SSL_get_current_cipher(tls->Ssl.get()));
    return name != nullptr ? name : "";
}

void TCustomTlsWSocket::ResetToDefaults()
{
    TCustomSocksWSocket::ResetToDefaults();
    EndTls();
}

void TCustomTlsWSocket::EndTls()
{
    // Kept until the next StartTls: a close can come from deep inside a call that still holds
    // the session (a send that finds the connection dead), which must not find it freed.
    if (tls_)
        retiredTls_ = std::move(tls_);
}

// --- Starting -----------------------------------------------------------------------------------

void TCustomTlsWSocket::StartTls()
{
    if (State() != wsConnected || HSocket() == INVALID_SOCKET || SocksNegotiating()) {
        RaiseSocketError("StartTls: socket not connected");
        return;
    }
    if (Current() != nullptr) {
        RaiseSocketError("StartTls: TLS already started on this connection");
        return;
    }
    std::string host = tlsHostName_.empty() ? Addr() : tlsHostName_;
    if (host.empty()) {
        RaiseSocketError("StartTls: no host name to check the certificate against");
        return;
    }

    // TLS takes the socket a record or a chunk at a time (ReadPlain), not all that is there.
    StopReceiveBatching();
    retiredTls_.reset();
    auto tls = std::make_unique<Tls>();
    tls->Generation = ++tlsGeneration_;
    tls->Session = SessionNumber();
    tls->Owner = this;
    tlsLatestSession_.reset();
    Tls& t = *tls;
    tls_ = std::move(tls);

    std::string why;
    if (LoadOpenSsl(why) == nullptr) {
        FailLater(t, kTlsErrSetup, "TLS setup failed: " + why);
        return;
    }
    // Each session the server sends replaces the one before, for TlsSession.
    auto keepSession = [](SSL* ssl, SSL_SESSION* session) -> int {
        auto* owner = static_cast<Tls*>(Lib().SSL_get_ex_data(ssl, 0));
        if (owner == nullptr || Lib().SSL_SESSION_is_resumable(session) != 1)
            return 0;
        owner->Owner->tlsLatestSession_ = std::make_shared<const TlsSessionData>(session);
        return 1;  // the reference is ours now
    };
    SSL_CTX* ctx = SharedContext(tlsCaFile_, keepSession, why);
    if (ctx == nullptr) {
        FailLater(t, kTlsErrSetup, "TLS setup failed: " + why);
        return;
    }
    t.Ssl.reset(Lib().SSL_new(ctx));
    t.In = Lib().BIO_new(Lib().BIO_s_mem());
    t.Out = Lib().BIO_new(Lib().BIO_s_mem());
    if (!t.Ssl || t.In == nullptr || t.Out == nullptr) {
        Lib().BIO_free(t.In);
        Lib().BIO_free(t.Out);
        t.In = t.Out = nullptr;
        FailLater(t, kTlsErrSetup, "TLS setup failed: " + OpenSslError());
        return;
    }
    SSL* ssl = t.Ssl.get();
    Lib().SSL_set_bio(ssl, t.In, t.Out);
    Lib().SSL_set_ex_data(ssl, 0, &t);
    Lib().SSL_set_connect_state(ssl);
    // An address is checked against the certificate's addresses and is no name to send.
    bool named = IsDottedAddress(host)
                     ? Lib().X509_VERIFY_PARAM_set1_ip_asc(Lib().SSL_get0_param(ssl), host.c_str()) == 1
                     : Lib().SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                      const_cast<char*>(host.c_str())) == 1 &&
                           Lib().SSL_set1_host(ssl, host.c_str()) == 1;
    if (!named) {
        FailLater(t, kTlsErrSetup, "TLS setup failed: the host name " + host + ": " + OpenSslError());
        return;
    }
    if (tlsResumeSession_)
        Lib().SSL_set_session(ssl, tlsResumeSession_->Session);
    ContinueHandshake(t);
}

// --- Moving ciphertext ------------------------------------------------------------------------

int TCustomTlsWSocket::ReadCiphertext(Tls& tls)
{
    // Bytes the SOCKS reply brought along come first, as for any reader.
    char buffer[kCipherChunk];
    int n = TCustomSocksWSocket::RawReceive(buffer, sizeof buffer);
    if (n > 0)
        Lib().BIO_write(tls.In, buffer, n);
    return n;
}

bool TCustomTlsWSocket::FlushCiphertext(Tls& tls)
{
    if (tls.Out == nullptr)
        return Current() == &tls;  // set-up failed before there was anything to send
    char* data = nullptr;
    long length = Lib().BIO_ctrl(tls.Out, BIO_CTRL_INFO, 0, &data);
    if (length <= 0)
        return Current() == &tls;
    std::string bytes(data, static_cast<std::size_t>(length));
    (void)Lib().BIO_ctrl(tls.Out, BIO_CTRL_RESET, 0, nullptr);
    // A connection already gone takes nothing; its close is reported on its own.
    if (State() == wsConnected && HSocket() != INVALID_SOCKET) {
        try {
            TCustomSocksWSocket::Send(bytes.data(), static_cast<int>(bytes.size()));
        } catch (const std::exception&) {
        }
    }
    // The send may have found the connection dead and closed it, ending this TLS.
    return Current() == &tls;
}

// --- The handshake ----------------------------------------------------------------------------

void TCustomTlsWSocket::ContinueHandshake(Tls& tls)
{
    Lib().ERR_clear_error();
    int rc = Lib().SSL_do_handshake(tls.Ssl.get());
    if (!FlushCiphertext(tls))
        return;
    if (rc == 1) {
        HandshakeDone(tls);
        return;
    }
    int error = Lib().SSL_get_error(tls.Ssl.get(), rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return;
    long verify = Lib().SSL_get_verify_result(tls.Ssl.get());
    if (verify != X509_V_OK) {
        int code = VerifyFailureCode(verify);
        Lib().ERR_clear_error();
        FailTls(code, TlsErrorDescription(code) + ": " + Lib().X509_verify_cert_error_string(verify), true);
        return;
    }
    FailTls(kTlsErrHandshake, "TLS handshake failed: " + OpenSslError(), true);
}

void TCustomTlsWSocket::HandshakeDone(Tls& tls)
{
    tls.State = Tls::kOpen;
    if (!tlsLatestSession_) {
        // TLS 1.2 names its session in the handshake; 1.3 sends it afterwards (the callback).
        SSL_SESSION* session = Lib().SSL_get1_session(tls.Ssl.get());
        if (session != nullptr && Lib().SSL_SESSION_is_resumable(session) == 1)
            tlsLatestSession_ = std::make_shared<const TlsSessionData>(session);
        else
            Lib().SSL_SESSION_free(session);
    }
    std::string held;
    held.swap(tls.HeldSend);
    const unsigned generation = tls.Generation;
    TriggerTlsDone(0);
    if (Current() == nullptr || Current()->Generation != generation)
        return;
    if (!held.empty())
        Send(held.data(), static_cast<int>(held.size()));
    // Application data may have come with the server's last handshake message.
    if (Current() == &tls && DecryptAhead(tls))
        PostIfDataPending(tls);
}

// --- Reading ----------------------------------------------------------------------------------

int TCustomTlsWSocket::ReadPlain(Tls& tls, char* Buffer, int BufferSize)
{
    if (tls.PeerCloseNotify) {
        // Nothing more comes under TLS, but the end of the connection is only learnt from a
        // read of the socket; whatever else arrived would be no data of the peer's.
        char ignored[512];
        TCustomSocksWSocket::RawReceive(ignored, sizeof ignored);
        return 0;
    }
    SSL* ssl = tls.Ssl.get();
    int total = 0;
    bool networkRead = false;
    while (total < BufferSize) {
        Lib().ERR_clear_error();
        int n = Lib().SSL_read(ssl, Buffer + total, BufferSize - total);
        if (n > 0) {
            total += n;
            continue;
        }
        int error = Lib().SSL_get_error(ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN) {
            PeerEndedTls(tls);
            break;
        }
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            FailLater(tls, kTlsErrProtocol, "TLS protocol error: " + OpenSslError());
            if (total > 0)
                break;
            sockets::SetLastError(platform::WSAECONNABORTED);
            return -1;
        }
        if (!FlushCiphertext(tls)) {  // a key update or a ticket's answer
            sockets::SetLastError(platform::WSAECONNABORTED);
            return total > 0 ? total : -1;
        }
        // What has come is handed out; the network is read once per call at most, and only
        // for a caller that got nothing yet: the next readiness brings the rest.
        if (total > 0)
            break;
        if (networkRead) {
            // What came was TLS's own (a session ticket, say): no data yet, and no end either.
            sockets::SetLastError(platform::WSAEWOULDBLOCK);
            return -1;
        }
        networkRead = true;
        int got = ReadCiphertext(tls);
        if (got <= 0) {
            // The end of the connection comes as its close, which judges whether the peer
            // ended TLS first; until then there is only nothing to read.
            if (got == 0 || sockets::LastError() == 0)
                sockets::SetLastError(platform::WSAEWOULDBLOCK);
            return -1;
        }
    }
    return total;
}

bool TCustomTlsWSocket::DecryptAhead(Tls& tls)
{
    if (tls.State != Tls::kOpen)
        return Current() == &tls;
    SSL* ssl = tls.Ssl.get();
    char buffer[16 * 1024];
    while (tls.PlainHeld() < kPlainAhead && (Lib().SSL_pending(ssl) > 0 || Lib().BIO_ctrl_pending(tls.In) > 0)) {
        Lib().ERR_clear_error();
        int n = Lib().SSL_read(ssl, buffer, sizeof buffer);
        if (n > 0) {
            tls.HoldPlain(buffer, static_cast<std::size_t>(n));
            continue;
        }
        int error = Lib().SSL_get_error(ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN)
            PeerEndedTls(tls);
        else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            FailLater(tls, kTlsErrProtocol, "TLS protocol error: " + OpenSslError());
        break;
    }
    return FlushCiphertext(tls);
}

void TCustomTlsWSocket::PeerEndedTls(Tls& tls)
{
    if (tls.PeerCloseNotify)
        return;
    tls.PeerCloseNotify = true;
    // Answered at once, as TLS 1.2 demands: a peer that waits for the answer before it closes
    // the connection is not left waiting for the owner's Close.
    Lib().ERR_clear_error();
    if ((Lib().SSL_get_shutdown(tls.Ssl.get()) & SSL_SENT_SHUTDOWN) == 0)
        Lib().SSL_shutdown(tls.Ssl.get());
    Lib().ERR_clear_error();
    FlushCiphertext(tls);
}

void TCustomTlsWSocket::PostIfDataPending(Tls& tls)
{
    // Decrypted bytes come with no readiness of the socket, whose bytes have all been read: the
    // owner is told of them from the loop, as it is told of bytes that arrive.
    if (tls.DataPendingPosted || tls.State != Tls::kOpen)
        return;
    if (tls.PlainHeld() == 0 && Lib().SSL_pending(tls.Ssl.get()) == 0)
        return;
    tls.DataPendingPosted = true;
    Notification().Post(kWmTlsDataPending, tls.Generation);
}

int TCustomTlsWSocket::RcvdCount()
{
    Tls* tls = Current();
    if (tls == nullptr)
        return TCustomSocksWSocket::RcvdCount();
    if (tls->State != Tls::kOpen)
        return 0;
    if (tls->PlainHeld() == 0) {
        char buffer[16 * 1024];
        int n = ReadPlain(*tls, buffer, sizeof buffer);
        if (n > 0)
            tls->HoldPlain(buffer, static_cast<std::size_t>(n));
        if (Current() != tls || !DecryptAhead(*tls))
            return 0;
    }
    return static_cast<int>(tls->PlainHeld());
}

bool TCustomTlsWSocket::ReceivesStraight() const
{
    return Current() == nullptr && TCustomSocksWSocket::ReceivesStraight();
}

int TCustomTlsWSocket::RawReceive(void* Buffer, int BufferSize)
{
    Tls* tls = Current();
    // A zero-length read only probes the socket.
    if (tls == nullptr || BufferSize <= 0)
        return TCustomSocksWSocket::RawReceive(Buffer, BufferSize);
    if (tls->State == Tls::kHandshaking) {
        sockets::SetLastError(platform::WSAEWOULDBLOCK);
        return -1;
    }
    if (tls->State == Tls::kFailed) {
        sockets::SetLastError(platform::WSAECONNABORTED);
        return -1;
    }
    int n = 0;
    if (tls->PlainHeld() > 0) {
        std::size_t count = std::min(static_cast<std::size_t>(BufferSize), tls->PlainHeld());
        std::memcpy(Buffer, tls->Plain.data() + tls->PlainPos, count);
        tls->PlainPos += count;
        n = static_cast<int>(count);
    } else {
        n = ReadPlain(*tls, static_cast<char*>(Buffer), BufferSize);
    }
    if (n > 0 && Current() == tls && DecryptAhead(*tls))
        PostIfDataPending(*tls);
    return n;
}

bool TCustomTlsWSocket::TriggerDataAvailable(std::uint16_t Error)
{
    Tls* tls = Current();
    if (tls == nullptr || tls->State != Tls::kHandshaking)
        return TCustomSocksWSocket::TriggerDataAvailable(Error);
    if (Error != 0) {
        FailTls(kTlsErrHandshake, "TLS handshake failed: data receive error " + std::to_string(Error), true);
        return true;
    }
    // The handshake reads its replies itself, all that has come.
    bool any = false;
    for (int reads = 0; reads < 16 && ReadCiphertext(*tls) > 0; ++reads)
        any = true;
    if (any)
        ContinueHandshake(*tls);
    return true;
}

// --- Sending ----------------------------------------------------------------------------------

int TCustomTlsWSocket::Send(const void* Data, int Len)
{
    Tls* tls = Current();
    if (tls == nullptr || State() != wsConnected)
        return TCustomSocksWSocket::Send(Data, Len);
    if (Len <= 0)
        return 0;
    if (tls->State == Tls::kHandshaking) {
        tls->HeldSend.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
        return Len;
    }
    if (tls->State == Tls::kFailed) {
        sockets::SetLastError(platform::WSAECONNABORTED);
        return -1;
    }
    if ((Lib().SSL_get_shutdown(tls->Ssl.get()) & SSL_SENT_SHUTDOWN) != 0) {
        sockets::SetLastError(platform::WSAESHUTDOWN);
        return -1;
    }
    Lib().ERR_clear_error();
    // Into a memory buffer a write never waits: it takes all or fails.
    int n = Lib().SSL_write(tls->Ssl.get(), Data, Len);
    if (n <= 0) {
        FailLater(*tls, kTlsErrProtocol, "TLS protocol error: " + OpenSslError());
        sockets::SetLastError(platform::WSAECONNABORTED);
        return -1;
    }
    FlushCiphertext(*tls);
    return Len;
}

void TCustomTlsWSocket::TriggerDataSent(std::uint16_t Error)
{
    // The handshake's own bytes going out are nothing the owner sent.
    if (!TlsHandshaking())
        TCustomSocksWSocket::TriggerDataSent(Error);
}

// --- Ending -----------------------------------------------------------------------------------

void TCustomTlsWSocket::FailLater(Tls& tls, int Error, const std::string& Msg)
{
    if (tls.State == Tls::kFailed)
        return;
    tls.FailedInHandshake = tls.State == Tls::kHandshaking;
    tls.State = Tls::kFailed;
    tls.FailCode = Error;
    tls.FailMessage = Msg;
    Notification().Post(kWmTlsFailed, tls.Generation);
}

void TCustomTlsWSocket::FailTls(int Error, const std::string& Msg, bool InHandshake)
{
    if (Tls* tls = Current()) {
        tls->State = Tls::kFailed;
        FlushCiphertext(*tls);  // the alert that tells the peer why
    }
    const unsigned session = SessionNumber();
    TriggerTlsError(Error, Msg);
    if (InHandshake && session == SessionNumber())
        TriggerTlsDone(static_cast<std::uint16_t>(Error));
    if (session == SessionNumber() && HSocket() != INVALID_SOCKET)
        InternalClose(true, static_cast<std::uint16_t>(Error));
}

void TCustomTlsWSocket::InternalClose(bool bShut, std::uint16_t Error)
{
    Tls* tls = Current();
    if (tls != nullptr) {
        tls->ClosingHere = true;
        // A graceful close tells the peer that the data is complete, which a plain end of the
        // connection cannot prove under TLS. Handed to the socket directly: the close that
        // follows drops a queue, and a send that fails here must not start a second close.
        if (bShut && tls->State == Tls::kOpen && State() == wsConnected && BufferedByteCount() == 0 &&
            (Lib().SSL_get_shutdown(tls->Ssl.get()) & SSL_SENT_SHUTDOWN) == 0) {
            Lib().ERR_clear_error();
            Lib().SSL_shutdown(tls->Ssl.get());
            Lib().ERR_clear_error();
            char* data = nullptr;
            long length = Lib().BIO_ctrl(tls->Out, BIO_CTRL_INFO, 0, &data);
            if (length > 0)
                RawSend(data, static_cast<int>(length));
            (void)Lib().BIO_ctrl(tls->Out, BIO_CTRL_RESET, 0, nullptr);
        }
    }
    TCustomSocksWSocket::InternalClose(bShut, Error);
}

void TCustomTlsWSocket::TriggerSessionClosed(std::uint16_t Error)
{
    Tls* tls = tls_.get();
    // What came last may hold the peer's close_notify.
    if (tls != nullptr && tls->Session == SessionNumber() && !tls->ClosingHere && DecryptAhead(*tls)) {
        int code = 0;
        std::string msg;
        bool handshaking = tls->State == Tls::kHandshaking;
        if (tls->FailCode != 0) {
            // The close came before the failure was told; it is told now.
            code = std::exchange(tls->FailCode, 0);
            msg = tls->FailMessage;
            handshaking = tls->FailedInHandshake;
        } else if (handshaking) {
            code = kTlsErrHandshake;
            msg = "TLS handshake failed: connection closed by the peer";
        } else if (tls->State == Tls::kOpen && !tls->PeerCloseNotify) {
            code = kTlsErrTruncated;
            msg = TlsErrorDescription(code);
        } else if (tls->State == Tls::kOpen && Error == platform::WSAECONNRESET) {
            // The peer proved the data complete and closed without waiting for our answering
            // close_notify, which its system then refused with a reset: no fault of the data.
            Error = 0;
        }
        if (code != 0) {
            tls->State = Tls::kFailed;
            TriggerTlsError(code, msg);
            if (handshaking)
                TriggerTlsDone(static_cast<std::uint16_t>(code));
            if (Error == 0)
                Error = static_cast<std::uint16_t>(code);
        }
    }
    TCustomSocksWSocket::TriggerSessionClosed(Error);
    // What the owner left unread in its OnSessionClosed goes with the session, unless a new
    // session has already replaced it.
    if (tls_.get() == tls && tls != nullptr)
        EndTls();
}

// --- Events -----------------------------------------------------------------------------------

void TCustomTlsWSocket::TriggerTlsDone(std::uint16_t Error)
{
    if (OnTlsDone)
        OnTlsDone(this, Error);
}

void TCustomTlsWSocket::TriggerTlsError(int Error, const std::string& Msg)
{
    if (OnTlsError)
        OnTlsError(this, Error, Msg);
}

void TCustomTlsWSocket::HandleNotification(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam)
{
    if (Msg != kWmTlsDataPending && Msg != kWmTlsFailed) {
        TCustomSocksWSocket::HandleNotification(Msg, WParam, LParam);
        return;
    }
    Tls* tls = Current();
    if (tls == nullptr || tls->Generation != WParam)
        return;  // about a TLS session that has ended
    if (Msg == kWmTlsFailed) {
        if (tls->FailCode == 0)
            return;
        const int code = std::exchange(tls->FailCode, 0);
        std::string message = tls->FailMessage;
        FailTls(code, message, tls->FailedInHandshake);
        return;
    }
    tls->DataPendingPosted = false;
    if (tls->State != Tls::kOpen || (tls->PlainHeld() == 0 && Lib().SSL_pending(tls->Ssl.get()) == 0))
        return;
    try {
        // From the top layer down, as bytes from the network are handed out.
        if (!TriggerDataAvailable(0) && Current() == tls) {
            tls->Plain.clear();  // nobody to take them
            tls->PlainPos = 0;
        }
    } catch (const std::exception&) {
        // As in the receive loop: the owner's exception ends this delivery only.
    }
}
