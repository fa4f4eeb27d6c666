// The request engine: state, commands, the control connection, the reply reader and judge, the
// sequencer, abort and the posted request-done message.
#include "ftp/FtpReply.h"
#include "ftp/Ftpcli.h"

namespace {

std::string SocketErrorReply(std::uint16_t error) {
    return "500 " + SocketErrorDescription(error) + " (Winsock error #" + std::to_string(error) + ")";
}

}  // namespace

std::string TCustomFtpCli::DescribeException(const std::exception& e) {
    const char* name = dynamic_cast<const ESocketException*>(&e) ? "ESocketException"
                        : dynamic_cast<const FtpException*>(&e)  ? "FtpException"
                                                                 : "Exception";
    return std::string(name) + ": " + e.what();
}

TCustomFtpCli::TCustomFtpCli(platform::EventLoop& loop)
    : loop_(loop),
      notify_(std::make_unique<platform::NotificationObject>(
          loop, [this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
              HandleNotification(message, wParam, lParam);
          })),
      controlSocket_(std::make_unique<TWSocket>(loop)),
      dataSocket_(std::make_unique<TWSocket>(loop)),
      receiveBuffer_(std::make_unique<char[]>(kReceiveBlockSize)) {
    controlSocket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t error) { ControlSessionConnected(error); };
    controlSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t error) { ControlDataAvailable(error); };
    controlSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t error) { ControlSessionClosed(error); };
    controlSocket_->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t error) { ControlDnsLookupDone(error); };
    for (TWSocket* socket : {controlSocket_.get(), dataSocket_.get()}) {
        socket->OnSocksError = [this](TCustomWSocket*, int, const std::string& message) { socksError_ = message; };
        socket->OnTlsError = [this](TCustomWSocket*, int error, const std::string& message) {
            tlsError_ = error;
            tlsErrorText_ = message;
        };
    }
    controlSocket_->OnTlsDone = [this](TCustomWSocket*, std::uint16_t error) { ControlTlsDone(error); };
    dataSocket_->OnTlsDone = [this](TCustomWSocket*, std::uint16_t error) { DataTlsDone(error); };
}

TCustomFtpCli::~TCustomFtpCli() {
    // Posted messages die with the notification object; the sockets close without events.
    notify_.reset();
    for (TWSocket* socket : {controlSocket_.get(), dataSocket_.get()}) {
        socket->OnSessionConnected = nullptr;
        socket->OnSessionAvailable = nullptr;
        socket->OnDataAvailable = nullptr;
        socket->OnDataSent = nullptr;
        socket->OnSessionClosed = nullptr;
        socket->OnDnsLookupDone = nullptr;
        socket->OnSocksError = nullptr;
        socket->OnTlsDone = nullptr;
        socket->OnTlsError = nullptr;
    }
    CloseLocalFile();
}

// --- Properties ------------------------------------------------------------------------------

TFtpShareMode TCustomFtpCli::ShareMode() const {
    switch (shareFlag_) {
    case 0: return ftpShareCompat;
    case 32: return ftpShareDenyWrite;
    case 48: return ftpShareDenyRead;
    case 64: return ftpShareDenyNone;
    default: return ftpShareExclusive;
    }
}

// Linux has no mandatory sharing: the flag is kept for callers that read it back, and the local
// file is opened normally.
void TCustomFtpCli::SetShareMode(TFtpShareMode value) {
    switch (value) {
    case ftpShareCompat: shareFlag_ = 0; break;
    case ftpShareDenyWrite: shareFlag_ = 32; break;
    case ftpShareDenyRead: shareFlag_ = 48; break;
    case ftpShareDenyNone: shareFlag_ = 64; break;
    default: shareFlag_ = 16; break;
    }
}

