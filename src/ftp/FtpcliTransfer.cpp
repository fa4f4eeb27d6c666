// The data connection: PASV or PORT, retrieval into a local file (or OnDisplayFile), storing
// from one, REST, and the rule that ends a transfer once both its data connection has closed and
// its closing reply has arrived, in whichever order they come.
#include <sys/socket.h>

#include <chrono>

#include "ftp/FtpReply.h"
#include "ftp/Ftpcli.h"

namespace {

constexpr int kWouldBlock = 10035;

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
    finalReplySeen_ = false;
    doneReported_ = false;
    closingAfterQuit_ = false;
    transferredBytes_ = 0;
    dataCloseError_ = 0;
    transferStartTick_ = 0;
    transferFailureCode_ = 0;
    transferFailure_.clear();
}

void TCustomFtpCli::FailTransferStep(int code, const std::string& reply) {
    lastReply_ = reply;
    replyCode_ = code;
    NoteError();
    CloseDataSocket();
    CloseLocalFile();
    statusCode_ = code;
    EndStep(static_cast<std::uint16_t>(code));
}

void TCustomFtpCli::RefuseTransfer() {
    NoteError();
    fNext_ = ReplyHandler::None;
    CloseDataSocket();
    CloseLocalFile();
    restartOffset_ = 0;
    statusCode_ = replyCode_;
    EndStep(static_cast<std::uint16_t>(replyCode_));
}

void TCustomFtpCli::FailTransferOnClosingReply(const char* commands) {
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
    stepCode_ = stepDataPort;
    IssueCommand(frqDataPort, command, AfterReply::None, {200, 227});
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
    ResetTransfer();
    dataClosedSeen_ = false;
    dataSocket_->OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t error) { RetrieveAccept(error); };

    if (!displayFileFlag_ && !OpenRetrieveFile()) {
        FailTransferStep(550, "Unable to open local file " + localFileName_);
        return;
    }
    if (!passiveMode_ && pendingAccept_)
        RetrieveAccept(0);
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
    fNext_ = ReplyHandler::RetrFirst;
    SendCommand(hostFileName_.empty() ? dataCommand_ : dataCommand_ + " " + hostFileName_);
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

void TCustomFtpCli::RetrieveAccept(std::uint16_t) {
    pendingAccept_ = false;
    TSocket accepted = dataSocket_->Accept();
    dataSocket_->Close();
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t error) { RetrieveClosed(error); };
    dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t error) { RetrieveDataAvailable(error); };
    dataSocket_->OnDataSent = nullptr;
    dataSocket_->Dup(accepted);
    transferStartTick_ = NowMs();
}

void TCustomFtpCli::RetrieveConnected(std::uint16_t error) {
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t closeError) { RetrieveClosed(closeError); };
    dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t dataError) { RetrieveDataAvailable(dataError); };
    dataSocket_->OnDataSent = nullptr;
    transferStartTick_ = NowMs();
    if (error == 0)
        return;
    // The data command went out while the connect ran, so the server will still answer it (a
    // 425, often only after its own wait). Ending the step now would leave that answer to be
    // read as the reply to the next command; the failure is kept and the answer ends the step.
    const std::string failure = DataLinkFailure(error);
    lastReply_ = failure;
    NoteError();
    Display("! " + failure);
    NoteTransferFailure(550, failure);
    CloseDataSocket();
    CloseLocalFile();
    dataClosedSeen_ = true;
    dataCloseError_ = 0;
}

