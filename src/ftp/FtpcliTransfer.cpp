// The data connection: PASV or PORT, retrieval into a local file (or OnDisplayFile), storing
// from one, REST, and the rule that ends a transfer once both its data connection has closed and
// its closing reply has arrived, in whichever order they come.
#include <sys/socket.h>

#include <chrono>

#include "ftp/FtpReply.h"
#include "ftp/Ftpcli.h"

namespace {

constexpr int kWouldBlock = 10035;
constexpr int kConnectionReset = 10054;


// A fast retrieval is read in batches of this much: fewer wake-ups leave the sender, which does
// the waking, more time to send (on loopback, close to half the time for a large file to a pipe).
constexpr int kReceiveBatchBytes = 256 * 1024;

}  // namespace

std::int64_t TCustomFtpCli::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               platform::EventLoop::Clock::now().time_since_epoch())
        .count();
}

bool TCustomFtpCli::Progress() {
    bool abort = false;
    if (OnProgress)
        OnProgress(this, transferredBytes_ + restartOffset_, abort);
    return abort;
}

void TCustomFtpCli::CloseDataSocket() {
    if (dataSocket_->State() != wsClosed)
        dataSocket_->Close();
}

void TCustomFtpCli::NoteTransferFailure(int code, const std::string& text) {
    if (transferFailureCode_ == 0) {
        transferFailureCode_ = code;
        transferFailure_ = text;
    }
}

bool TCustomFtpCli::AbortRequested() {
    if (!Progress())
        return false;
    Display("! Abort requested");
    NoteTransferFailure(426, "426 Transfer aborted by the application");
    CloseDataSocket();
    return true;
}

void TCustomFtpCli::ResetTransfer() {
    StopTransferWatch();
    dataLinkLost_ = false;
    redoWithPort_ = false;
    dataLinkFailure_.clear();
    announcedSize_ = -1;
    retrieveFilePending_ = false;
    finalReplySeen_ = false;
    doneReported_ = false;
    closingAfterQuit_ = false;
    transferredBytes_ = 0;
    bulkReceive_ = false;
    dataCloseError_ = 0;
    transferStartTick_ = 0;
    transferFailureCode_ = 0;
    transferFailure_.clear();
}

void TCustomFtpCli::FailTransferStep(int code, const std::string& reply) {
    StopTransferWatch();
    lastReply_ = reply;
    replyCode_ = code;
    NoteError();
    CloseDataSocket();
    CloseLocalFile();
    statusCode_ = code;
    EndStep(static_cast<std::uint16_t>(code));
}

void TCustomFtpCli::RefuseTransfer() {
    StopTransferWatch();
    NoteError();
    SetNext(ReplyHandler::None);
    CloseDataSocket();
    CloseLocalFile();
    restartOffset_ = 0;
    statusCode_ = replyCode_;
    EndStep(static_cast<std::uint16_t>(replyCode_));
}

void TCustomFtpCli::FailTransferOnClosingReply(const char* commands) {
    StopTransferWatch();
    NoteError();
    CloseLocalFile();
    CloseDataSocket();
    Display(std::string("! ") + commands + " Failed");
    statusCode_ = replyCode_;
    EndStep(static_cast<std::uint16_t>(replyCode_));
}

// --- PASV / PORT -----------------------------------------------------------------------------

void TCustomFtpCli::DataPortStep() {
    if (!ReadyCheck())
        return;
    if (!controlConnected_) {
        RaiseUsageError("FTP component not connected");
        return;
    }
    // Some servers (pyftpdlib) connect as soon as they get PORT, before the data command is
    // sent; the listener notifies such a connection only once, so it is remembered until the
    // retrieval or store takes it.
    pendingAccept_ = false;
    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t) { pendingAccept_ = true; };
    dataSocket_->OnSessionConnected = nullptr;
    dataSocket_->OnSessionClosed = nullptr;
    dataSocket_->OnDataAvailable = nullptr;
    dataSocket_->OnDataSent = nullptr;
    CloseDataSocket();
    ApplySocksSettings(*dataSocket_);
    dataSocket_->SetProto("tcp");
    dataSocket_->SetAddr("0.0.0.0");
    dataSocket_->SetPort("0");

    std::uint16_t dataPort = 0;
    if (!passiveMode_) {
        dataSocket_->SetLingerOnOff(wsLingerOn);
        dataSocket_->SetLingerTimeout(10);
        dataSocket_->Listen();
        sockaddr_in local{};
        int length = sizeof local;
        dataSocket_->GetLocalSocketAddress(local, length);
        dataPort = WSocketNtohs(local.sin_port);
    }
    std::string command = "PASV";
    if (!passiveMode_) {
        sockaddr_in local{};
        int length = sizeof local;
        controlSocket_->GetLocalSocketAddress(local, length);
        sockaddr_in peer{};
        int peerLength = sizeof peer;
        bool peerIsLoopback = controlSocket_->GetPeerSocketAddress(peer, peerLength) == 0 &&
                              WSocketNtohl(peer.sin_addr.s_addr) == 0x7F000001u;
        command = ftp::FormatPortCommand(WSocketNtohl(local.sin_addr.s_addr), dataPort, peerIsLoopback);
    }
    transferredBytes_ = 0;
    restInSequence_ = false;
    stepCode_ = stepDataPort;
    IssueCommand(frqDataPort, command, AfterReply::None, {200, 227});
}

