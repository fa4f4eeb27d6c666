// The event-driven FTP client component. TCustomFtpCli runs every request as a chain of socket
// events over a control connection and, for transfers, a data connection; TFtpClient adds the
// Timeout and the waiting operations. A request call returns at once and its end is announced by
// OnRequestDone, posted to run after the handler that ended the request has returned. The client
// owns its two sockets, its notification object and the local file of a transfer. Loop thread
// only: create, use and destroy it on the thread that runs the event loop it was given.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "ftp/FtpLocalFile.h"
#include "ftp/FtpReply.h"
#include "ftp/FtpTimer.h"
#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "platform/NotificationObject.h"
#include "platform/TObject.h"

// The request codes that OnRequestDone reports.
enum TFtpRequest : std::uint8_t {
    ftpRqNone = 0,
    frqOpen = 1,
    frqUser = 2,
    frqPass = 3,
    frqCwd = 4,
    frqLogOn = 5,
    frqSessionGet = 6,
    frqList = 7,
    frqNlst = 8,
    frqDataPort = 9,
    frqGet = 10,
    frqSessionList = 11,
    frqSessionNlst = 12,
    frqSessionSyst = 13,
    frqSyst = 14,
    frqQuit = 15,
    frqSize = 16,
    frqPut = 17,
    frqAppend = 18,
    frqMkd = 21,
    frqRmd = 22,
    frqSessionRename = 23,
    frqDele = 24,
    frqRename = 25,
    frqRnto = 26,
    frqRnfr = 27,
    frqSessionDele = 28,
    frqSessionMkd = 29,
    frqSessionRmd = 30,
    frqPwd = 31,
    frqQuote = 32,
    frqCdup = 33,
    frqSessionQuote = 34,
    frqSessionPut = 35,
    frqType = 36,
    frqRest = 37,
    frqResumeGet = 38,
    frqSessionResumeGet = 39,
    frqResumePut = 40,
    frqSessionResumePut = 41,
    frqAuth = 42,
    frqPbsz = 43,
    frqProt = 44,
};

enum TFtpEngineState : std::uint8_t {
    fesClosed = 0,          // the control connection is closed
    fesReady = 1,           // idle: no request runs
    fesStepDone = 2,        // between the steps of a sequence; also the rest after a close
    fesResolving = 3,       // the host name lookup runs
    fesSessionOpen = 4,     // the greeting has arrived
    fesAborting = 5,        // AbortAll is tearing everything down
    fesAwaitingBanner = 7,  // the TCP connect runs, then the greeting is awaited
    fesAwaitingReply = 8,   // a command has been sent
};

enum TFtpShareMode { ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone };

enum TFtpOption { ftpAcceptLF, ftpNoAutoResumeAt };

// A set of TFtpOption.
class TFtpOptions {
public:
    TFtpOptions() = default;
    TFtpOptions(std::initializer_list<TFtpOption> options) {
        for (TFtpOption option : options)
            bits_ |= Bit(option);
    }
    bool Contains(TFtpOption option) const { return (bits_ & Bit(option)) != 0; }
    bool operator==(const TFtpOptions&) const = default;

private:
    static unsigned Bit(TFtpOption option) { return 1u << static_cast<unsigned>(option); }
    unsigned bits_ = 0;
};

enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

// What a log-on asks of TLS (AUTH TLS after the greeting, then PBSZ 0 and PROT P): nothing, TLS
// when the server takes AUTH TLS and the clear otherwise, or TLS or no session at all.
enum TFtpTlsMode { ftpTlsNone, ftpTlsTry, ftpTlsRequire };

using TFtpDisplay = std::function<void(TObject* Sender, std::string& Msg)>;
// Count is the bytes moved so far in the file (restart offset included), before the block at hand.
using TFtpProgress = std::function<void(TObject* Sender, std::int64_t Count, bool& Abort)>;
using TFtpCommand = std::function<void(TObject* Sender, std::string& Cmd)>;
using TFtpRequestDone = std::function<void(TObject* Sender, TFtpRequest RqType, std::uint16_t Error)>;
using TFtpReadyToTransmit = std::function<void(TObject* Sender, bool& bCancel)>;
// OnSessionConnected and OnSessionClosed: the socket events' shape with the client as Sender.
using TFtpSessionConnected = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TFtpSessionClosed = std::function<void(TObject* Sender, std::uint16_t Error)>;