TFtpConnectionType TCustomFtpCli::ConnectionType() const {
    if (connectionType_ >= ftpProxy && connectionType_ <= ftpSocks5)
        return static_cast<TFtpConnectionType>(connectionType_);
    return ftpDirect;
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType value) {
    if (controlConnected_) {
        RaiseUsageError("FTP component connected");
        return;
    }
    const char* socksLevel = nullptr;
    switch (value) {
    case ftpProxy: break;
    case ftpSocks4: socksLevel = "4"; break;
    case ftpSocks4A: socksLevel = "4A"; break;
    case ftpSocks5: socksLevel = "5"; break;
    default: value = ftpDirect; break;
    }
    connectionType_ = static_cast<std::uint8_t>(value);
    if (value != ftpDirect)
        passiveMode_ = true;
    for (TWSocket* socket : {controlSocket_.get(), dataSocket_.get()}) {
        if (socksLevel) {
            socket->SetSocksLevel(socksLevel);
            socket->SetSocksAuthentication(socksAuthenticateUsercode);
        } else {
            socket->SetSocksAuthentication(socksNoAuthentication);
        }
    }
}

void TCustomFtpCli::SetSocksServer(const std::string& value) {
    socksServer_ = value;
    // An open socket takes the value before its next connection.
    for (TWSocket* socket : {controlSocket_.get(), dataSocket_.get()})
        if (socket->State() == wsClosed)
            socket->SetSocksServer(value);
}

void TCustomFtpCli::SetSocksPort(const std::string& value) {
    socksPort_ = value;
    for (TWSocket* socket : {controlSocket_.get(), dataSocket_.get()})
        if (socket->State() == wsClosed)
            socket->SetSocksPort(value);
}

void TCustomFtpCli::SetSocksUserCode(const std::string& value) {
    socksUserCode_ = value;
    controlSocket_->SetSocksUsercode(value);
    dataSocket_->SetSocksUsercode(value);
}

void TCustomFtpCli::SetSocksPassword(const std::string& value) {
    socksPassword_ = value;
    controlSocket_->SetSocksPassword(value);
    dataSocket_->SetSocksPassword(value);
}

void TCustomFtpCli::ApplySocksSettings(TWSocket& socket) {
    socksError_.clear();
    const char* level = nullptr;
    switch (ConnectionType()) {
    case ftpSocks4: level = "4"; break;
    case ftpSocks4A: level = "4A"; break;
    case ftpSocks5: level = "5"; break;
    default: break;
    }
    socket.SetSocksServer(level ? socksServer_ : std::string());
    socket.SetSocksPort(level ? socksPort_ : std::string());
    socket.SetSocksUsercode(socksUserCode_);
    socket.SetSocksPassword(socksPassword_);
    if (!level)
        return;
    socket.SetSocksLevel(level);
    // Offering only user-code authentication without a user code would be refused by a proxy that
    // wants none.
    socket.SetSocksAuthentication(socksUserCode_.empty() ? socksNoAuthentication : socksAuthenticateUsercode);
}

void TCustomFtpCli::SetPassiveMode(bool value) { passiveMode_ = ConnectionType() == ftpDirect ? value : true; }

bool TCustomFtpCli::IsControlOpen() const { return controlSocket_->State() != wsClosed; }

// --- State, usage errors, commands -----------------------------------------------------------

// The only place EngineState changes.
void TCustomFtpCli::SetEngineState(TFtpEngineState state) {
    if (engineState_ == state)
        return;
    engineState_ = state;
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomFtpCli::RaiseUsageError(const std::string& text) {
    usageErrorRaised_ = true;
    lastUsageError_ = text;
    if (OnRequestError) {
        std::string message = text;
        OnRequestError(this, message);
        return;
    }
    throw FtpException(text);
}

bool TCustomFtpCli::ReadyCheck() {
    if (engineState_ == fesReady || engineState_ == fesStepDone)
        return true;
    RaiseUsageError("FTP component not ready");
    return false;
}

void TCustomFtpCli::Display(const std::string& text) {
    if (!OnDisplay)
        return;
    std::string message = text;
    OnDisplay(this, message);
}

void TCustomFtpCli::NoteError() {
    if (errorMessage_.empty())
        errorMessage_ = lastReply_;
}

void TCustomFtpCli::IssueCommand(TFtpRequest request, const std::string& command, AfterReply after,
                                 std::initializer_list<int> accepted, bool anyCompletion) {
    if (!ReadyCheck())
        return;
    if (!controlConnected_) {
        RaiseUsageError("FTP component not connected");
        return;
    }
    ExpectReplies(accepted.begin(), accepted.size(), anyCompletion);
    StartCommand(request, command, after);
}

void TCustomFtpCli::ExpectReplies(const int* codes, std::size_t count, bool anyCompletion) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count && kept + 1 < expectedCodes_.size(); ++i)
        if (codes[i] != 0)
            expectedCodes_[kept++] = codes[i];
    expectedCodes_[kept] = 0;
    acceptAnyCompletion_ = anyCompletion;
}

