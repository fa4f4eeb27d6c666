// The fixture of the transcript tests: an FtpHarness on each event-loop backend pointed at a
// ScriptedPeer, with the log-on script of the harness's anonymous account and the peer's verdict
// on its script. Main thread only.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "FtpTestHarness.h"
#include "ScriptedPeer.h"
#include "TempDir.h"

class ScriptedFtpTest : public testing::TestWithParam<LoopBackend> {
protected:
    void SetUp() override { h.ftp->SetPort(std::to_string(peer.Port())); }

    ScriptedPeer& LogOnScript() {
        return peer.Reply("220 ready")
            .Expect("USER anonymous")
            .Reply("331 Password required")
            .Expect("PASS guest@example.com")
            .Reply("230 Logged in");
    }

    // Empty when the client followed the script to its end.
    std::string PeerFailure() {
        std::string failure;
        peer.Finish(failure);
        return failure;
    }

    FtpHarness h{GetParam()};
    ScriptedPeer peer;
    TempDir dir;
};
