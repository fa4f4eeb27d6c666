// How the program starts what a download brought: the command line for a file (".exe" through
// wine, ".msi" through wine msiexec /i, anything else itself) and whether the wine it needs is
// there. Both user services start programs with it, and the download run words its message
// with it. Free functions without state; any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The command line that starts `path`: wine for ".exe", wine msiexec /i for ".msi" (either
// letter case), the file itself otherwise.
std::vector<std::string> StartCommand(const std::string& path);

// The path of `program` as a start through the PATH would find it: a name holding "/" is taken
// as it is, any other is looked up in each folder of `searchPath` (the PATH variable when null).
// Empty when no executable file of that name is found.
std::string FindProgram(const std::string& program, const char* searchPath = nullptr);

// Whether starting `path` needs wine and no wine can be found.
bool WineMissingFor(const std::string& path);

}  // namespace platform
