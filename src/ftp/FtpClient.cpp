// TFtpClient: the Timeout and the operations that wait for a request in the event loop.
#include <algorithm>
#include <chrono>

#include "ftp/Ftpcli.h"

TFtpClient::TFtpClient(platform::EventLoop& loop) : TCustomFtpCli(loop) {}

// Never longer than the Timeout, which would end the wait first anyway.
std::chrono::milliseconds TFtpClient::DataLinkGrace() const {
    const std::chrono::milliseconds grace = TCustomFtpCli::DataLinkGrace();
    return timeout_ > 0 ? std::min(grace, std::chrono::milliseconds(std::chrono::seconds(timeout_))) : grace;
}

void TFtpClient::MoveDeadline() {
    deadline_ = platform::EventLoop::Clock::now() + std::chrono::seconds(timeout_);
}

// A transfer that keeps moving data never times out.
bool TFtpClient::Progress() {
    bool abort = TCustomFtpCli::Progress();
    if (timeout_ > 0)
        MoveDeadline();
    return abort;
}

bool TFtpClient::WaitUntilReady() {
    using Clock = platform::EventLoop::Clock;
    MoveDeadline();
    // Each turn blocks in the loop until an event arrives or the deadline passes, so a wait for
    // a silent server costs no processor time. The deadline is read afresh every turn because
    // progress moves it.
    for (;;) {
        if (EngineState() == fesReady)
            return StatusCode() == 0;
        if (Loop().QuitRequested())
            break;
        if (timeout_ > 0 && Clock::now() >= deadline_)
            break;
        Loop().WaitAndDispatch(timeout_ > 0 ? deadline_ : Clock::time_point::max());
    }
    AbortAll();
    SetErrorMessage("426 Timeout");
    SetReplyCode(426);
    return false;
}

bool TFtpClient::RunAndWait(void (TCustomFtpCli::*operation)()) {
    try {
        usageErrorRaised_ = false;
        (this->*operation)();
        // A refusal reported through OnRequestError started nothing to wait for.
        if (usageErrorRaised_)
            return false;
        return WaitUntilReady();
    } catch (const std::exception&) {
        return false;
    }
}

bool TFtpClient::CwdStepAndWait() { return RunAndWait(&TCustomFtpCli::CwdStep); }

bool TFtpClient::SetTypeBinaryAndWait() {
    SetBinary(true);
    return RunAndWait(&TCustomFtpCli::TypeStep);
}