// Raised for a misuse of the component when no OnRequestError handler is assigned.
class FtpException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TCustomFtpCli : public TObject {
public:
    explicit TCustomFtpCli(platform::EventLoop& loop);
    ~TCustomFtpCli() override;
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    platform::EventLoop& Loop() const { return loop_; }

    // --- Properties ---
    const std::string& HostName() const { return hostName_; }
    void SetHostName(const std::string& value) { hostName_ = value; }
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value) { port_ = value; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& value) { userName_ = value; }
    const std::string& PassWord() const { return passWord_; }
    void SetPassWord(const std::string& value) { passWord_ = value; }
    const std::string& HostDirName() const { return hostDirName_; }
    void SetHostDirName(const std::string& value) { hostDirName_ = value; }
    const std::string& HostFileName() const { return hostFileName_; }
    void SetHostFileName(const std::string& value) { hostFileName_ = value; }
    const std::string& LocalFileName() const { return localFileName_; }
    void SetLocalFileName(const std::string& value) { localFileName_ = value; }
    bool DisplayFileFlag() const { return displayFileFlag_; }
    void SetDisplayFileFlag(bool value) { displayFileFlag_ = value; }
    bool Binary() const { return transferType_ == 'I'; }
    void SetBinary(bool value) { transferType_ = value ? 'I' : 'A'; }
    const std::string& ErrorMessage() const { return errorMessage_; }
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode value);
    TFtpOptions Options() const { return options_; }
    void SetOptions(TFtpOptions value) { options_ = value; }
    TFtpConnectionType ConnectionType() const;
    void SetConnectionType(TFtpConnectionType value);
    const std::string& ProxyServer() const { return proxyServer_; }
    void SetProxyServer(const std::string& value) { proxyServer_ = value; }
    // Kept here as well as written into both sockets: a socket forgets its SOCKS server and port
    // at every close, so they are written again before each connection a socket makes.
    const std::string& SocksServer() const { return socksServer_; }
    void SetSocksServer(const std::string& value);
    const std::string& SocksPort() const { return socksPort_; }
    void SetSocksPort(const std::string& value);
    const std::string& SocksUserCode() const { return socksUserCode_; }
    void SetSocksUserCode(const std::string& value);
    const std::string& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const std::string& value);
    bool PassiveMode() const { return passiveMode_; }
    // Stored as given with ftpDirect; every other connection type forces True.
    void SetPassiveMode(bool value);
    // Passive first, active as the fallback: with PassiveMode on a direct connection, a request
    // whose PASV is refused, or whose passive data connection cannot be made, goes on with PORT,
    // and PassiveMode stays False from then on (the server or the network will not do passive).
    // Proxy and SOCKS connections stay passive whatever this says. Off by default.
    bool PassiveFallback() const { return passiveFallback_; }
    void SetPassiveFallback(bool value) { passiveFallback_ = value; }
    // Whether sequences that open the connection start TLS on it; the data connections then
    // resume the control connection's TLS session. Off by default.
    TFtpTlsMode TlsMode() const { return tlsMode_; }
    void SetTlsMode(TFtpTlsMode value) { tlsMode_ = value; }
    // A PEM file of authorities trusted besides the system's (tests, private servers).
    const std::string& TlsCaFile() const { return tlsCaFile_; }
    void SetTlsCaFile(const std::string& value) { tlsCaFile_ = value; }

    // A descriptor the caller owns: while it is 0 or more, transfers write to it or read from it
    // instead of opening LocalFileName (the command-line tool writes "get -" to its standard
    // output this way). It is neither positioned nor closed by the component.
    int LocalStream() const { return localStream_; }
    void SetLocalStream(int fd) { localStream_ = fd; }

    // --- State and results, read by callers between requests ---
    TFtpEngineState EngineState() const { return engineState_; }
    TFtpRequest CurrentRequest() const { return currentRequest_; }
    int ReplyCode() const { return replyCode_; }
    int StatusCode() const { return statusCode_; }
    const std::string& LastReply() const { return lastReply_; }
    const std::string& ReplyDirName() const { return replyDirName_; }
    std::int64_t RemoteFileSize() const { return remoteFileSize_; }
    // The size the last retrieval's 150 announced, -1 when it named none. A binary retrieval
    // that ended in order has already been held to it.
    std::int64_t AnnouncedSize() const { return announcedSize_; }
    std::int64_t TransferredBytes() const { return transferredBytes_; }
    std::int64_t RestartOffset() const { return restartOffset_; }
    void SetRestartOffset(std::int64_t value) { restartOffset_ = value; }
    const std::string& ResolvedHostAddr() const { return resolvedHostAddr_; }
    bool ControlConnected() const { return controlConnected_; }
    char TransferType() const { return transferType_; }
    // True while the control socket is not closed.
    bool IsControlOpen() const;
    // The TLS of the last session opened, readable after it has closed too: whether its control
    // connection was encrypted (the certificate passed the checks), the version and cipher
    // ("TLSv1.3", "TLS_AES_256_GCM_SHA384"), whether the data connections were, whether the
    // server refused AUTH TLS, and the socket component's code of a TLS failure (kTlsErr*; 0
    // when none), whose English text ErrorMessage holds.
    bool TlsEncrypted() const { return tlsEncrypted_; }
    const std::string& TlsVersion() const { return tlsVersion_; }
    const std::string& TlsCipher() const { return tlsCipher_; }
    bool TlsDataProtected() const { return dataProtected_; }
    bool TlsRefused() const { return tlsRefused_; }
    int TlsError() const { return tlsError_; }

    // The two sockets, for the settings a caller may tune (read only otherwise).
    TWSocket& ControlSocket() { return *controlSocket_; }
    TWSocket& DataSocket() { return *dataSocket_; }

    // --- Single steps ---
    void OpenStep();
    void UserStep();
    void PassStep();
    void CwdStep();
    void CdupStep();
    void PwdStep();
    void SizeStep();
    void MkdStep();
    void RmdStep();
    void DeleStep();
    void RnfrStep();
    void RntoStep();
    void SystStep();
    void QuoteStep();
    void TypeStep();
    void TypeBinaryStep();
    void TypeAsciiStep();
    void RestStep();
    void DataPortStep();
    void RetrStep();
    void ListStep();
    void NlstStep();
    void StorStep();
    void AppeStep();
    void QuitStep();
    // AUTH TLS, whose 234 starts the handshake on the control connection; then PBSZ 0 and
    // PROT P, which make the data connections TLS too.
    void AuthTlsStep();
    void PbszStep();
    void ProtStep();

    // --- Sequences ---
    void LogOn();
    void GetFile();
    void ListDir();
    void NameListDir();
    void PutFile();
    void AppendFile();
    void RenameFile();
    void ResumeGetFile();
    void ResumePutFile();
    void SessionGetFile();
    void SessionListDir();
    void SessionNameListDir();
    void SessionSyst();
    void SessionSize();
    void SessionRename();
    void SessionDele();
    void SessionMkd();
    void SessionRmd();
    void SessionQuote();
    void SessionPutFile();
    void SessionAppendFile();
    void SessionResumeGetFile();
    void SessionResumePutFile();

    // Stops everything at once: lookup, both connections, the local file. A running request is
    // reported (426) through OnRequestDone; AbortAll itself reports nothing.
    void AbortAll();

    // --- Events; each fires only when assigned ---
    TFtpDisplay OnDisplay;
    TFtpDisplay OnDisplayFile;
    TFtpCommand OnCommand;
    TNotifyEvent OnResponse;
    TFtpProgress OnProgress;
    TFtpSessionConnected OnSessionConnected;
    TFtpSessionClosed OnSessionClosed;
    TFtpRequestDone OnRequestDone;
    TNotifyEvent OnStateChange;
    TFtpReadyToTransmit OnReadyToTransmit;
    TBgExceptionEvent OnBgException;
    // Called with the text of a usage error instead of raising FtpException.
    TFtpDisplay OnRequestError;

