#include "platform/ProgramStart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace platform {
namespace {

bool EndsWithIgnoringCase(std::string_view text, std::string_view end)
{
    if (text.size() < end.size())
        return false;
    return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

bool IsExecutableFile(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> StartCommand(const std::string& path)
{
    if (EndsWithIgnoringCase(path, ".exe"))
        return {"wine", path};
    if (EndsWithIgnoringCase(path, ".msi"))
        return {"wine", "msiexec", "/i", path};
    return {path};
}

std::string FindProgram(const std::string& program, const char* searchPath)
{
    if (program.empty())
        return std::string();
    if (program.find('/') != std::string::npos)
        return IsExecutableFile(program) ? program : std::string();
    if (searchPath == nullptr)
        searchPath = std::getenv("PATH");
    // Without a PATH, the C library's spawn looks in its default folders.
    const std::string_view folders = searchPath != nullptr ? searchPath : "/bin:/usr/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string_view::npos)
            end = folders.size();
        // An empty entry stands for the current folder.
        std::string folder(folders.substr(start, end - start));
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (IsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return std::string();
}

bool WineMissingFor(const std::string& path)
{
    const std::vector<std::string> command = StartCommand(path);
    return command.front() == "wine" && FindProgram("wine").empty();
}

}  // namespace platform