// --- Passive first, PORT as the fallback -----------------------------------------------------

bool TCustomFtpCli::FallBackToPort() {
    if (!passiveFallback_ || !passiveMode_ || ConnectionType() != ftpDirect)
        return false;
    passiveMode_ = false;
    Display("! Passive mode failed; data connections use PORT from now on");
    return true;
}

bool TCustomFtpCli::RedoTransferWithPort() {
    if (!inSequence_)
        return false;
    const std::uint8_t transferStep = stepCode_;
    stepSet_ |= Steps({stepDataPort}) | (1u << transferStep);
    if (restInSequence_)
        stepSet_ |= Steps({stepRest});
    // The failure that led here is not the request's: it goes on as if it had not happened.
    errorMessage_.clear();
    statusCode_ = 0;
    SetNext(ReplyHandler::None);
    CloseDataSocket();
    CloseLocalFile();
    EndStep(0);
    return true;
}

// --- Limits of a running transfer ------------------------------------------------------------

void TCustomFtpCli::StartStallWatch() {
    lastDataMs_ = NowMs();
    const int limit = TransferStallSeconds();
    if (limit <= 0) {
        StopTransferWatch();
        return;
    }
    if (!transferTimer_)
        transferTimer_ = std::make_unique<TFtpTimer>(loop_, [this] { TransferTimerExpired(); });
    transferWatch_ = TransferWatch::Stall;
    transferTimer_->Start(std::chrono::seconds(limit));
}

void TCustomFtpCli::StopTransferWatch() {
    transferWatch_ = TransferWatch::None;
    if (transferTimer_)
        transferTimer_->Stop();
}

void TCustomFtpCli::TransferTimerExpired() {
    const TransferWatch watch = transferWatch_;
    transferWatch_ = TransferWatch::None;
    const bool transferRuns = stepCode_ == stepRetr || stepCode_ == stepList || stepCode_ == stepNlst ||
                              stepCode_ == stepStor || stepCode_ == stepAppe;
    if (doneReported_ || engineState_ != fesAwaitingReply || !transferRuns)
        return;
    if (watch == TransferWatch::Grace) {
        EndTransferNow(425, dataLinkFailure_);
        return;
    }
    if (watch != TransferWatch::Stall)
        return;
    // Data moves the mark without touching the timer; the timer only checks it now and then.
    const int limit = TransferStallSeconds();
    const std::int64_t left = lastDataMs_ + std::int64_t{limit} * 1000 - NowMs();
    if (limit > 0 && left > 0) {
        transferWatch_ = TransferWatch::Stall;
        transferTimer_->Start(std::chrono::milliseconds(left));
        return;
    }
    EndTransferNow(426, "426 No data for " + std::to_string(limit) + " seconds: transfer stalled");
}

void TCustomFtpCli::DataLinkLost(const std::string& failure) {
    lastReply_ = failure;
    NoteError();
    Display("! " + failure);
    dataLinkLost_ = true;
    dataLinkFailure_ = failure;
    NoteTransferFailure(425, failure);
    redoWithPort_ = FallBackToPort();
    CloseDataSocket();
    CloseLocalFile();
    dataClosedSeen_ = true;
    dataCloseError_ = 0;
    // The server has accepted the transfer and now waits for a connection that will not come:
    // its answer may take minutes.
    if (fNext_ != ReplyHandler::RetrFirst && fNext_ != ReplyHandler::StoreFirst) {
        EndTransferNow(425, failure);
        return;
    }
    if (!transferTimer_)
        transferTimer_ = std::make_unique<TFtpTimer>(loop_, [this] { TransferTimerExpired(); });
    transferWatch_ = TransferWatch::Grace;
    transferTimer_->Start(DataLinkGrace());
}

