// The INI reader under the catalogues. Any bytes are a file; what it reads is written back as a
// clean INI text, which must read the same again.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "platform/IniFile.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The section names the text announces, in order: the header lines' texts up to "]". Finding
// them is the test's own reading, kept simple; the reader decides which of them count.
std::vector<std::string> HeaderNames(std::string_view text) {
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() != '[')
            continue;
        const std::size_t close = line.find(']', 1);
        names.emplace_back(Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::IniFile ini = platform::IniFile::Parse(text);

    std::string rewritten;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> read;
    std::set<std::string> seen;
    for (const std::string& section : HeaderNames(text)) {
        const std::vector<std::string> keys = ini.ReadSection(section);
        FUZZ_CHECK(ini.SectionExists(section) == !keys.empty());
        if (keys.empty() || !seen.insert(section).second)
            continue;
        auto& entry = read.emplace_back(section, std::vector<std::pair<std::string, std::string>>());
        rewritten += "[" + section + "]\r\n";
        for (const std::string& key : keys) {
            // A key the section lists is found: the default never comes back.
            const std::string value = ini.ReadString(section, key, "a");
            FUZZ_CHECK(ini.ReadString(section, key, "b") == value);
            FUZZ_CHECK(value.size() <= platform::IniFile::kMaxValueLength);
            FUZZ_CHECK(value.find('\n') == std::string::npos);
            FUZZ_CHECK(value.empty() || !IsBlank(value.front()));
            // A name is what stands before the first "=", trimmed, and never opens a header
            // or a comment.
            FUZZ_CHECK(!key.empty() && key.find('=') == std::string::npos && key.find('\n') == std::string::npos);
            FUZZ_CHECK(key.front() != '[' && key.front() != ';' && !IsBlank(key.front()) && !IsBlank(key.back()));
            // Names are matched without regard to case.
            std::string upper = key;
            for (char& c : upper)
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 'a' + 'A');
            FUZZ_CHECK(ini.ReadString(section, upper) == value);
            entry.second.emplace_back(key, value);
            rewritten += key + "=" + value + "\r\n";
        }
    }

    // Reading the clean text gives the same sections, keys and values. A value cut at the
    // length limit may end in a blank, which the second reading drops like any trailing blank.
    const platform::IniFile again = platform::IniFile::Parse(rewritten);
    for (const auto& [section, keys] : read) {
        FUZZ_CHECK(again.ReadSection(section).size() == keys.size());
        for (const auto& [key, value] : keys)
            FUZZ_CHECK(again.ReadString(section, key) == std::string(Trim(value)));
    }
    return 0;
}
