// mirelo-ftp: a command-line FTP client on the project's own FTP component and poll() loop.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "FtpToolArgs.h"
#include "FtpToolSession.h"
#include "platform/PollEventLoop.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    FtpToolOptions options;
    std::string error = ParseFtpToolArgs(args, options);
    if (options.Help) {
        std::fputs(FtpToolUsage().c_str(), stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "mirelo-ftp: %s\n%s", error.c_str(), FtpToolUsage().c_str());
        return 2;
    }
    // A reader that goes away (a closed pipe) shows up as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    platform::PollEventLoop loop;
    FtpToolSession session(options, loop, STDOUT_FILENO, stderr);
    return session.Run();
}