protected:
    // The progress notification of a transfer: fires OnProgress and returns whether the handler
    // asked to abort. TFtpClient extends it to move its deadline.
    virtual bool Progress();
    // Seconds a transfer may go without a data byte before it ends with 426; 0: no such limit.
    virtual int TransferStallSeconds() const { return 0; }
    // How long a data connection that could not be made waits for the server's answer to the
    // data command before the request ends anyway.
    virtual std::chrono::milliseconds DataLinkGrace() const { return std::chrono::seconds(10); }

    void SetEngineState(TFtpEngineState state);
    void SetErrorMessage(const std::string& text) { errorMessage_ = text; }
    void SetReplyCode(int code) { replyCode_ = code; }
    // Set by every usage error, so a caller that handles them through OnRequestError can tell
    // that the request it started was refused.
    bool usageErrorRaised_ = false;

private:
    // What the next final reply line goes to while a command waits (FNext).
    enum class ReplyHandler { None, Judge, RetrFirst, RetrClosing, StoreFirst, StoreClosing };
    // The only place fNext_ changes, so that what the engine waits for can be followed (or
    // traced) at one line.
    void SetNext(ReplyHandler next) { fNext_ = next; }
    // What the judge does instead of ending the step (AfterReplyHandler).
    enum class AfterReply { None, CloseControl, StartTls };

    // The step bits: a step's StepCode and its bit in StepSet.
    enum StepBit : std::uint8_t {
        stepOpen = 1, stepUser = 2, stepPass = 3, stepCwd = 4, stepSize = 5, stepMkd = 6, stepRmd = 7,
        stepRnfr = 8, stepRnto = 9, stepRetr = 10, stepList = 11, stepQuit = 12, stepSyst = 13, stepDele = 14,
        stepPwd = 15, stepQuote = 16, stepStor = 17, stepType = 18, stepRest = 19, stepCdup = 20, stepNlst = 21,
        stepAppe = 22, stepDataPort = 23, stepAuth = 24, stepPbsz = 25, stepProt = 26,
    };
    static constexpr std::uint32_t Steps(std::initializer_list<StepBit> bits) {
        std::uint32_t set = 0;
        for (StepBit bit : bits)
            set |= 1u << bit;
        return set;
    }
    // The order in which the sequencer tries the steps of a sequence.
    static constexpr StepBit kStepOrder[] = {
        stepOpen, stepAuth, stepPbsz, stepProt, stepUser, stepPass, stepCwd, stepCdup, stepType,
        stepDataPort, stepRest,
        stepRetr, stepStor, stepAppe, stepList, stepNlst, stepSyst, stepMkd, stepRmd,
        stepRnfr, stepRnto, stepSize, stepDele, stepPwd, stepQuote, stepQuit,
    };

    // A step that sends one command and judges its one reply: a row of the table in
    // FtpcliRequests.cpp.
    struct CommandStep;
    static const CommandStep* FindCommandStep(StepBit step);
    // Refuses the step with a usage error, before anything changes, unless it may run now;
    // otherwise gives the command to send.
    bool CommandStepAllowed(const CommandStep& row, std::string& command);
    void RunCommandStep(StepBit step);
    // Refuses a command argument that would end the command line early (CR, LF) or cut it (NUL),
    // so that a name from a catalogue cannot smuggle a second command to the server.
    bool ArgumentAllowed(const char* field, const std::string& value);
    // Sets the transfer type and sends TYPE, once the step is known to be allowed.
    void TypeStepWith(char type);

    static constexpr std::size_t kReceiveBlockSize = 65536;
    static constexpr std::size_t kSendBlockSize = 1514;
    static constexpr unsigned kWmFtpRequestDone = 1025;
    static constexpr unsigned kWmFtpSendData = 1026;

    // Engine (FtpcliEngine.cpp).
    void RaiseUsageError(const std::string& text);
    bool ReadyCheck();
    // `accepted` lists the reply codes that succeed; with `anyCompletion` every 2xx does too, and
    // with neither any code below 500 does.
    void IssueCommand(TFtpRequest request, const std::string& command, AfterReply after,
                      std::initializer_list<int> accepted, bool anyCompletion = false);
    // The success codes of the command about to be sent (see IssueCommand).
    void ExpectReplies(const int* codes, std::size_t count, bool anyCompletion);
    // Sends a command whose step has passed its checks and set its expected replies.
    void StartCommand(TFtpRequest request, const std::string& command, AfterReply after);
    void SendCommand(std::string command);
    void NoteError();
    void EndStep(std::uint16_t result);
    void StartSequence(TFtpRequest request, std::uint32_t steps);
    void RunSequencer();
    void Sequencer();
    void RunStep(StepBit step);
    void FailRequest(const std::string& reason);
    // "ClassName: message", the form in which replies name an exception.
    static std::string DescribeException(const std::exception& e);
    void Display(const std::string& text);
    void HandleNotification(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    void HandleBackgroundException(const std::exception& e);
    void ControlDnsLookupDone(std::uint16_t error);
    void ControlSessionConnected(std::uint16_t error);
    void ControlSessionClosed(std::uint16_t error);
    void ControlDataAvailable(std::uint16_t error);
    void HandleReplyLine(std::uint16_t error, const ftp::ReplyLine& line, bool& stopReading);
    void DispatchFinalReply();
    void JudgeReply();
    void ParseReplyResult();
    void ConnectFailed(const std::string& reply, std::uint16_t result);

    // TLS (FtpcliTls.cpp).
    // The judge's part in AUTH TLS; true when it has taken the reply over.
    bool JudgeAuthReply();
    void StartControlTls();
    void ControlTlsDone(std::uint16_t error);
    // The name the server's certificate must carry: the FTP proxy's with that connection type
    // (TLS is then spoken with the proxy), the server's otherwise.
    std::string TlsCheckedName() const;
    // Starts TLS on a data connection just made, resuming the control connection's session;
    // false (the failure noted) when it could not start.
    bool StartDataTls();
    void DataTlsDone(std::uint16_t error);
    void StoreDataSessionCheck();
    void StoreLinkUp();
    void ResetTlsResults();

    // Data transfer (FtpcliTransfer.cpp).
    void RetrieveStep(TFtpRequest request, StepBit step, const char* command);
    void StoreStep(bool append);
    bool PreparePassiveConnect(std::string& failure);
    // Writes the connection type's SOCKS settings into a closed socket that is about to connect
    // or listen: the proxy for the SOCKS types, no proxy for the others.
    void ApplySocksSettings(TWSocket& socket);
    bool OpenRetrieveFile();
    // Takes the server's data connection on the listener; on a failure ends the transfer with 425
    // (at once when the data command waits for a reply in `first` or `closing`) and gives
    // INVALID_SOCKET.
    TSocket AcceptDataLink(std::uint16_t error, ReplyHandler first, ReplyHandler closing);
    void RetrieveAccept(std::uint16_t error);
    void RetrieveConnected(std::uint16_t error);
    void RetrieveDataAvailable(std::uint16_t error);
    // A binary retrieval into a regular file, once a read has filled the receive buffer (a small
    // file is over before the pipe would pay), moves its bytes from the socket into the file
    // within the kernel, never copying them through the process.
    bool ReceivesThroughPipe();
    void ReceiveThroughPipe();
    // A read of the data connection gave `count`: true when bytes came. A read that failed (not
    // for want of data) fails the transfer with 426.
    bool DataReceived(int count);
    void LocalWriteFailed();
    // Writes a received block to the local file, with local line ends where they apply.
    bool WriteReceived(std::string_view block);
    // Writes what the line-end conversion still holds, before the local file closes.
    void FinishReceivedText();
    void RetrieveFirstReply();
    // The first reply to a retrieval says there is nothing to move: a listing of nothing (450 or
    // 550 "no files") or a closing reply with no 150 before it.
    bool IsEmptyRetrievalReply() const;
    void EndEmptyRetrieval();
    void RetrieveClosingReply();
    void RetrieveClosed(std::uint16_t error);
    void CheckRetrieveEnd();
    void StoreAccept(std::uint16_t error);
    void StoreConnected(std::uint16_t error);
    void StoreFirstReply();
    void StoreClosingReply();
    void StoreClosed(std::uint16_t error);
    void SendNextBlock(std::uint16_t error);
    void CheckStoreEnd();
    void DiscardData();
    void SendStoreCommand();
    void DataLinkFailed(std::uint16_t error);
    std::string DataLinkFailure(std::uint16_t error) const;
    // Keeps the first failure of the running transfer; the closing reply ends it with that.
    void NoteTransferFailure(int code, const std::string& text);
    // Asks the owner through OnProgress; an abort cuts the data connection and fails the transfer.
    bool AbortRequested();
    // What a retrieval and a store both start from.
    void ResetTransfer();
    // Ends the step before any data moved, with `reply` as the failure.
    void FailTransferStep(int code, const std::string& reply);
    // The server refused the data command (its first reply).
    void RefuseTransfer();
    // The server's closing reply reports a failure.
    void FailTransferOnClosingReply(const char* commands);
    void EndTransfer();
    void CloseDataSocket();
    void CloseLocalFile() { localFile_.Close(); }
    std::int64_t NowMs() const;
    // Opens the local file of a retrieval the first time the server shows it has accepted the
    // transfer (its 150/125, or data); false, with the failure noted, when it cannot be opened.
    bool OpenRetrieveFileOnce();
    // The data connection could not be made (passive connect or active accept): the server's
    // answer to the data command is awaited for a short grace, then the request ends with 425.
    void DataLinkLost(const std::string& failure);
    // Passive first: switches to PORT when allowed; true when the request may go on with it.
    bool FallBackToPort();
    // Runs the data-port step and the transfer again, now with PORT, in the running sequence.
    bool RedoTransferWithPort();
    // The final reply to a data command whose data connection could not be made: true when the
    // transfer goes on with PORT; else the reply becomes the 425 of the failed connection (a 421
    // stays itself), for the caller to refuse.
    bool AnswerLostDataLink();
    // Ends the running transfer now with `code`. The server still owes replies for it that may
    // come at any time or never, so the control connection goes too (IsControlOpen() false); the
    // local file stays as it is.
    void EndTransferNow(int code, const std::string& text);
    void StartStallWatch();
    void StopTransferWatch();
    void TransferTimerExpired();
    // Whether the bytes of a retrieval that ended in order match the size its 150 announced.
    bool MatchesAnnouncedSize() const;

    platform::EventLoop& loop_;
    std::unique_ptr<platform::NotificationObject> notify_;
    std::unique_ptr<TWSocket> controlSocket_;
    std::unique_ptr<TWSocket> dataSocket_;

    // Properties.
    std::string hostName_;
    std::string port_ = "ftp";
    std::string userName_;
    std::string passWord_;
    std::string hostDirName_;
    std::string hostFileName_;
    std::string localFileName_;
    bool displayFileFlag_ = false;
    std::string errorMessage_;
    int shareFlag_ = 16;
    TFtpOptions options_{ftpAcceptLF};
    std::uint8_t connectionType_ = ftpDirect;
    std::string proxyServer_;
    std::string socksServer_;
    std::string socksPort_;
    std::string socksUserCode_;
    std::string socksPassword_;
    // The text of the last SOCKS failure of either socket, for the error message.
    std::string socksError_;
    bool passiveMode_ = false;
    bool passiveFallback_ = false;
    int localStream_ = -1;
    TFtpTlsMode tlsMode_ = ftpTlsNone;
    std::string tlsCaFile_;

    // TLS results of the session.
    bool tlsEncrypted_ = false;
    bool dataProtected_ = false;
    bool tlsRefused_ = false;
    int tlsError_ = 0;
    std::string tlsErrorText_;
    std::string tlsVersion_;
    std::string tlsCipher_;
    // The session the next data connection resumes: the newest the server has given, on the
    // control connection or on a data connection (a TLS 1.3 session is resumed only once).
    TTlsSession dataResumeSession_;
    bool dataTlsStarted_ = false;  // a data connection of this session has started TLS
    // A TLS 1.3 store holds its data until the server's new session has come on its data
    // connection: sent and closed before, the store would leave no session to resume.
    bool awaitingDataSession_ = false;
    TTlsSession sessionAtHandshake_;

    // Engine state.
    TFtpEngineState engineState_ = fesReady;
    TFtpRequest currentRequest_ = ftpRqNone;
    std::uint8_t stepCode_ = 0;
    std::uint32_t stepSet_ = 0;
    bool inSequence_ = false;
    bool doneReported_ = true;  // nothing is pending until a step starts
    int replyCode_ = 0;
    int statusCode_ = 0;
    int sequenceStatus_ = 0;
    std::string lastReply_;
    std::string savedReply_;
    int savedReplyCode_ = -1;
    std::array<int, 16> expectedCodes_{};
    bool acceptAnyCompletion_ = false;
    ReplyHandler fNext_ = ReplyHandler::None;
    AfterReply afterReplyHandler_ = AfterReply::None;
    bool sequenceNext_ = false;
    ftp::ReplyReader replyReader_;
    bool controlConnected_ = false;
    bool closingAfterQuit_ = false;
    std::string lastUsageError_;
    std::string resolvedHostAddr_;
    std::string replyDirName_;
    std::int64_t remoteFileSize_ = 0;
    char transferType_ = 'I';

    // Data transfer state.
    TFtpLocalFile localFile_;
    std::int64_t transferredBytes_ = 0;
    std::int64_t restartOffset_ = 0;
    std::string pasvReply_;
    std::string dataCommand_;
    bool appendTransfer_ = false;
    std::int64_t transferStartTick_ = 0;
    std::int64_t transferEndTick_ = 0;
    std::uint16_t dataCloseError_ = 0;
    bool finalReplySeen_ = false;
    bool dataClosedSeen_ = false;
    bool sendDataClosed_ = false;
    bool sendEofReached_ = false;
    bool storeReplySeen_ = false;
    bool dataLinkUp_ = false;
    bool pendingAccept_ = false;
    // A local failure that leaves the file incomplete even if the server reports success.
    int transferFailureCode_ = 0;
    std::string transferFailure_;
    // The retrieval's local file is still to be opened (at the server's acceptance).
    bool retrieveFilePending_ = false;
    // The size announced by the 150 reply of a retrieval ("(N bytes)"), -1 when none.
    std::int64_t announcedSize_ = -1;
    // The data connection of the running transfer could not be made; its failure text.
    bool dataLinkLost_ = false;
    bool redoWithPort_ = false;  // and the fallback to PORT took over: the transfer runs again
    std::string dataLinkFailure_;
    // A REST step ran in this sequence since its data-port step (it runs again on a redo).
    bool restInSequence_ = false;
    // The file the last successful SIZE was for, so a resume can compare with it.
    std::string sizeFileName_;
    // What the transfer timer is watching for.
    enum class TransferWatch { None, Stall, Grace };
    TransferWatch transferWatch_ = TransferWatch::None;
    std::int64_t lastDataMs_ = 0;
    std::unique_ptr<TFtpTimer> transferTimer_;
    // Received blocks land here; allocated once, so a transfer allocates nothing per block.
    std::unique_ptr<char[]> receiveBuffer_;
    TFtpKernelPipe receivePipe_;
    // A read of the running retrieval has filled the receive buffer.
    bool bulkReceive_ = false;
    // Text received in ASCII form (an ASCII-type retrieval, a listing) is written with local line
    // ends; the converted block lands here, allocated once.
    bool localLineEnds_ = false;
    ftp::LocalLineEnds lineEnds_;
    std::string convertedBlock_;
    std::array<char, kSendBlockSize> sendBuffer_{};
};