void TCustomFtpCli::StartCommand(TFtpRequest request, const std::string& command, AfterReply after) {
    if (!inSequence_)
        currentRequest_ = request;
    doneReported_ = false;
    closingAfterQuit_ = false;
    SetNext(ReplyHandler::Judge);
    afterReplyHandler_ = after;
    SetEngineState(fesAwaitingReply);
    SendCommand(command);
}

void TCustomFtpCli::SendCommand(std::string command) {
    if (OnCommand)
        OnCommand(this, command);
    Display("> " + command);
    if (controlSocket_->State() == wsConnected)
        controlSocket_->SendText(command + "\r\n");
}

// --- Ending steps and requests ---------------------------------------------------------------

void TCustomFtpCli::EndStep(std::uint16_t result) {
    if (doneReported_)
        return;
    doneReported_ = true;
    if (result == 0 && sequenceNext_) {
        if (engineState_ != fesAborting)
            SetEngineState(fesStepDone);
        RunSequencer();
        return;
    }
    SetEngineState(fesReady);
    // A request that ends before its sequence is through must not leave the sequencer armed, or
    // the next single step's success would run the rest of the old sequence.
    sequenceNext_ = false;
    if (dataSocket_->State() != wsClosed)
        CloseDataSocket();
    if (inSequence_ && savedReplyCode_ >= 0) {
        lastReply_ = savedReply_;
        replyCode_ = savedReplyCode_;
    }
    inSequence_ = false;
    notify_->Post(kWmFtpRequestDone, result);
}

// Ends the running request with 500 when one of its steps could not even start.
void TCustomFtpCli::FailRequest(const std::string& reason) {
    lastReply_ = "500 " + reason;
    replyCode_ = 500;
    statusCode_ = 500;
    NoteError();
    sequenceNext_ = false;
    stepSet_ = 0;
    doneReported_ = false;
    EndStep(500);
}

void TCustomFtpCli::StartSequence(TFtpRequest request, std::uint32_t steps) {
    if (controlConnected_ && (steps & Steps({stepOpen}))) {
        RaiseUsageError("FTP component already connected");
        return;
    }
    if (!ReadyCheck())
        return;
    // Every sequence that opens the connection starts TLS on it before the log-on, so that the
    // password never goes out in the clear; the sequencer drops the steps TLS does not want.
    if (steps & Steps({stepOpen}))
        steps |= Steps({stepAuth, stepPbsz, stepProt});
    savedReply_ = lastReply_;
    savedReplyCode_ = -1;
    currentRequest_ = request;
    statusCode_ = 0;
    stepSet_ = steps;
    stepCode_ = 0;
    sequenceStatus_ = 0;
    inSequence_ = true;
    lastReply_.clear();
    errorMessage_.clear();
    // A first step that refuses to start is the caller's usage error: nothing has run yet, so the
    // sequence is simply dropped.
    auto drop = [this] {
        inSequence_ = false;
        sequenceNext_ = false;
        stepSet_ = 0;
    };
    usageErrorRaised_ = false;
    try {
        Sequencer();
    } catch (...) {
        drop();
        throw;
    }
    if (usageErrorRaised_ && doneReported_)
        drop();
}