void TCustomFtpCli::EndTransferNow(int code, const std::string& text) {
    StopTransferWatch();
    if (doneReported_)
        return;
    Display("! " + text);
    lastReply_ = text;
    replyCode_ = code;
    NoteError();
    statusCode_ = code;
    SetNext(ReplyHandler::None);
    sequenceNext_ = false;
    retrieveFilePending_ = false;
    CloseLocalFile();
    CloseDataSocket();
    // The close handler ends the request with StatusCode.
    if (controlSocket_->State() != wsClosed)
        controlSocket_->Close();
    if (!doneReported_)
        EndStep(static_cast<std::uint16_t>(code));
    if (engineState_ == fesStepDone)
        SetEngineState(fesReady);
}

// Points the data socket at the port of the kept 227 reply, on the control connection's own peer
// address: the address in the reply is never trusted.
bool TCustomFtpCli::PreparePassiveConnect(std::string& failure) {
    ftp::PasvReplyParse pasv = ftp::ParsePasvReply(pasvReply_);
    if (pasv.Result != ftp::ParseResult::Complete) {
        failure = "550 Malformed passive reply: \"" + pasvReply_ + "\"";
        return false;
    }
    ApplySocksSettings(*dataSocket_);
    dataSocket_->SetPort(std::to_string(pasv.Port));
    dataSocket_->SetAddr(controlSocket_->Addr());
    return true;
}

// --- Retrieval -------------------------------------------------------------------------------

void TCustomFtpCli::RetrStep() { RetrieveStep(frqGet, stepRetr, "RETR"); }
void TCustomFtpCli::ListStep() { RetrieveStep(frqList, stepList, "LIST"); }
void TCustomFtpCli::NlstStep() { RetrieveStep(frqNlst, stepNlst, "NLST"); }

void TCustomFtpCli::RetrieveStep(TFtpRequest request, StepBit step, const char* command) {
    if (!ReadyCheck())
        return;
    if (!controlConnected_) {
        RaiseUsageError(std::string(command) + ": not connected");
        return;
    }
    if (localFileName_.empty() && !displayFileFlag_ && localStream_ < 0) {
        RaiseUsageError("LocalFileName empty");
        return;
    }
    if (!ArgumentAllowed("HostFileName", hostFileName_))
        return;
    stepCode_ = step;
    if (!inSequence_)
        currentRequest_ = request;
    dataCommand_ = command;
    // Listings are text whatever the type; files only in ASCII type.
    localLineEnds_ = dataCommand_ != "RETR" || transferType_ == 'A';
    lineEnds_.Reset();
    ResetTransfer();
    dataClosedSeen_ = false;
    dataSocket_->SetReceiveBatch(kReceiveBatchBytes);
    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t error) { RetrieveAccept(error); };

    // The local file is left alone until the server has accepted the transfer: a refused one
    // must not empty or create it.
    retrieveFilePending_ = !displayFileFlag_;
    if (!passiveMode_ && pendingAccept_) {
        RetrieveAccept(0);
        if (dataLinkLost_) {
            FailTransferStep(425, dataLinkFailure_);
            return;
        }
    }
    if (passiveMode_) {
        std::string failure;
        if (!PreparePassiveConnect(failure)) {
            FailTransferStep(550, failure);
            return;
        }
        dataSocket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t error) { RetrieveConnected(error); };
        dataSocket_->SetLingerOnOff(wsLingerOff);
        dataSocket_->SetLingerTimeout(0);
        try {
            dataSocket_->Connect();
        } catch (const std::exception& e) {
            FailTransferStep(550, "550 " + DescribeException(e));
            return;
        }
    }
    // In passive mode the command goes out at once, while the data connection is still opening.
    SetEngineState(fesAwaitingReply);
    SetNext(ReplyHandler::RetrFirst);
    StartStallWatch();
    SendCommand(hostFileName_.empty() ? dataCommand_ : dataCommand_ + " " + hostFileName_);
}

bool TCustomFtpCli::OpenRetrieveFileOnce() {
    if (!retrieveFilePending_)
        return true;
    retrieveFilePending_ = false;
    if (OpenRetrieveFile())
        return true;
    const std::string failure = "Unable to open local file " + localFileName_;
    Display("! " + failure);
    NoteTransferFailure(550, failure);
    dataSocket_->Shutdown(2);
    return false;
}

bool TCustomFtpCli::OpenRetrieveFile() {
    if (localStream_ >= 0) {
        localFile_.Borrow(localStream_);
        return true;
    }
    if (restartOffset_ > 0)
        return localFile_.OpenForWriteAt(localFileName_, restartOffset_);
    return localFile_.Create(localFileName_);
}

