#include "ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <stdexcept>

namespace {

// How often the child's memory is looked at while it runs.
constexpr long kSampleMs = 20;

// The peak resident memory of the program `pid` runs now (VmHWM), 0 when it cannot be read. The
// peak that wait4 reports would not do: it starts with the size of the test process that forked.
long StatusKb(const std::string& statusFile, const std::string& field) {
    std::ifstream status(statusFile);
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size()));
    return 0;
}

long PeakResidentKb(pid_t pid) {
    return StatusKb("/proc/" + std::to_string(pid) + "/status", "VmHWM:");
}

// scripts/valgrind-subset says so.
bool UnderValgrind() { return std::getenv("MIRELO_UNDER_VALGRIND") != nullptr; }

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         std::chrono::milliseconds limit) {
    int out[2];
    int err[2];
    // Closed by the exec: until then the child is a copy of this process, whose memory is not
    // the program's.
    int execed[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(execed, O_CLOEXEC) != 0)
        throw std::runtime_error("RunProgram: pipe2 failed");
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("RunProgram: fork failed");
    if (pid == 0) {
        // The child: its own process group, so that whatever it starts goes with it.
        ::setpgid(0, 0);
        int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (const auto& [name, value] : environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        if (::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    CloseFd(out[1]);
    CloseFd(err[1]);
    CloseFd(execed[1]);
    pollfd started{execed[0], POLLIN, 0};
    ::poll(&started, 1, static_cast<int>(limit.count()));
    CloseFd(execed[0]);

    ProgramResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool killed = false;
    while (out[0] >= 0 || err[0] >= 0) {
        result.MaxRssKb = std::max(result.MaxRssKb, PeakResidentKb(pid));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(std::min<long>(left.count(), kSampleMs)));
        if (n < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char block[65536];
            ssize_t got = ::read(fds[i].fd, block, sizeof block);
            if (got > 0)
                (i == 0 ? result.Out : result.Err).append(block, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                CloseFd(i == 0 ? out[0] : err[0]);
        }
    }
    CloseFd(out[0]);
    CloseFd(err[0]);

    // The output may close before the process ends; that wait is bounded by the limit too. A
    // pidfd says when the process ends; where there is none (valgrind does not know the call and
    // would only warn about it), the process is looked at every 20 ms instead.
    int status = 0;
    rusage usage{};
    bool reaped = false;
    if (!killed) {
        int exited = UnderValgrind() ? -1 : static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        while (!reaped) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::kill(-pid, SIGKILL);
                killed = true;
                break;
            }
            result.MaxRssKb = std::max(result.MaxRssKb, PeakResidentKb(pid));
            pollfd fd{exited, POLLIN, 0};
            ::poll(exited >= 0 ? &fd : nullptr, exited >= 0 ? 1 : 0, static_cast<int>(std::min<long>(left.count(), kSampleMs)));
            reaped = ::wait4(pid, &status, WNOHANG, &usage) == pid;
        }
        CloseFd(exited);
    }
    if (!reaped)
        ::wait4(pid, &status, 0, &usage);
    // Anything the program left running in its group goes too.
    ::kill(-pid, SIGKILL);
    result.Finished = !killed;
    if (WIFEXITED(status))
        result.ExitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.Signal = WTERMSIG(status);
    return result;
}

long ResidentKb() { return StatusKb("/proc/self/status", "VmRSS:"); }

bool MemoryChecked() {
#if defined(__SANITIZE_ADDRESS__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return false;
#endif
#endif
    return !UnderValgrind();
}
