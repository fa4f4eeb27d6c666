#include "platform/IniFile.h"

#include "platform/TextBytes.h"

namespace platform {

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    // Keys go to this section; nullptr before the first header and inside an ignored duplicate.
    Section* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::string_view line = TrimBlanks(NextLine(text, pos));
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']', 1);
            const std::string_view name = TrimBlanks(
                line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            if (ini.index_.try_emplace(FoldCase1252(name), ini.sections_.size()).second) {
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
        const std::string_view name = TrimBlanks(line.substr(0, equals));
        if (name.empty())
            continue;
        std::string_view value = TrimBlanks(line.substr(equals + 1));
        if (value.size() > kMaxValueLength)
            value = value.substr(0, kMaxValueLength);
        if (current->Index.try_emplace(FoldCase1252(name), current->Keys.size()).second)
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
    const auto it = index_.find(FoldCase1252(section));
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
    const auto it = found->Index.find(FoldCase1252(key));
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
