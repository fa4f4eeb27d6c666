// TLS on the control and data connections: AUTH TLS and its handshake, the results a caller
// reads, and the handshake of each data connection, which resumes the control connection's
// session (servers such as vsftpd refuse a data connection that does not, so that nobody else
// can take over a transfer).
#include "ftp/Ftpcli.h"

void TCustomFtpCli::ResetTlsResults() {
    tlsEncrypted_ = false;
    dataProtected_ = false;
    tlsRefused_ = false;
    tlsError_ = 0;
    tlsErrorText_.clear();
    tlsVersion_.clear();
    tlsCipher_.clear();
    dataResumeSession_.reset();
    dataTlsStarted_ = false;
}

std::string TCustomFtpCli::TlsCheckedName() const {
    return ConnectionType() == ftpProxy ? proxyServer_ : hostName_;
}

bool TCustomFtpCli::JudgeAuthReply() {
    if (statusCode_ == 0) {
        StartControlTls();
        return true;
    }
    if (replyCode_ == 421)
        return false;
    tlsRefused_ = true;
    if (tlsMode_ != ftpTlsTry)
        return false;
    // Asked only to try: the session goes on in the clear, and the caller can tell.
    Display("! The server refused TLS: the session goes on unencrypted");
    EndStep(0);
    return true;
}

void TCustomFtpCli::StartControlTls() {
    controlSocket_->SetTlsHostName(TlsCheckedName());
    controlSocket_->SetTlsCaFile(tlsCaFile_);
    controlSocket_->SetTlsResumeSession(nullptr);
    tlsError_ = 0;
    tlsErrorText_.clear();
    try {
        controlSocket_->StartTls();
    } catch (const std::exception& e) {
        tlsError_ = kTlsErrSetup;
        ConnectFailed("500 TLS could not start: " + DescribeException(e), kTlsErrSetup);
    }
}

void TCustomFtpCli::ControlTlsDone(std::uint16_t error) {
    if (doneReported_ || stepCode_ != stepAuth)
        return;
    if (error != 0) {
        tlsError_ = error;
        std::string text = tlsErrorText_.empty() ? TlsErrorDescription(error) : tlsErrorText_;
        ConnectFailed("500 TLS error #" + std::to_string(error) + ": " + text, error);
        return;
    }
    tlsEncrypted_ = true;
    tlsVersion_ = controlSocket_->TlsVersion();
    tlsCipher_ = controlSocket_->TlsCipher();
    Display("! TLS " + tlsVersion_ + " " + tlsCipher_);
    EndStep(0);
}

bool TCustomFtpCli::StartDataTls() {
    awaitingDataSession_ = false;
    if (!dataProtected_)
        return true;
    dataSocket_->SetTlsHostName(TlsCheckedName());
    dataSocket_->SetTlsCaFile(tlsCaFile_);
    // A data connection before this one may have brought a newer session than the control
    // connection's, and only that one is still good to resume.
    if (TTlsSession latest = dataSocket_->TlsSession(); latest && dataTlsStarted_)
        dataResumeSession_ = latest;
    dataTlsStarted_ = true;
    if (!dataResumeSession_)
        dataResumeSession_ = controlSocket_->TlsSession();
    dataSocket_->SetTlsResumeSession(dataResumeSession_);
    try {
        dataSocket_->StartTls();
    } catch (const std::exception& e) {
        NoteTransferFailure(425, "425 TLS could not start on the data connection: " + DescribeException(e));
        CloseDataSocket();
        return false;
    }
    return true;
}

// A failed handshake closes the data connection with its code, which ends the transfer; what
// is noted here says why.
void TCustomFtpCli::DataTlsDone(std::uint16_t error) {
    if (error != 0) {
        std::string text = tlsErrorText_.empty() ? TlsErrorDescription(error) : tlsErrorText_;
        const std::string failure = "426 TLS error #" + std::to_string(error) + " on the data connection: " + text;
        Display("! " + failure);
        NoteTransferFailure(426, failure);
        if (errorMessage_.empty())
            errorMessage_ = failure;
        return;
    }
    const bool storing = stepCode_ == stepStor || stepCode_ == stepAppe;
    if (!storing)
        return;
    // A store sends nothing before its data connection is encrypted.
    if (dataSocket_->TlsVersion() == "TLSv1.3") {
        awaitingDataSession_ = true;
        sessionAtHandshake_ = dataSocket_->TlsSession();
        dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { StoreDataSessionCheck(); };
        return;
    }
    StoreLinkUp();
}

// Reading is what takes the server's new session in.
void TCustomFtpCli::StoreDataSessionCheck() {
    DiscardData();
    if (!awaitingDataSession_ || dataSocket_->TlsSession() == sessionAtHandshake_)
        return;
    awaitingDataSession_ = false;
    sessionAtHandshake_.reset();
    StoreLinkUp();
}

void TCustomFtpCli::StoreLinkUp() {
    dataSocket_->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t) { DiscardData(); };
    dataLinkUp_ = true;
    if (storeReplySeen_)
        notify_->Post(kWmFtpSendData);
}