// Runs the next step from inside an event. There is no caller to take a usage error or an
// exception there, so either ends the request instead of leaving it waiting for nothing.
void TCustomFtpCli::RunSequencer() {
    bool raisedBefore = usageErrorRaised_;
    usageErrorRaised_ = false;
    try {
        Sequencer();
        if (usageErrorRaised_ && doneReported_)
            FailRequest(lastUsageError_);
    } catch (const FtpException& e) {
        FailRequest(e.what());
    } catch (const std::exception& e) {
        FailRequest(DescribeException(e));
    }
    // Handled here: callers further out must not end the request a second time.
    usageErrorRaised_ = raisedBefore;
}

void TCustomFtpCli::Sequencer() {
    if (engineState_ == fesAborting) {
        stepSet_ = 0;
        sequenceStatus_ = 426;
        errorMessage_ = "426 Operation aborted.";
    }
    sequenceNext_ = true;
    std::uint8_t previous = stepCode_;
    for (StepBit bit : kStepOrder) {
        std::uint32_t mask = 1u << bit;
        if (!(stepSet_ & mask))
            continue;
        stepSet_ &= ~mask;
        // A greeting of 230 is a log-on the server has already done; a 2xx to USER needs no
        // password.
        const bool loggedOnByGreeting = previous == stepOpen && replyCode_ == 230;
        if (bit == stepUser && loggedOnByGreeting)
            continue;
        if (bit == stepPass && (loggedOnByGreeting || (previous == stepUser && replyCode_ != 331)))
            continue;
        if (bit == stepCwd && hostDirName_.empty())
            continue;
        if (bit == stepAuth && tlsMode_ == ftpTlsNone)
            continue;
        if ((bit == stepPbsz || bit == stepProt) && !tlsEncrypted_)
            continue;
        if (bit == stepRetr && !(previous == stepRest && replyCode_ == 350 && restartOffset_ >= 0))
            restartOffset_ = 0;
        if (bit == stepQuit) {
            savedReply_ = lastReply_;
            savedReplyCode_ = replyCode_;
        }
        stepCode_ = bit;
        RunStep(bit);
        return;
    }
    sequenceNext_ = false;
    doneReported_ = false;
    EndStep(static_cast<std::uint16_t>(sequenceStatus_));
}

void TCustomFtpCli::RunStep(StepBit step) {
    if (FindCommandStep(step)) {
        RunCommandStep(step);
        return;
    }
    switch (step) {
    case stepOpen: OpenStep(); break;
    case stepDataPort: DataPortStep(); break;
    case stepRest: RestStep(); break;
    case stepRetr: RetrStep(); break;
    case stepList: ListStep(); break;
    case stepNlst: NlstStep(); break;
    case stepStor: StorStep(); break;
    case stepAppe: AppeStep(); break;
    default: break;  // every other step is a row of the command table
    }
}

// --- The control connection ------------------------------------------------------------------

void TCustomFtpCli::OpenStep() {
    if (!ReadyCheck())
        return;
    if (controlConnected_) {
        RaiseUsageError("FTP component already connected");
        return;
    }
    if (!inSequence_)
        currentRequest_ = frqOpen;
    stepCode_ = stepOpen;
    doneReported_ = false;
    closingAfterQuit_ = false;
    replyReader_.Reset();
    statusCode_ = 0;
    resolvedHostAddr_.clear();
    ResetTlsResults();
    SetEngineState(fesResolving);
    try {
        // A dotted address completes inside this call.
        controlSocket_->StartDnsLookup(ConnectionType() == ftpProxy ? proxyServer_ : hostName_);
    } catch (const std::exception& e) {
        ConnectFailed("500 " + DescribeException(e), 500);
    }
}