TSocket TCustomFtpCli::AcceptDataLink(std::uint16_t error, ReplyHandler first, ReplyHandler closing) {
    pendingAccept_ = false;
    TSocket accepted = INVALID_SOCKET;
    std::string failure;
    try {
        if (error == 0)
            accepted = dataSocket_->Accept();
    } catch (const std::exception& e) {
        failure = DescribeException(e);
    }
    if (accepted != INVALID_SOCKET)
        return accepted;
    // The server's connection is lost with the listener; it will answer the data command with a
    // failure, or wait for a connection that is not coming.
    if (failure.empty())
        failure = "error #" + std::to_string(error != 0 ? error : dataSocket_->LastError());
    failure = "425 Unable to accept the data connection: " + failure;
    if (fNext_ == first || fNext_ == closing) {
        DataLinkLost(failure);
    } else {
        dataLinkLost_ = true;
        dataLinkFailure_ = failure;
        CloseDataSocket();
    }
    return INVALID_SOCKET;
}

void TCustomFtpCli::RetrieveAccept(std::uint16_t error) {
    const TSocket accepted = AcceptDataLink(error, ReplyHandler::RetrFirst, ReplyHandler::RetrClosing);
    if (accepted == INVALID_SOCKET)
        return;
    dataSocket_->Close();
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t error) { RetrieveClosed(error); };
    dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t error) { RetrieveDataAvailable(error); };
    dataSocket_->OnDataSent = nullptr;
    dataSocket_->Dup(accepted);
    transferStartTick_ = NowMs();
    StartDataTls();
}

void TCustomFtpCli::RetrieveConnected(std::uint16_t error) {
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t closeError) { RetrieveClosed(closeError); };
    dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t dataError) { RetrieveDataAvailable(dataError); };
    dataSocket_->OnDataSent = nullptr;
    transferStartTick_ = NowMs();
    if (error == 0) {
        StartDataTls();
        return;
    }
    if (error == kConnectionReset) {
        // The server took the connection and dropped it before its notice was read here: it
        // knows, and its closing reply ends the transfer.
        Display("! Data connection reset");
        NoteTransferFailure(426, "426 Data connection reset (error #" + std::to_string(error) + ")");
        CloseDataSocket();
        return;
    }
    // The data command went out while the connect ran, so the server will still answer it (a
    // 425, often only after its own wait). Ending the step at once would leave that answer to be
    // read as the reply to the next command; the answer, or the grace, ends the step.
    DataLinkLost(DataLinkFailure(error));
}

// A store sends its command only once the data connection is up, so a failed connect ends it at
// once, or goes on with PORT.
void TCustomFtpCli::DataLinkFailed(std::uint16_t error) {
    const std::string failure = DataLinkFailure(error);
    if (FallBackToPort()) {
        Display("! " + failure);
        if (RedoTransferWithPort())
            return;
    }
    FailTransferStep(425, failure);
}

std::string TCustomFtpCli::DataLinkFailure(std::uint16_t error) const {
    std::string failure = "Unable to establish data connection, error #" + std::to_string(error);
    if (!socksError_.empty())
        failure += " (SOCKS: " + socksError_ + ")";
    return failure;
}

void TCustomFtpCli::RetrieveDataAvailable(std::uint16_t) {
    if (AbortRequested())
        return;
    if (ReceivesThroughPipe()) {
        ReceiveThroughPipe();
        return;
    }
    int count = dataSocket_->Receive(receiveBuffer_.get(), static_cast<int>(kReceiveBlockSize));
    if (!DataReceived(count))
        return;
    bulkReceive_ = count == static_cast<int>(kReceiveBlockSize);
    // Data before the 150 (active mode, where the two connections race) is the server's
    // acceptance as well.
    if (!OpenRetrieveFileOnce())
        return;
    transferredBytes_ += count;
    if (localFile_.IsOpen() && !WriteReceived(std::string_view(receiveBuffer_.get(), static_cast<std::size_t>(count)))) {
        LocalWriteFailed();
        return;
    }
    if (displayFileFlag_ && OnDisplayFile) {
        ftp::SplitDisplayLines(std::string_view(receiveBuffer_.get(), static_cast<std::size_t>(count)),
                               [this](std::string_view line) {
                                   std::string message(line);
                                   OnDisplayFile(this, message);
                               });
    }
}

bool TCustomFtpCli::ReceivesThroughPipe() {
    return bulkReceive_ && localFile_.IsOpen() && !localLineEnds_ && !(displayFileFlag_ && OnDisplayFile) &&
           dataSocket_->ReceivesStraight() && localFile_.TakesFromPipe() && receivePipe_.Ready();
}

