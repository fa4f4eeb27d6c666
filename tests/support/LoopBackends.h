// Both event-loop backends for tests that run on each: the poll() loop and the Qt loop. The Qt
// loop needs a QCoreApplication; one is created on first use and lives until the process ends.
// Header-only so that only the test programs that include it link Qt (through mirelo_qt).
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/PollEventLoop.h"
#include "qt/QtEventLoop.h"

enum class LoopBackend { Poll, Qt };

inline std::string LoopBackendName(const testing::TestParamInfo<LoopBackend>& info)
{
    return info.param == LoopBackend::Poll ? "Poll" : "Qt";
}

inline std::unique_ptr<platform::EventLoop> MakeEventLoop(LoopBackend backend)
{
    if (backend == LoopBackend::Poll)
        return std::make_unique<platform::PollEventLoop>();
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "mirelo-test";
        static char* argv[] = {name, nullptr};
        // Deliberately never destroyed: Qt objects of later tests need it until the end.
        new QCoreApplication(argc, argv);
    }
    return std::make_unique<platform::QtEventLoop>();
}

// Dispatches events until the condition holds or the time limit passes; returns the condition.
inline bool PumpUntil(platform::EventLoop& loop, const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = platform::EventLoop::Clock::now() + limit;
    while (!condition()) {
        if (platform::EventLoop::Clock::now() >= deadline || loop.QuitRequested())
            return condition();
        loop.WaitAndDispatch(deadline);
    }
    return true;
}

// Handles everything that is ready without waiting, a bounded number of times; returns how many
// passes found something to do.
inline int PumpPending(platform::EventLoop& loop, int maxPasses = 50)
{
    int busy = 0;
    for (int i = 0; i < maxPasses && loop.ProcessPendingEvents(); ++i)
        ++busy;
    return busy;
}
