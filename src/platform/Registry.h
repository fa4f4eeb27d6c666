// The registry under HKEY_LOCAL_MACHINE as the installers leave it: the Windows registry of the
// Wine prefix in which they run, read from the prefix's "system.reg". RegistryService is the
// question the program asks (one value of one key); RegistryHive answers it from a parsed copy of
// the file and WineRegistry from the file on disk, re-read whenever it changes. Tests and the GUI
// may give any other RegistryService. Objects own their parsed copy and nothing else; use each
// from one thread at a time.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace platform {

// Registry value types, as numbered by Windows.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// One value. The string types (kRegSz, kRegExpandSz, kRegMultiSz) hold their text in
// Windows-1252, as the program's single-byte calls would receive it, without the terminating NUL
// and with any inner NUL kept; characters outside Windows-1252 read as "?". Every other type holds
// its bytes as stored.
struct RegistryValue {
    std::uint32_t Type = kRegNone;
    std::string Data;
};

// The registry service's error, raised by its callers for a value they cannot use.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RegistryService {
public:
    virtual ~RegistryService() = default;

    // The value `valueName` ("" for the key's default value) of the key at `keyPath`, a path
    // below HKEY_LOCAL_MACHINE with components separated by "\" (a leading or trailing "\" does
    // not matter). Names are matched without regard to case. A path below "SOFTWARE\" is read as
    // a 32-bit program reads it: first below "SOFTWARE\Wow6432Node\", where a 32-bit installer
    // writes on a 64-bit system, then as given; a key without the value in one view does not hide
    // the value in the other. nullopt when neither view holds the value.
    virtual std::optional<RegistryValue> ReadValue(std::string_view keyPath,
                                                   std::string_view valueName) const = 0;
};

// A parsed registry file in Wine's text format:
//   [Software\\Vendor\\Key] 1234567890     a key, relative to HKEY_LOCAL_MACHINE
//   "Name"="text"   @="default value"     string values; escapes \\ \" \n \r \t \xXXXX \uXXXX \ooo
//   "Name"=str(2):"text"                   a string of the given type (2: expandable)
//   "Name"=dword:0000002a                  a 32-bit number
//   "Name"=hex:01,02  "Name"=hex(7):..     bytes of the given type, continued after a final "\"
// Lines starting with "#" or ";" and anything unrecognised are skipped; a malformed line never
// fails the reading, it only yields what it can.
class RegistryHive : public RegistryService {
public:
    RegistryHive() = default;

    static RegistryHive Parse(std::string_view text);

    bool KeyExists(std::string_view keyPath) const;
    std::optional<RegistryValue> ReadValue(std::string_view keyPath,
                                           std::string_view valueName) const override;

private:
    using Values = std::unordered_map<std::string, RegistryValue>;  // folded name -> value

    // The folded paths at which `keyPath` is looked up, in order (see RegistryService).
    static std::vector<std::string> Views(std::string_view keyPath);
    const Values* FindExactKey(std::string_view keyPath) const;

    std::unordered_map<std::string, Values> keys_;  // folded path, "\"-joined -> values
};

// The registry of the Wine prefix, from its system.reg. A missing or unreadable file means an
// empty registry: nothing is installed.
class WineRegistry : public RegistryService {
public:
    explicit WineRegistry(std::string systemRegPath = DefaultSystemRegPath());

    // $WINEPREFIX/system.reg, or ~/.wine/system.reg when WINEPREFIX is not set.
    static std::string DefaultSystemRegPath();

    const std::string& Path() const { return path_; }

    // Reads the file again first when it has changed since the last lookup, so a version that an
    // installer has just written is seen.
    std::optional<RegistryValue> ReadValue(std::string_view keyPath,
                                           std::string_view valueName) const override;

private:
    struct FileStamp {
        bool Exists = false;
        dev_t Device = 0;
        ino_t Inode = 0;
        off_t Size = 0;
        std::timespec Modified{};
    };

    void Refresh() const;

    std::string path_;
    mutable bool loaded_ = false;
    mutable FileStamp stamp_;
    mutable RegistryHive hive_;
};

}  // namespace platform