void TCustomFtpCli::ReceiveThroughPipe() {
    const int count = dataSocket_->ReceiveToPipe(receivePipe_.WriteEnd(), receivePipe_.Capacity());
    if (!DataReceived(count))
        return;
    transferredBytes_ += count;
    if (!localFile_.WriteFromPipe(receivePipe_.ReadEnd(), static_cast<std::size_t>(count))) {
        // What is left in the pipe belongs to no file.
        receivePipe_.Drop();
        LocalWriteFailed();
    }
}

bool TCustomFtpCli::DataReceived(int count) {
    if (count > 0) {
        lastDataMs_ = NowMs();
        return true;
    }
    if (count < 0 && dataSocket_->State() == wsConnected && dataSocket_->LastError() != kWouldBlock) {
        std::string error = std::to_string(dataSocket_->LastError());
        Display("! Data: Receive error " + error);
        NoteTransferFailure(426, "426 Data: Receive error " + error);
        dataSocket_->Shutdown(2);
    }
    return false;
}

void TCustomFtpCli::LocalWriteFailed() {
    Display("! Error writing local file");
    NoteTransferFailure(550, "550 Error writing local file " + localFileName_);
    dataSocket_->Shutdown(2);
}

void TCustomFtpCli::RetrieveFirstReply() {
    Display("< " + lastReply_);
    if (IsEmptyRetrievalReply()) {
        EndEmptyRetrieval();
        return;
    }
    if (replyCode_ == 150 || replyCode_ == 125) {
        SetNext(ReplyHandler::RetrClosing);
        if (dataLinkLost_) {
            // The server now waits for a data connection that will not come.
            EndTransferNow(425, dataLinkFailure_);
            return;
        }
        const ftp::SizeReplyParse announced = ftp::ParseAnnouncedSize(lastReply_);
        announcedSize_ = announced.Result == ftp::ParseResult::Complete ? announced.Size : -1;
        OpenRetrieveFileOnce();
        return;
    }
    // A passive server that could not open the data connection may answer before this side has
    // met the failed connect: its 425 says the same.
    if (replyCode_ == 425 && passiveMode_ && !dataLinkLost_) {
        dataLinkLost_ = true;
        dataLinkFailure_ = lastReply_;
        redoWithPort_ = FallBackToPort();
    }
    if (dataLinkLost_ && AnswerLostDataLink())
        return;
    retrieveFilePending_ = false;
    RefuseTransfer();
}

bool TCustomFtpCli::AnswerLostDataLink() {
    StopTransferWatch();
    if (redoWithPort_ && replyCode_ != 421 && RedoTransferWithPort())
        return true;
    // The server's refusal answers a data connection that could not be made: that is what the
    // caller is told, with 425.
    if (replyCode_ != 421) {
        lastReply_ = dataLinkFailure_;
        replyCode_ = 425;
    }
    return false;
}

bool TCustomFtpCli::IsEmptyRetrievalReply() const {
    if (replyCode_ == 226 || replyCode_ == 250)
        return true;
    return (replyCode_ == 450 || replyCode_ == 550) && dataCommand_ != "RETR" && ftp::ReplySaysNoFiles(lastReply_);
}

// An empty transfer, not a refusal: the local file is the empty file asked for. Data that came
// before the reply (active mode, where the connections race) means the server only skipped its
// 150, and the data connection's close ends the transfer as usual.
void TCustomFtpCli::EndEmptyRetrieval() {
    SetNext(ReplyHandler::RetrClosing);
    finalReplySeen_ = true;
    if (transferredBytes_ == 0) {
        CloseDataSocket();
        dataClosedSeen_ = true;
        dataCloseError_ = 0;
    }
    CheckRetrieveEnd();
}

void TCustomFtpCli::RetrieveClosingReply() {
    Display("< " + lastReply_);
    if (replyCode_ == 125 || replyCode_ == 226 || replyCode_ == 250) {
        finalReplySeen_ = true;
        CheckRetrieveEnd();
        return;
    }
    // The server gave the transfer up, but what it sent before that is still on its way: it is
    // read to the data connection's end, so that a resume goes on after it instead of having
    // it sent again. The failure ends the transfer once the data connection has closed.
    if (replyCode_ != 421 && !dataClosedSeen_ && transferFailureCode_ == 0) {
        Display("! RETR/LIST/NLST Failed");
        NoteTransferFailure(replyCode_, lastReply_);
        finalReplySeen_ = true;
        // Unless it never connected to this side's listener: then nothing is on its way, and
        // the listener's wait would last until the stall limit.
        if (dataSocket_->State() == wsListening) {
            CloseDataSocket();
            dataClosedSeen_ = true;
            dataCloseError_ = 0;
        }
        CheckRetrieveEnd();
        return;
    }
    // A local failure (the file could not be written, say) says more than the server's 426.
    if (transferFailureCode_ != 0 && replyCode_ != 421) {
        lastReply_ = transferFailure_;
        replyCode_ = transferFailureCode_;
    }
    retrieveFilePending_ = false;
    FailTransferOnClosingReply("RETR/LIST/NLST");
}

