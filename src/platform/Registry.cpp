#include "platform/Registry.h"

#include "platform/TextBytes.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads up to `maxDigits` hex digits at `pos`; false when there is none.
bool ReadHex(std::string_view text, std::size_t& pos, int maxDigits, std::uint32_t& value) {
    value = 0;
    int digits = 0;
    while (digits < maxDigits && pos < text.size() && HexDigit(text[pos]) >= 0) {
        value = value * 16 + static_cast<std::uint32_t>(HexDigit(text[pos]));
        ++pos;
        ++digits;
    }
    return digits > 0;
}

// A byte sequence written raw into the file: UTF-8 when it is valid UTF-8, else one character
// per byte.
char32_t DecodeRawChar(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    int extra = 0;
    char32_t cp = lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07;
    }
    if (extra > 0 && pos + static_cast<std::size_t>(extra) < text.size()) {
        char32_t value = cp;
        bool valid = true;
        for (int i = 1; i <= extra; ++i) {
            const auto next = static_cast<unsigned char>(text[pos + static_cast<std::size_t>(i)]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            value = (value << 6) | (next & 0x3F);
        }
        if (valid) {
            pos += static_cast<std::size_t>(extra) + 1;
            return value;
        }
    }
    ++pos;
    return lead;
}

// Decodes the escaped text from `pos` up to the first unescaped `terminator`, appending it in
// Windows-1252 to `out`; `pos` ends past the terminator. False when the line ends first.
bool DecodeUntil(std::string_view line, std::size_t& pos, char terminator, std::string& out) {
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == terminator) {
            ++pos;
            return true;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            out += ToCp1252(DecodeRawChar(line, pos));
            continue;
        }
        ++pos;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size())
            return false;
        const char e = line[pos++];
        std::uint32_t value = 0;
        switch (e) {
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'e': out += '\x1b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'v': out += '\v'; break;
        case 'x':
        case 'u':
            if (ReadHex(line, pos, 4, value))
                out += ToCp1252(value);
            else
                out += e;
            break;
        default:
            if (e >= '0' && e <= '7') {
                value = static_cast<std::uint32_t>(e - '0');
                for (int i = 0; i < 2 && pos < line.size() && line[pos] >= '0' && line[pos] <= '7';
                     ++i)
                    value = value * 8 + static_cast<std::uint32_t>(line[pos++] - '0');
                out += ToCp1252(value);
            } else {
                out += e;  // \\ \" \[ \] and any other character stand for themselves
            }
        }
    }
    return false;
}

// A key path as the registry compares it: components folded, joined by "\", without empty
// components at either end.
std::string NormalizePath(std::string_view path) {
    while (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    return FoldCase1252(path);
}

// "01,02,ab" -> bytes; stops at the first item that is not one or two hex digits.
std::string ParseHexBytes(std::string_view list) {
    std::string bytes;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        if (comma == std::string_view::npos)
            comma = list.size();
        const std::string_view item = TrimBlanks(list.substr(pos, comma - pos));
        pos = comma + 1;
        if (item.empty())
            continue;
        std::size_t at = 0;
        std::uint32_t value = 0;
        if (item.size() > 2 || !ReadHex(item, at, 2, value) || at != item.size())
            break;
        bytes += static_cast<char>(value);
    }
    return bytes;
}

std::string Utf16LeToCp1252(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char32_t unit = static_cast<unsigned char>(bytes[i]) |
                              (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
        text += ToCp1252(unit);
    }
    return text;
}

bool IsStringType(std::uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// The data after "=" of a value line; nullopt for a form this reader does not know.
std::optional<RegistryValue> ParseData(std::string_view data) {
    RegistryValue value;
    std::size_t pos = 0;
    if (data.starts_with("\"")) {
        value.Type = kRegSz;
        pos = 1;
        DecodeUntil(data, pos, '"', value.Data);
        return value;
    }
    if (data.starts_with("str(")) {
        pos = 4;
        if (!ReadHex(data, pos, 8, value.Type) || !data.substr(pos).starts_with("):\""))
            return std::nullopt;
        pos += 3;
        DecodeUntil(data, pos, '"', value.Data);
        return value;
    }
    if (data.starts_with("dword:")) {
        pos = 6;
        std::uint32_t number = 0;
        if (!ReadHex(data, pos, 8, number))
            return std::nullopt;
        value.Type = kRegDword;
        for (int i = 0; i < 4; ++i)
            value.Data += static_cast<char>((number >> (8 * i)) & 0xFF);
        return value;
    }
    if (data.starts_with("hex:")) {
        value.Type = kRegBinary;
        pos = 4;
    } else if (data.starts_with("hex(")) {
        pos = 4;
        if (!ReadHex(data, pos, 8, value.Type) || !data.substr(pos).starts_with("):"))
            return std::nullopt;
        pos += 2;
    } else {
        return std::nullopt;
    }
    value.Data = ParseHexBytes(data.substr(pos));
    if (IsStringType(value.Type)) {
        value.Data = Utf16LeToCp1252(value.Data);
        if (!value.Data.empty() && value.Data.back() == '\0')
            value.Data.pop_back();
    }
    return value;
}

// Lines with a final "\" continued by the next ones, as the writer splits long hex data.
std::vector<std::string> LogicalLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string pending;
    bool continuing = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::string_view line = TrimBlanks(NextLine(text, pos));
        const bool continues = !line.empty() && line.back() == '\\';
        if (continues)
            line.remove_suffix(1);
        if (continuing)
            pending += line;
        else
            pending.assign(line);
        continuing = continues;
        if (!continuing)
            lines.push_back(std::move(pending));
    }
    if (continuing)
        lines.push_back(std::move(pending));
    return lines;
}

}  // namespace

