// The single command steps and the sequences built from them.
#include <array>
#include <string_view>

#include "ftp/Ftpcli.h"

// --- Command steps ---------------------------------------------------------------------------
// Every step that sends one command and judges its one reply is a row of one table, so that the
// checks, the state a step sets and the replies it accepts cannot differ from step to step.
// Servers answer the simple commands with any completion code (202 to a superfluous TYPE, 200 to
// CDUP, 232 to USER): every 2xx is a success there, and only SIZE, whose value is in its 213, and
// RNFR, which waits for RNTO, keep to their one code.

struct TCustomFtpCli::CommandStep {
    // The property a step's argument comes from.
    enum class Argument { None, UserName, PassWord, HostDirName, HostFileName, LocalFileName, TransferType };
    // What the judge reads out of the reply once the step has succeeded.
    enum class Result { None, Size, DirName, DataProtected };

    StepBit Step;
    TFtpRequest Request;
    const char* Verb;  // empty for QUOTE, whose argument is the whole command
    Argument Arg;
    const char* EmptyError;  // the usage error when the argument is empty; null when it may be
    std::array<int, 3> Accepted;  // success codes, 0 for none
    bool AnyCompletion;           // every 2xx succeeds as well
    AfterReply After;
    Result Parse;
};

const TCustomFtpCli::CommandStep* TCustomFtpCli::FindCommandStep(StepBit step) {
    using A = CommandStep::Argument;
    using R = CommandStep::Result;
    constexpr AfterReply kKeep = AfterReply::None;
    constexpr AfterReply kClose = AfterReply::CloseControl;
    constexpr AfterReply kTls = AfterReply::StartTls;
    // Step, request, verb, argument, usage error for an empty one, success codes, every 2xx too,
    // what follows the reply, what the reply gives.
    static const CommandStep kTable[] = {
        {stepUser,  frqUser,  "USER", A::UserName,      "UserName emtpy",    {331, 230},      true,  kKeep,  R::None},
        {stepPass,  frqPass,  "PASS", A::PassWord,      "Password emtpy",    {230},           true,  kKeep,  R::None},
        {stepCwd,   frqCwd,   "CWD",  A::HostDirName,   "HostDirName emtpy", {200, 250, 257}, true,  kKeep,  R::DirName},
        {stepCdup,  frqCdup,  "CDUP", A::None,          nullptr,             {250},           true,  kKeep,  R::DirName},
        {stepPwd,   frqPwd,   "PWD",  A::None,          nullptr,             {250, 257},      true,  kKeep,  R::DirName},
        {stepSize,  frqSize,  "SIZE", A::HostFileName,  nullptr,             {213},           false, kKeep,  R::Size},
        {stepMkd,   frqMkd,   "MKD",  A::HostFileName,  nullptr,             {257},           true,  kKeep,  R::DirName},
        {stepRmd,   frqRmd,   "RMD",  A::HostFileName,  nullptr,             {250, 257},      true,  kKeep,  R::None},
        {stepDele,  frqDele,  "DELE", A::HostFileName,  nullptr,             {250, 257},      true,  kKeep,  R::None},
        {stepRnfr,  frqRnfr,  "RNFR", A::HostFileName,  nullptr,             {350},           false, kKeep,  R::None},
        {stepRnto,  frqRnto,  "RNTO", A::LocalFileName, nullptr,             {200, 250, 257}, true,  kKeep,  R::None},
        {stepSyst,  frqSyst,  "SYST", A::None,          nullptr,             {215},           true,  kKeep,  R::None},
        {stepQuote, frqQuote, "",     A::LocalFileName, nullptr,             {},              false, kKeep,  R::None},
        {stepType,  frqType,  "TYPE", A::TransferType,  nullptr,             {200},           true,  kKeep,  R::None},
        {stepQuit,  frqQuit,  "QUIT", A::None,          nullptr,             {221},           true,  kClose, R::None},
        {stepAuth,  frqAuth,  "AUTH TLS", A::None,      nullptr,             {234},           false, kTls,   R::None},
        {stepPbsz,  frqPbsz,  "PBSZ 0", A::None,        nullptr,             {200},           true,  kKeep,  R::None},
        {stepProt,  frqProt,  "PROT P", A::None,        nullptr,             {200},           true,  kKeep,  R::DataProtected},
    };
    for (const CommandStep& row : kTable)
        if (row.Step == step)
            return &row;
    return nullptr;
}

bool TCustomFtpCli::ArgumentAllowed(const char* field, const std::string& value) {
    if (value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos)
        return true;
    RaiseUsageError(std::string(field) + " holds CR, LF or NUL");
    return false;
}

