// An INI file held in memory, read the way the server's catalogues expect: "[section]" headers,
// "key=value" lines, names matched without regard to case. It owns a parsed copy of the text and
// no file; an object may be used from any thread, one thread at a time.
//
// Rules of the text:
// - a line ends at LF; blanks (space, tab, CR, VT, FF) around a line, a name and a value are
//   dropped, so CR LF files read like LF files;
// - a line that starts with ";" is a comment;
// - a line that starts with "[" names a section: the text up to the first "]", or to the end of
//   the line when there is none (a broken header still opens its section);
// - any other line with "=" is a key: the name before the first "=", the value after it, cut to
//   kMaxValueLength bytes; a line without "=" or with an empty name is skipped, as are keys that
//   stand before the first header;
// - of duplicate sections the first wins and the later ones are ignored whole; of duplicate keys
//   in a section the first wins;
// - a section counts as present only when it holds at least one key.
// Names compare with the letters of Windows-1252 folded to lower case; values keep their bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

class IniFile {
public:
    // The longest value a lookup returns, in bytes.
    static constexpr std::size_t kMaxValueLength = 2047;

    IniFile() = default;

    // Reads any bytes; malformed lines yield what they can and never fail.
    static IniFile Parse(std::string_view text);
    // A file that is missing or cannot be read gives an empty IniFile: a file without sections.
    static IniFile Load(const std::string& path);

    bool SectionExists(std::string_view section) const;
    // The value of `key` in `section`, or `defaultValue` when either is missing.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue = {}) const;
    // The key names of `section` in file order; empty when the section is missing.
    std::vector<std::string> ReadSection(std::string_view section) const;

private:
    struct Section {
        std::vector<std::pair<std::string, std::string>> Keys;  // name as written, value
        std::unordered_map<std::string, std::size_t> Index;     // folded name -> position in Keys
    };

    const Section* Find(std::string_view section) const;

    std::vector<Section> sections_;
    std::unordered_map<std::string, std::size_t> index_;  // folded section name -> position
};

}  // namespace platform
