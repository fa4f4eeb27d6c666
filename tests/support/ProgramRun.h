// Runs a program of the build as a child process, as the whole-program tests need it: in a
// working folder of the test's choosing, with variables added to the environment, its standard
// output and error captured, its run bounded in time (killed with everything it started when the
// limit passes, which the result reports as a hang) and its peak memory measured. One thread.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
    bool Finished = false;  // false: it was still running at the limit and was killed
    int ExitStatus = -1;    // the exit code; -1 when a signal ended it
    int Signal = 0;         // the signal that ended it, 0 when it exited
    std::string Out;
    std::string Err;
    long MaxRssKb = 0;  // peak resident memory, sampled every 20 ms while it ran
};

// Whether memory figures mean anything here. Not under valgrind (MIRELO_UNDER_VALGRIND set, as
// scripts/valgrind-subset does), where they are valgrind's own, nor in a build with
// AddressSanitizer, whose quarantine keeps hundreds of megabytes of freed memory resident: memory
// bounds are judged in the ordinary build only.
bool MemoryChecked();

// The resident memory of this process now (VmRSS), 0 when it cannot be read.
long ResidentKb();

// `argv[0]` is the program's path. `environment` adds to (or replaces in) the test's own.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         std::chrono::milliseconds limit);