bool TCustomFtpCli::WriteReceived(std::string_view block) {
    if (!localLineEnds_)
        return localFile_.Write(block.data(), block.size());
    convertedBlock_.clear();
    lineEnds_.Convert(block, convertedBlock_);
    return localFile_.Write(convertedBlock_.data(), convertedBlock_.size());
}

void TCustomFtpCli::FinishReceivedText() {
    if (!localLineEnds_ || !localFile_.IsOpen())
        return;
    convertedBlock_.clear();
    lineEnds_.Finish(convertedBlock_);
    if (!convertedBlock_.empty() && !localFile_.Write(convertedBlock_.data(), convertedBlock_.size()))
        NoteTransferFailure(550, "550 Error writing local file " + localFileName_);
}

void TCustomFtpCli::RetrieveClosed(std::uint16_t error) {
    // The reply to the data command is awaited under the Timeout, no longer the stall limit.
    if (transferWatch_ == TransferWatch::Stall)
        StopTransferWatch();
    FinishReceivedText();
    CloseLocalFile();
    dataClosedSeen_ = true;
    dataCloseError_ = error;
    CheckRetrieveEnd();
}

bool TCustomFtpCli::MatchesAnnouncedSize() const {
    if (announcedSize_ < 0 || transferType_ != 'I' || dataCommand_ != "RETR")
        return true;
    // Most servers announce the whole file, some only what a restart leaves to send.
    return restartOffset_ + transferredBytes_ == announcedSize_ || transferredBytes_ == announcedSize_;
}

void TCustomFtpCli::CheckRetrieveEnd() {
    if (!doneReported_ && finalReplySeen_ && dataClosedSeen_)
        EndTransfer();
}

// Shared end of a retrieval and a store, once both halves are in.
void TCustomFtpCli::EndTransfer() {
    transferEndTick_ = NowMs();
    std::int64_t elapsed = transferStartTick_ != 0 ? transferEndTick_ - transferStartTick_ : 0;
    Display("! " + ftp::TransferSummary(transferredBytes_, elapsed));
    StopTransferWatch();
    // A file the server sent nothing of is still the (empty) file asked for; a file opened by
    // a 150 that came after the data connection's close is closed here.
    if (dataCloseError_ == 0 && transferFailureCode_ == 0)
        OpenRetrieveFileOnce();
    CloseLocalFile();
    // A transfer that ended in order but short of the size its server announced is cut, whatever
    // the closing reply says.
    if (dataCloseError_ == 0 && transferFailureCode_ == 0 && !MatchesAnnouncedSize())
        NoteTransferFailure(426, "426 Transfer ended after " + std::to_string(restartOffset_ + transferredBytes_) +
                                     " of the " + std::to_string(announcedSize_) + " bytes announced");
    restartOffset_ = 0;
    std::uint16_t result = dataCloseError_;
    // The data connection was reset or broke: a failure that may pass, whatever its socket error.
    if (result != 0) {
        if (errorMessage_.empty())
            errorMessage_ = "426 Data connection closed with error #" + std::to_string(result);
        result = 426;
        replyCode_ = 426;
    }
    // The server may well confirm a transfer that this side cut short or could not store; the
    // file is incomplete all the same.
    if (result == 0 && transferFailureCode_ != 0) {
        lastReply_ = transferFailure_;
        replyCode_ = transferFailureCode_;
        NoteError();
        result = static_cast<std::uint16_t>(transferFailureCode_);
    }
    statusCode_ = result;
    EndStep(result);
}

// --- Storing ---------------------------------------------------------------------------------

void TCustomFtpCli::StorStep() { StoreStep(false); }
void TCustomFtpCli::AppeStep() { StoreStep(true); }