void TCustomFtpCli::ConnectFailed(const std::string& reply, std::uint16_t result) {
    lastReply_ = reply;
    replyCode_ = 500;
    statusCode_ = 500;
    NoteError();
    sequenceNext_ = false;
    EndStep(result);
    // The close handler finds the request reported and leaves fesStepDone, which the last line
    // turns back into fesReady.
    if (controlSocket_->State() != wsClosed)
        controlSocket_->Close();
    SetEngineState(fesReady);
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t error) {
    if (engineState_ != fesResolving)
        return;  // aborted meanwhile
    if (error != 0) {
        lastReply_ = SocketErrorReply(error);
        replyCode_ = 500;
        statusCode_ = 500;
        NoteError();
        EndStep(error);
        return;
    }
    resolvedHostAddr_ = controlSocket_->DnsResult();
    SetEngineState(fesAwaitingBanner);
    try {
        ApplySocksSettings(*controlSocket_);
        controlSocket_->SetAddr(resolvedHostAddr_);
        controlSocket_->SetProto("tcp");
        controlSocket_->SetPort(port_);
        controlSocket_->Connect();
    } catch (const std::exception& e) {
        ConnectFailed("500 " + DescribeException(e), 500);
    }
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t error) {
    if (error == 0) {
        controlConnected_ = true;  // the greeting is still to come
        return;
    }
    if (!socksError_.empty())
        ConnectFailed("500 SOCKS error #" + std::to_string(error) + ": " + socksError_, error);
    else
        ConnectFailed(SocketErrorReply(error), error);
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t error) {
    if (controlConnected_) {
        controlConnected_ = false;
        if (engineState_ != fesAborting)
            SetEngineState(fesClosed);
        if (OnSessionClosed)
            OnSessionClosed(this, error);
    }
    if (engineState_ != fesAborting)
        SetEngineState(fesStepDone);
    // A request still waiting for its reply has failed: report it as such rather than with the
    // success code that the last finished step left behind.
    if (!doneReported_ && statusCode_ == 0 && !closingAfterQuit_ && stepCode_ != stepQuit) {
        replyCode_ = 426;
        statusCode_ = 426;
        if (engineState_ == fesAborting) {
            errorMessage_ = "426 Operation aborted.";
        } else {
            lastReply_ = "426 Connection closed";
            if (error != 0)
                lastReply_ += " (" + SocketErrorDescription(error) + ", error #" + std::to_string(error) + ")";
            NoteError();
        }
    }
    EndStep(static_cast<std::uint16_t>(statusCode_));
}

// --- Reading and judging replies -------------------------------------------------------------

void TCustomFtpCli::ControlDataAvailable(std::uint16_t error) {
    std::array<char, ftp::ReplyReader::kCapacity> received;
    int count = controlSocket_->Receive(received.data(), static_cast<int>(replyReader_.Room()));
    if (count == 0) {
        controlSocket_->Close();
        return;
    }
    if (count < 0)
        return;
    replyReader_.Feed(std::string_view(received.data(), static_cast<std::size_t>(count)));
    // The reader has consumed each line before it is handled, because handling one may start the
    // next request, which resets the reader.
    ftp::ReplyLine line;
    while (replyReader_.Next(options_.Contains(ftpAcceptLF), line) != ftp::ParseResult::NeedMore) {
        lastReply_.assign(line.Text);
        if (OnResponse)
            OnResponse(this);
        bool stopReading = false;
        HandleReplyLine(error, line, stopReading);
        if (stopReading)
            break;
    }
}

void TCustomFtpCli::HandleReplyLine(std::uint16_t error, const ftp::ReplyLine& line, bool& stopReading) {
    if (line.EndsReply && (engineState_ == fesAwaitingBanner || engineState_ == fesAwaitingReply))
        replyCode_ = line.Code;
    switch (engineState_) {
    case fesAwaitingBanner:
        Display("< " + lastReply_);
        if (!line.EndsReply)
            return;
        // "120 Service ready in nnn minutes": the greeting itself is still to come.
        if (replyCode_ == 120)
            return;
        if (replyCode_ == 220 || replyCode_ == 230) {
            SetEngineState(fesSessionOpen);
            if (OnSessionConnected)
                OnSessionConnected(this, error);
            EndStep(0);
            return;
        }
        NoteError();
        statusCode_ = replyCode_;
        controlSocket_->Close();  // the close handler ends the request
        stopReading = true;
        return;
    case fesAwaitingReply:
        // The lines before a reply's last are shown only: the handlers act on the whole reply.
        if (!line.EndsReply) {
            Display("< " + lastReply_);
            return;
        }
        if (fNext_ == ReplyHandler::None) {
            RaiseUsageError("Program error: FNext is nil");
            return;
        }
        {
            const bool serverCloses = replyCode_ == 421;
            DispatchFinalReply();
            // A 421 says the server is closing the control connection: it is closed here and now,
            // so the request's end finds it closed instead of racing the server's close.
            if (serverCloses && controlSocket_->State() != wsClosed) {
                controlSocket_->Close();
                stopReading = true;
                if (doneReported_ && engineState_ == fesStepDone)
                    SetEngineState(fesReady);
            }
        }
        return;
    default:
        Display("< " + lastReply_);
        return;
    }
}