bool TCustomFtpCli::CommandStepAllowed(const CommandStep& row, std::string& command) {
    using A = CommandStep::Argument;
    if (!ReadyCheck())
        return false;
    std::string argument;
    const char* field = "";
    switch (row.Arg) {
    case A::None: break;
    case A::UserName:
        field = "UserName";
        // Through an FTP proxy the target host travels in the user name.
        argument = userName_.empty() || ConnectionType() != ftpProxy ? userName_ : userName_ + "@" + hostName_;
        break;
    case A::PassWord: field = "PassWord"; argument = passWord_; break;
    case A::HostDirName: field = "HostDirName"; argument = hostDirName_; break;
    case A::HostFileName: field = "HostFileName"; argument = hostFileName_; break;
    case A::LocalFileName: field = "LocalFileName"; argument = localFileName_; break;
    case A::TransferType: field = "TransferType"; argument = std::string(1, transferType_); break;
    }
    if (row.EmptyError && argument.empty()) {
        RaiseUsageError(row.EmptyError);
        return false;
    }
    if (!controlConnected_) {
        RaiseUsageError("FTP component not connected");
        return false;
    }
    if (!ArgumentAllowed(field, argument))
        return false;
    command = row.Verb;
    if (row.Arg != A::None)
        command += command.empty() ? argument : " " + argument;
    return true;
}

// Checks first: a step refused while another request runs must leave that request exactly as
// it was, its step code and results included.
void TCustomFtpCli::RunCommandStep(StepBit step) {
    const CommandStep* row = FindCommandStep(step);
    std::string command;
    if (!row || !CommandStepAllowed(*row, command))
        return;
    stepCode_ = row->Step;
    if (row->Parse == CommandStep::Result::Size)
        remoteFileSize_ = 0;
    // QUIT ends the session, and with it any local file still open.
    if (row->After == AfterReply::CloseControl)
        CloseLocalFile();
    ExpectReplies(row->Accepted.data(), row->Accepted.size(), row->AnyCompletion);
    StartCommand(row->Request, command, row->After);
}

void TCustomFtpCli::ParseReplyResult() {
    const CommandStep* row = FindCommandStep(static_cast<StepBit>(stepCode_));
    if (statusCode_ != 0 || !row)
        return;
    switch (row->Parse) {
    case CommandStep::Result::None: break;
    case CommandStep::Result::Size: {
        ftp::SizeReplyParse size = ftp::ParseSizeReply(lastReply_);
        if (size.Result == ftp::ParseResult::Complete) {
            remoteFileSize_ = size.Size;
            sizeFileName_ = hostFileName_;
        }
        break;
    }
    case CommandStep::Result::DirName: replyDirName_ = ftp::ParseReplyDirName(lastReply_); break;
    case CommandStep::Result::DataProtected: dataProtected_ = true; break;
    }
}

void TCustomFtpCli::UserStep() { RunCommandStep(stepUser); }
void TCustomFtpCli::PassStep() { RunCommandStep(stepPass); }
void TCustomFtpCli::CwdStep() { RunCommandStep(stepCwd); }
void TCustomFtpCli::CdupStep() { RunCommandStep(stepCdup); }
void TCustomFtpCli::PwdStep() { RunCommandStep(stepPwd); }
void TCustomFtpCli::SizeStep() { RunCommandStep(stepSize); }
void TCustomFtpCli::MkdStep() { RunCommandStep(stepMkd); }
void TCustomFtpCli::RmdStep() { RunCommandStep(stepRmd); }
void TCustomFtpCli::DeleStep() { RunCommandStep(stepDele); }
void TCustomFtpCli::RnfrStep() { RunCommandStep(stepRnfr); }
void TCustomFtpCli::RntoStep() { RunCommandStep(stepRnto); }
void TCustomFtpCli::SystStep() { RunCommandStep(stepSyst); }
void TCustomFtpCli::QuoteStep() { RunCommandStep(stepQuote); }
void TCustomFtpCli::TypeStep() { RunCommandStep(stepType); }
void TCustomFtpCli::QuitStep() { RunCommandStep(stepQuit); }
void TCustomFtpCli::AuthTlsStep() { RunCommandStep(stepAuth); }
void TCustomFtpCli::PbszStep() { RunCommandStep(stepPbsz); }
void TCustomFtpCli::ProtStep() { RunCommandStep(stepProt); }
void TCustomFtpCli::TypeBinaryStep() { TypeStepWith('I'); }
void TCustomFtpCli::TypeAsciiStep() { TypeStepWith('A'); }

void TCustomFtpCli::TypeStepWith(char type) {
    std::string command;
    if (!CommandStepAllowed(*FindCommandStep(stepType), command))
        return;
    transferType_ = type;
    RunCommandStep(stepType);
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