RegistryHive RegistryHive::Parse(std::string_view text) {
    RegistryHive hive;
    Values* current = nullptr;  // nullptr before the first key and after a broken header
    for (const std::string& line : LogicalLines(text)) {
        if (line.empty())
            continue;
        std::size_t pos = 1;
        if (line.front() == '[') {
            std::string path;
            current = DecodeUntil(line, pos, ']', path) ? &hive.keys_[NormalizePath(path)] : nullptr;
            continue;
        }
        if (current == nullptr || (line.front() != '"' && line.front() != '@'))
            continue;
        std::string name;
        if (line.front() == '"' && !DecodeUntil(line, pos, '"', name))
            continue;
        const std::string_view rest = TrimBlanks(std::string_view(line).substr(pos));
        if (!rest.starts_with("="))
            continue;
        if (auto value = ParseData(TrimBlanks(rest.substr(1))))
            (*current)[FoldCase1252(name)] = std::move(*value);
    }
    return hive;
}

const RegistryHive::Values* RegistryHive::FindExactKey(std::string_view keyPath) const {
    static const Values kEmptyRoot;
    const std::string path = NormalizePath(keyPath);
    const auto it = keys_.find(path);
    if (it != keys_.end())
        return &it->second;
    // HKEY_LOCAL_MACHINE itself always exists, even when the file names no value of its own.
    return path.empty() ? &kEmptyRoot : nullptr;
}

std::vector<std::string> RegistryHive::Views(std::string_view keyPath) {
    // The products' installers are 32-bit programs: on a 64-bit prefix what they write lands
    // below Wow6432Node, so that view is read first, as they themselves would read it.
    static constexpr std::string_view kSoftware = "software";
    static constexpr std::string_view kWow64 = "software\\wow6432node";
    const std::string path = NormalizePath(keyPath);
    const bool software = path == kSoftware || path.starts_with(std::string(kSoftware) + "\\");
    const bool wow = path == kWow64 || path.starts_with(std::string(kWow64) + "\\");
    if (!software || wow)
        return {path};
    return {std::string(kWow64) + path.substr(kSoftware.size()), path};
}

bool RegistryHive::KeyExists(std::string_view keyPath) const {
    for (const std::string& view : Views(keyPath))
        if (FindExactKey(view) != nullptr)
            return true;
    return false;
}

std::optional<RegistryValue> RegistryHive::ReadValue(std::string_view keyPath,
                                                     std::string_view valueName) const {
    const std::string name = FoldCase1252(valueName);
    // A key that exists in one view without the value does not hide the value in the other.
    for (const std::string& view : Views(keyPath)) {
        const Values* values = FindExactKey(view);
        if (values == nullptr)
            continue;
        if (const auto it = values->find(name); it != values->end())
            return it->second;
    }
    return std::nullopt;
}

WineRegistry::WineRegistry(std::string systemRegPath) : path_(std::move(systemRegPath)) {}

std::string WineRegistry::DefaultSystemRegPath() {
    std::string prefix;
    if (const char* wine = std::getenv("WINEPREFIX"); wine != nullptr && *wine != '\0') {
        prefix = wine;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            const passwd* user = ::getpwuid(::getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr || *home == '\0')
            return std::string();
        prefix = std::string(home) + "/.wine";
    }
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    return prefix + "/system.reg";
}

void WineRegistry::Refresh() const {
    FileStamp now;
    struct stat info {};
    if (!path_.empty() && ::stat(path_.c_str(), &info) == 0) {
        now.Exists = true;
        now.Device = info.st_dev;
        now.Inode = info.st_ino;
        now.Size = info.st_size;
        now.Modified = info.st_mtim;
    }
    const bool same = loaded_ && now.Exists == stamp_.Exists && now.Device == stamp_.Device &&
                      now.Inode == stamp_.Inode && now.Size == stamp_.Size &&
                      now.Modified.tv_sec == stamp_.Modified.tv_sec &&
                      now.Modified.tv_nsec == stamp_.Modified.tv_nsec;
    if (same)
        return;
    std::string bytes;
    hive_ = now.Exists && ReadWholeFile(path_, bytes) ? RegistryHive::Parse(bytes) : RegistryHive();
    stamp_ = now;
    loaded_ = true;
}

std::optional<RegistryValue> WineRegistry::ReadValue(std::string_view keyPath,
                                                     std::string_view valueName) const {
    Refresh();
    return hive_.ReadValue(keyPath, valueName);
}

}  // namespace platform