class TFtpClient : public TCustomFtpCli {
public:
    explicit TFtpClient(platform::EventLoop& loop);

    // Seconds the waiting operations wait at most; 0 waits without limit.
    int Timeout() const { return timeout_; }
    void SetTimeout(int seconds) { timeout_ = seconds; }
    // Seconds a transfer may go without a byte of data before it fails with 426, so a stalled
    // transfer is noticed long before the Timeout; 0 leaves transfers to the Timeout alone.
    int StallTimeout() const { return stallTimeout_; }
    void SetStallTimeout(int seconds) { stallTimeout_ = seconds; }
    // Kept for the component's published shape; both values wait in the same event loop.
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool value) { multiThreaded_ = value; }
    platform::EventLoop::Clock::time_point Deadline() const { return deadline_; }

    // Blocks in the event loop until the running request has ended (true when it succeeded), the
    // Timeout passes without progress, or the loop quits; in the latter two cases it aborts the
    // request and returns false with ErrorMessage "426 Timeout".
    bool WaitUntilReady();
    // Starts the operation and waits for it; any exception raised meanwhile gives false.
    bool RunAndWait(void (TCustomFtpCli::*operation)());
    bool CwdStepAndWait();
    bool SetTypeBinaryAndWait();

protected:
    bool Progress() override;
    int TransferStallSeconds() const override { return stallTimeout_; }
    std::chrono::milliseconds DataLinkGrace() const override;

private:
    void MoveDeadline();

    int timeout_ = 15;
    int stallTimeout_ = 60;
    bool multiThreaded_ = false;
    platform::EventLoop::Clock::time_point deadline_{};
};