// A store sends its command only once the data connection is up, so a failed connect ends it.
void TCustomFtpCli::DataLinkFailed(std::uint16_t error) {
    FailTransferStep(550, DataLinkFailure(error));
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
    int count = dataSocket_->Receive(receiveBuffer_.get(), static_cast<int>(kReceiveBlockSize));
    if (count == 0)
        return;
    if (count < 0) {
        if (dataSocket_->State() == wsConnected && dataSocket_->LastError() != kWouldBlock) {
            std::string error = std::to_string(dataSocket_->LastError());
            Display("! Data: Receive error " + error);
            NoteTransferFailure(550, "550 Data: Receive error " + error);
            dataSocket_->Shutdown(2);
        }
        return;
    }
    transferredBytes_ += count;
    if (localFile_.IsOpen() && !localFile_.Write(receiveBuffer_.get(), static_cast<std::size_t>(count))) {
        Display("! Error writing local file");
        NoteTransferFailure(550, "550 Error writing local file " + localFileName_);
        dataSocket_->Shutdown(2);
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

void TCustomFtpCli::RetrieveFirstReply() {
    Display("< " + lastReply_);
    if (replyCode_ == 150 || replyCode_ == 125) {
        fNext_ = ReplyHandler::RetrClosing;
        return;
    }
    RefuseTransfer();
}

void TCustomFtpCli::RetrieveClosingReply() {
    Display("< " + lastReply_);
    if (replyCode_ == 125 || replyCode_ == 226 || replyCode_ == 250) {
        finalReplySeen_ = true;
        CheckRetrieveEnd();
        return;
    }
    FailTransferOnClosingReply("RETR/LIST/NLST");
}

void TCustomFtpCli::RetrieveClosed(std::uint16_t error) {
    CloseLocalFile();
    dataClosedSeen_ = true;
    dataCloseError_ = error;
    CheckRetrieveEnd();
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
    restartOffset_ = 0;
    std::uint16_t result = dataCloseError_;
    if (result != 0 && errorMessage_.empty())
        errorMessage_ = "550 Data connection closed with error #" + std::to_string(result);
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
    if (pendingAccept_)
        StoreAccept(0);
    SendStoreCommand();
}

void TCustomFtpCli::SendStoreCommand() {
    SetEngineState(fesAwaitingReply);
    fNext_ = ReplyHandler::StoreFirst;
    SendCommand((appendTransfer_ ? "APPE " : "STOR ") + hostFileName_);
}

void TCustomFtpCli::StoreConnected(std::uint16_t error) {
    dataSocket_->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t closeError) { StoreClosed(closeError); };
    dataSocket_->OnDataAvailable = nullptr;
    dataSocket_->OnDataSent = nullptr;
    dataLinkUp_ = true;
    transferStartTick_ = NowMs();
    if (error != 0) {
        DataLinkFailed(error);
        return;
    }
    SendStoreCommand();
}

void TCustomFtpCli::StoreAccept(std::uint16_t) {
    pendingAccept_ = false;
    TSocket accepted = dataSocket_->Accept();
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
    dataLinkUp_ = true;
    if (storeReplySeen_ && transferStartTick_ == 0)
        notify_->Post(kWmFtpSendData);
}

void TCustomFtpCli::DiscardData() {
    char discard[2048];
    dataSocket_->Receive(discard, sizeof discard);
}

void TCustomFtpCli::StoreFirstReply() {
    Display("< " + lastReply_);
    if (replyCode_ == 150 || replyCode_ == 125) {
        storeReplySeen_ = true;
        fNext_ = ReplyHandler::StoreClosing;
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
    stepCode_ = stepRest;
    TFtpRequest request = inSequence_ ? currentRequest_ : frqRest;
    // Resumed uploads, and callers that asked for it, set the offset themselves.
    if (request != frqResumePut && request != frqSessionResumePut && !options_.Contains(ftpNoAutoResumeAt))
        restartOffset_ = TFtpLocalFile::SizeOf(localFileName_);
    if (restartOffset_ <= 0) {
        if (!inSequence_)
            currentRequest_ = frqRest;
        fNext_ = ReplyHandler::Judge;
        afterReplyHandler_ = AfterReply::None;
        doneReported_ = false;
        EndStep(0);
        return;
    }
    IssueCommand(frqRest, "REST " + std::to_string(restartOffset_), AfterReply::None, {});
}
