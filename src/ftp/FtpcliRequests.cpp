// The single command steps and the sequences built from them.
#include "ftp/Ftpcli.h"

// --- Command steps ---------------------------------------------------------------------------
// Each sets its StepCode, so that the judge parses its result also when it runs alone.

void TCustomFtpCli::UserStep() {
    if (!ReadyCheck())
        return;
    if (userName_.empty()) {
        RaiseUsageError("UserName emtpy");
        return;
    }
    stepCode_ = stepUser;
    // Through an FTP proxy the target host travels in the user name.
    std::string user = ConnectionType() == ftpProxy ? userName_ + "@" + hostName_ : userName_;
    IssueCommand(frqUser, "USER " + user, AfterReply::None, {331, 230});
}

void TCustomFtpCli::PassStep() {
    if (!ReadyCheck())
        return;
    if (passWord_.empty()) {
        RaiseUsageError("Password emtpy");
        return;
    }
    stepCode_ = stepPass;
    IssueCommand(frqPass, "PASS " + passWord_, AfterReply::None, {230});
}

void TCustomFtpCli::CwdStep() {
    if (!ReadyCheck())
        return;
    if (hostDirName_.empty()) {
        RaiseUsageError("HostDirName emtpy");
        return;
    }
    stepCode_ = stepCwd;
    IssueCommand(frqCwd, "CWD " + hostDirName_, AfterReply::None, {200, 250, 257});
}

void TCustomFtpCli::CdupStep() {
    stepCode_ = stepCdup;
    IssueCommand(frqCdup, "CDUP", AfterReply::None, {250});
}

void TCustomFtpCli::PwdStep() {
    stepCode_ = stepPwd;
    IssueCommand(frqPwd, "PWD", AfterReply::None, {250, 257});
}

void TCustomFtpCli::SizeStep() {
    if (!ReadyCheck())
        return;
    stepCode_ = stepSize;
    remoteFileSize_ = 0;
    IssueCommand(frqSize, "SIZE " + hostFileName_, AfterReply::None, {213});
}

void TCustomFtpCli::MkdStep() {
    stepCode_ = stepMkd;
    IssueCommand(frqMkd, "MKD " + hostFileName_, AfterReply::None, {257});
}

void TCustomFtpCli::RmdStep() {
    stepCode_ = stepRmd;
    IssueCommand(frqRmd, "RMD " + hostFileName_, AfterReply::None, {250, 257});
}

void TCustomFtpCli::DeleStep() {
    stepCode_ = stepDele;
    IssueCommand(frqDele, "DELE " + hostFileName_, AfterReply::None, {250, 257});
}

void TCustomFtpCli::RnfrStep() {
    stepCode_ = stepRnfr;
    IssueCommand(frqRnfr, "RNFR " + hostFileName_, AfterReply::None, {350});
}

void TCustomFtpCli::RntoStep() {
    stepCode_ = stepRnto;
    IssueCommand(frqRnto, "RNTO " + localFileName_, AfterReply::None, {200, 250, 257});
}

void TCustomFtpCli::SystStep() {
    stepCode_ = stepSyst;
    IssueCommand(frqSyst, "SYST", AfterReply::None, {215});
}

void TCustomFtpCli::QuoteStep() {
    stepCode_ = stepQuote;
    IssueCommand(frqQuote, localFileName_, AfterReply::None, {});
}

void TCustomFtpCli::TypeStep() {
    stepCode_ = stepType;
    IssueCommand(frqType, std::string("TYPE ") + transferType_, AfterReply::None, {200});
}

void TCustomFtpCli::TypeBinaryStep() {
    SetBinary(true);
    TypeStep();
}

void TCustomFtpCli::TypeAsciiStep() {
    SetBinary(false);
    TypeStep();
}

void TCustomFtpCli::QuitStep() {
    if (!ReadyCheck())
        return;
    CloseLocalFile();
    stepCode_ = stepQuit;
    IssueCommand(frqQuit, "QUIT", AfterReply::CloseControl, {221});
}

// --- Sequences -------------------------------------------------------------------------------

