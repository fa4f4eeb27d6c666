#include "platform/IniFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Windows compares profile names with the system's case rules; for the single-byte texts of the
// catalogues that means ASCII plus the accented letters of Windows-1252.
char FoldCase1252(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z')
        return static_cast<char>(u + 0x20);
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7)
        return static_cast<char>(u + 0x20);
    switch (u) {
    case 0x8A: return static_cast<char>(0x9A);  // S caron
    case 0x8C: return static_cast<char>(0x9C);  // OE
    case 0x8E: return static_cast<char>(0x9E);  // Z caron
    case 0x9F: return static_cast<char>(0xFF);  // Y diaeresis
    default: return c;
    }
}

std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
        c = FoldCase1252(c);
    return folded;
}

// The whole file, or false when it cannot be opened or read. Close-on-exec, so that an installer
// started meanwhile inherits nothing.
bool ReadWholeFile(const std::string& path, std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bytes.clear();
    char block[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n > 0) {
            bytes.append(block, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    // Keys go to this section; nullptr before the first header and inside an ignored duplicate.
    Section* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? text.size() : end + 1;

        line = Trim(line);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']', 1);
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                    : close - 1));
            if (ini.index_.try_emplace(Fold(name), ini.sections_.size()).second) {
                ini.sections_.emplace_back();
                current = &ini.sections_.back();
            } else {
                current = nullptr;
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || current == nullptr)
            continue;
        const std::string_view name = Trim(line.substr(0, equals));
        if (name.empty())
            continue;
        std::string_view value = Trim(line.substr(equals + 1));
        if (value.size() > kMaxValueLength)
            value = value.substr(0, kMaxValueLength);
        if (current->Index.try_emplace(Fold(name), current->Keys.size()).second)
            current->Keys.emplace_back(std::string(name), std::string(value));
    }
    return ini;
}

IniFile IniFile::Load(const std::string& path) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return IniFile();
    return Parse(bytes);
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
    const auto it = index_.find(Fold(section));
    return it == index_.end() ? nullptr : &sections_[it->second];
}

bool IniFile::SectionExists(std::string_view section) const {
    const Section* found = Find(section);
    return found != nullptr && !found->Keys.empty();
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
    const Section* found = Find(section);
    if (found == nullptr)
        return std::string(defaultValue);
    const auto it = found->Index.find(Fold(key));
    if (it == found->Index.end())
        return std::string(defaultValue);
    return found->Keys[it->second].second;
}

std::vector<std::string> IniFile::ReadSection(std::string_view section) const {
    std::vector<std::string> names;
    if (const Section* found = Find(section)) {
        names.reserve(found->Keys.size());
        for (const auto& [name, value] : found->Keys)
            names.push_back(name);
    }
    return names;
}

}  // namespace platform