void TCustomFtpCli::StoreStep(bool append) {
    if (!ReadyCheck())
        return;
    if (!controlConnected_) {
        RaiseUsageError("STOR/APPE: not connected");
        return;
    }
    if (localFileName_.empty() && localStream_ < 0) {
        RaiseUsageError("LocalFileName empty");
        return;
    }
    if (!ArgumentAllowed("HostFileName", hostFileName_))
        return;
    stepCode_ = append ? stepAppe : stepStor;
    appendTransfer_ = append;
    currentRequest_ = append ? frqAppend : frqPut;
    ResetTransfer();
    sendDataClosed_ = false;
    sendEofReached_ = false;
    storeReplySeen_ = false;
    dataLinkUp_ = false;

    bool cancel = false;
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, cancel);
    if (cancel) {
        errorMessage_ = "426 Transmit cancelled by application";
        replyCode_ = 426;
        Display("! " + errorMessage_);
        statusCode_ = 426;
        EndStep(426);
        return;
    }

    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t error) { StoreAccept(error); };
    CloseLocalFile();
    bool opened = true;
    if (localStream_ >= 0)
        localFile_.Borrow(localStream_);
    else
        opened = localFile_.OpenForRead(localFileName_, restartOffset_);
    if (!opened) {
        errorMessage_ = "426 Unable to open local file " + localFileName_;
        replyCode_ = 426;
        Display("! " + errorMessage_);
        CloseDataSocket();
        statusCode_ = 426;
        EndStep(426);
        return;
    }

    if (passiveMode_) {
        std::string failure;
        if (!PreparePassiveConnect(failure)) {
            FailTransferStep(550, failure);
            return;
        }
        dataSocket_->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t error) { StoreConnected(error); };
        dataSocket_->SetLingerOnOff(wsLingerOff);
        dataSocket_->SetLingerTimeout(0);
        try {
            dataSocket_->Connect();
        } catch (const std::exception& e) {
            FailTransferStep(426, "426 " + DescribeException(e));
        }
        return;  // the command goes out once the data connection is up
    }
    if (pendingAccept_) {
        StoreAccept(0);
        if (dataLinkLost_) {
            FailTransferStep(425, dataLinkFailure_);
            return;
        }
    }
    SendStoreCommand();
}

void TCustomFtpCli::SendStoreCommand() {
    SetEngineState(fesAwaitingReply);
    SetNext(ReplyHandler::StoreFirst);
    StartStallWatch();
    SendCommand((appendTransfer_ ? "APPE " : "STOR ") + hostFileName_);
}

void TCustomFtpCli::StoreConnected(std::uint16_t error) {
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t closeError) { StoreClosed(closeError); };
    dataSocket_->OnDataAvailable = nullptr;
    dataSocket_->OnDataSent = nullptr;
    // With TLS the link is up once its handshake is done.
    dataLinkUp_ = !dataProtected_;
    transferStartTick_ = NowMs();
    if (error != 0) {
        DataLinkFailed(error);
        return;
    }
    // The command goes out during the handshake: servers such as vsftpd take the data
    // connection, and answer its handshake, only once they have the command.
    if (!StartDataTls())
        return;
    SendStoreCommand();
}

void TCustomFtpCli::StoreAccept(std::uint16_t error) {
    const TSocket accepted = AcceptDataLink(error, ReplyHandler::StoreFirst, ReplyHandler::StoreClosing);
    if (accepted == INVALID_SOCKET)
        return;
    dataSocket_->Close();
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t error) { StoreClosed(error); };
    dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { DiscardData(); };
    dataSocket_->OnDataSent = [this](TCustomWSocket*, std::uint16_t error) { SendNextBlock(error); };
    // Dup applies the linger setting: a graceful close, so the last block is not cut off.
    dataSocket_->SetLingerOnOff(wsLingerOff);
    dataSocket_->SetLingerTimeout(10);
    dataSocket_->Dup(accepted);
    int sendBufferSize = 0;
    int length = sizeof sendBufferSize;
    if (WSocketGetSockOpt(accepted, SOL_SOCKET, SO_SNDBUF, &sendBufferSize, &length) != 0) {
        RaiseUsageError("winsock.getsockopt(SO_SNDBUF) failed");
        return;
    }
    dataLinkUp_ = !dataProtected_;
    if (!StartDataTls())
        return;
    if (dataLinkUp_ && storeReplySeen_ && transferStartTick_ == 0)
        notify_->Post(kWmFtpSendData);
}

void TCustomFtpCli::DiscardData() {
    char discard[2048];
    dataSocket_->Receive(discard, sizeof discard);
}

void TCustomFtpCli::StoreFirstReply() {
    Display("< " + lastReply_);
    if (dataLinkLost_) {
        if (replyCode_ == 150 || replyCode_ == 125) {
            EndTransferNow(425, dataLinkFailure_);
            return;
        }
        if (!AnswerLostDataLink())
            RefuseTransfer();
        return;
    }
    if (replyCode_ == 150 || replyCode_ == 125) {
        storeReplySeen_ = true;
        SetNext(ReplyHandler::StoreClosing);
        if (passiveMode_) {
            dataSocket_->OnDataSent = [this](TCustomWSocket*, std::uint16_t error) { SendNextBlock(error); };
            SendNextBlock(0);
        } else if (dataLinkUp_ && transferStartTick_ == 0) {
            notify_->Post(kWmFtpSendData);
        }
        return;
    }
    RefuseTransfer();
}