void TCustomFtpCli::DispatchFinalReply() {
    switch (fNext_) {
    case ReplyHandler::None: break;
    case ReplyHandler::Judge: JudgeReply(); break;
    case ReplyHandler::RetrFirst: RetrieveFirstReply(); break;
    case ReplyHandler::RetrClosing: RetrieveClosingReply(); break;
    case ReplyHandler::StoreFirst: StoreFirstReply(); break;
    case ReplyHandler::StoreClosing: StoreClosingReply(); break;
    }
}

void TCustomFtpCli::JudgeReply() {
    Display("< " + lastReply_);
    bool success = false;
    if (expectedCodes_[0] == 0 && !acceptAnyCompletion_) {
        success = replyCode_ < 500;
    } else {
        success = acceptAnyCompletion_ && replyCode_ >= 200 && replyCode_ < 300;
        for (std::size_t i = 0; !success && expectedCodes_[i] != 0; ++i)
            success = expectedCodes_[i] == replyCode_;
    }
    statusCode_ = success ? 0 : replyCode_;
    if (afterReplyHandler_ == AfterReply::StartTls && JudgeAuthReply())
        return;
    // Passive first: a refused PASV goes on with PORT, the request none the worse for it.
    if (statusCode_ != 0 && stepCode_ == stepDataPort && replyCode_ != 421 && FallBackToPort()) {
        statusCode_ = 0;
        SetEngineState(fesStepDone);
        DataPortStep();
        return;
    }
    if (statusCode_ != 0)
        NoteError();
    if (passiveMode_ && replyCode_ == 227)
        pasvReply_ = lastReply_;
    ParseReplyResult();
    if (afterReplyHandler_ == AfterReply::CloseControl) {
        closingAfterQuit_ = true;
        controlSocket_->Close();  // the close handler ends the request
        return;
    }
    EndStep(static_cast<std::uint16_t>(statusCode_));
}

// --- Posted messages and abort ---------------------------------------------------------------

void TCustomFtpCli::HandleNotification(unsigned message, std::uintptr_t wParam, std::intptr_t) {
    try {
        if (message == kWmFtpRequestDone) {
            if (OnRequestDone)
                OnRequestDone(this, currentRequest_, static_cast<std::uint16_t>(wParam));
        } else if (message == kWmFtpSendData) {
            transferStartTick_ = NowMs();
            SendNextBlock(0);
        }
    } catch (const std::exception& e) {
        HandleBackgroundException(e);
    }
}

void TCustomFtpCli::HandleBackgroundException(const std::exception& e) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, e, canClose);
        } catch (...) {
            // The handler's own failure has nowhere to go.
        }
    }
    // Left running, a request whose handler failed might never end; abort it so it reports.
    if (canClose) {
        try {
            AbortAll();
        } catch (...) {
        }
    }
}

void TCustomFtpCli::AbortAll() {
    bool wasResolving = engineState_ == fesResolving;
    SetEngineState(fesAborting);
    CloseLocalFile();
    if (wasResolving)
        controlSocket_->CancelLookup();
    if (controlSocket_->State() != wsClosed)
        controlSocket_->Close();
    if (dataSocket_->State() != wsClosed)
        CloseDataSocket();
    CloseLocalFile();
    controlConnected_ = false;
    // A request with no open connection (a lookup, say) gets no close event: report it here.
    if (!doneReported_) {
        replyCode_ = 426;
        statusCode_ = 426;
        errorMessage_ = "426 Operation aborted.";
        sequenceNext_ = false;
        EndStep(426);
    }
    SetEngineState(fesReady);
}