void TCustomFtpCli::LogOn() { StartSequence(frqLogOn, Steps({stepOpen, stepUser, stepPass})); }
void TCustomFtpCli::GetFile() { StartSequence(frqGet, Steps({stepDataPort, stepRetr})); }
void TCustomFtpCli::ListDir() { StartSequence(frqList, Steps({stepDataPort, stepList})); }
void TCustomFtpCli::NameListDir() { StartSequence(frqNlst, Steps({stepDataPort, stepNlst})); }
void TCustomFtpCli::PutFile() { StartSequence(frqPut, Steps({stepDataPort, stepStor})); }
void TCustomFtpCli::AppendFile() { StartSequence(frqAppend, Steps({stepDataPort, stepAppe})); }
void TCustomFtpCli::RenameFile() { StartSequence(frqRename, Steps({stepRnfr, stepRnto})); }
void TCustomFtpCli::ResumeGetFile() { StartSequence(frqResumeGet, Steps({stepDataPort, stepRest, stepRetr})); }
void TCustomFtpCli::ResumePutFile() { StartSequence(frqResumePut, Steps({stepDataPort, stepRest, stepStor})); }

void TCustomFtpCli::SessionGetFile() {
    StartSequence(frqSessionGet,
                  Steps({stepOpen, stepUser, stepPass, stepCwd, stepType, stepDataPort, stepRetr, stepQuit}));
}

void TCustomFtpCli::SessionListDir() {
    StartSequence(frqSessionList, Steps({stepOpen, stepUser, stepPass, stepCwd, stepDataPort, stepList, stepQuit}));
}

void TCustomFtpCli::SessionNameListDir() {
    StartSequence(frqSessionNlst, Steps({stepOpen, stepUser, stepPass, stepCwd, stepDataPort, stepNlst, stepQuit}));
}

void TCustomFtpCli::SessionSyst() {
    StartSequence(frqSessionSyst, Steps({stepOpen, stepUser, stepPass, stepSyst, stepQuit}));
}

void TCustomFtpCli::SessionSize() {
    StartSequence(frqSize, Steps({stepOpen, stepUser, stepPass, stepCwd, stepSize, stepQuit}));
}

void TCustomFtpCli::SessionRename() {
    StartSequence(frqSessionRename, Steps({stepOpen, stepUser, stepPass, stepCwd, stepRnfr, stepRnto, stepQuit}));
}

void TCustomFtpCli::SessionDele() {
    StartSequence(frqSessionDele, Steps({stepOpen, stepUser, stepPass, stepCwd, stepDele, stepQuit}));
}

void TCustomFtpCli::SessionMkd() {
    StartSequence(frqSessionMkd, Steps({stepOpen, stepUser, stepPass, stepCwd, stepMkd, stepQuit}));
}

void TCustomFtpCli::SessionRmd() {
    StartSequence(frqSessionRmd, Steps({stepOpen, stepUser, stepPass, stepCwd, stepRmd, stepQuit}));
}

void TCustomFtpCli::SessionQuote() {
    StartSequence(frqSessionQuote, Steps({stepOpen, stepUser, stepPass, stepCwd, stepQuote, stepQuit}));
}

void TCustomFtpCli::SessionPutFile() {
    StartSequence(frqSessionPut,
                  Steps({stepOpen, stepUser, stepPass, stepCwd, stepType, stepDataPort, stepStor, stepQuit}));
}

void TCustomFtpCli::SessionAppendFile() {
    StartSequence(frqSessionPut,
                  Steps({stepOpen, stepUser, stepPass, stepCwd, stepType, stepDataPort, stepAppe, stepQuit}));
}

void TCustomFtpCli::SessionResumeGetFile() {
    StartSequence(frqSessionResumeGet, Steps({stepOpen, stepUser, stepPass, stepCwd, stepType, stepDataPort,
                                              stepRest, stepRetr, stepQuit}));
}

void TCustomFtpCli::SessionResumePutFile() {
    StartSequence(frqSessionResumePut, Steps({stepOpen, stepUser, stepPass, stepCwd, stepType, stepDataPort,
                                              stepRest, stepStor, stepQuit}));
}