// Sends one block per call; the next call comes when the socket's queue has drained, so at most
// one block waits in the socket layer and the file is never read ahead of the network.
void TCustomFtpCli::SendNextBlock(std::uint16_t error) {
    if (localFile_.IsOpen() && AbortRequested())
        return;
    if (error != 0) {
        Display("! Error #" + std::to_string(error) + " sending data");
        NoteTransferFailure(426, "426 Error #" + std::to_string(error) + " sending data");
        CloseDataSocket();
        return;
    }
    if (sendEofReached_ || !storeReplySeen_ || !dataLinkUp_ || dataSocket_->State() != wsConnected)
        return;
    // A second start (connect notification and posted start racing) must not queue a second block.
    if (dataSocket_->BufferedByteCount() > 0)
        return;
    long count = localFile_.IsOpen() ? localFile_.Read(sendBuffer_.data(), sendBuffer_.size()) : -1;
    if (count < 0) {
        Display("! Error reading file");
        NoteTransferFailure(426, "426 Error reading local file " + localFileName_);
        CloseDataSocket();
        return;
    }
    if (count == 0) {
        sendEofReached_ = true;
        CloseDataSocket();
        return;
    }
    transferredBytes_ += count;
    lastDataMs_ = NowMs();
    dataSocket_->Send(sendBuffer_.data(), static_cast<int>(count));
}

void TCustomFtpCli::StoreClosingReply() {
    Display("< " + lastReply_);
    if (replyCode_ == 226 || replyCode_ == 250) {
        finalReplySeen_ = true;
        CheckStoreEnd();
        return;
    }
    FailTransferOnClosingReply("STOR");
}

void TCustomFtpCli::StoreClosed(std::uint16_t error) {
    if (transferWatch_ == TransferWatch::Stall)
        StopTransferWatch();
    CloseLocalFile();
    sendDataClosed_ = true;
    dataCloseError_ = error;
    // The data connection went away before the whole file was sent.
    if (!sendEofReached_)
        NoteTransferFailure(426, "426 Data connection closed before the whole file was sent");
    CheckStoreEnd();
}

void TCustomFtpCli::CheckStoreEnd() {
    if (!doneReported_ && finalReplySeen_ && sendDataClosed_)
        EndTransfer();
}

// --- REST ------------------------------------------------------------------------------------

void TCustomFtpCli::RestStep() {
    if (!ReadyCheck())
        return;
    // Checked before anything is set: a refused REST must leave the running request alone.
    if (!controlConnected_) {
        RaiseUsageError("FTP component not connected");
        return;
    }
    stepCode_ = stepRest;
    restInSequence_ = inSequence_;
    TFtpRequest request = inSequence_ ? currentRequest_ : frqRest;
    const bool upload = request == frqResumePut || request == frqSessionResumePut;
    // Resumed uploads, and callers that asked for it, set the offset themselves.
    if (!upload && !options_.Contains(ftpNoAutoResumeAt))
        restartOffset_ = TFtpLocalFile::SizeOf(localFileName_);
    // A download whose remote size is known (a SIZE of this file ran before) may already be
    // whole, or may not be the remote file's beginning at all.
    const bool sizeKnown = !upload && remoteFileSize_ > 0 && sizeFileName_ == hostFileName_;
    if (sizeKnown && restartOffset_ > remoteFileSize_) {
        if (!inSequence_)
            currentRequest_ = frqRest;
        doneReported_ = false;
        FailTransferStep(550, "550 Local file " + localFileName_ + " is longer than the remote file (" +
                                  std::to_string(restartOffset_) + " > " + std::to_string(remoteFileSize_) +
                                  " bytes)");
        restartOffset_ = 0;
        return;
    }
    const bool whole = sizeKnown && restartOffset_ == remoteFileSize_;
    if (restartOffset_ <= 0 || whole) {
        if (!inSequence_)
            currentRequest_ = frqRest;
        if (whole) {
            Display("! Local file already complete: nothing to fetch");
            stepSet_ &= ~Steps({stepRetr});
            transferredBytes_ = 0;
        }
        SetNext(ReplyHandler::Judge);
        afterReplyHandler_ = AfterReply::None;
        doneReported_ = false;
        EndStep(0);
        return;
    }
    // A server without REST (500, 502, ...) is no failure: the transfer starts from zero.
    IssueCommand(frqRest, "REST " + std::to_string(restartOffset_), AfterReply::None, {350, 200, 202, 500, 501, 502, 504});
}
