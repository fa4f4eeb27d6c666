// The registry-file reader (Wine's system.reg) and the installed-version lookup on top of it.
// The input is read as a registry file and looked up with paths taken from its own lines; then
// the same bytes are turned into values, written out in the file's format with every escape and
// value form the reader knows, and read back: each value must come back as it was written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "FuzzCheck.h"
#include "catalogue/InstalledVersion.h"
#include "platform/Registry.h"

namespace {

using platform::RegistryValue;

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// A Windows-1252 text as a quoted registry string: printable ASCII as it is, quotes and
// backslashes escaped, everything else as \xXXXX.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (u >= 0x20 && u < 0x7F)
            out += c;
        else
            out += "\\x" + Hex4(u);
    }
    return out + "\"";
}

// Bytes as a hex list, broken into continued lines the way Wine writes long values.
std::string HexList(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char item[4];
        std::snprintf(item, sizeof item, "%02x", static_cast<unsigned char>(bytes[i]));
        out += item;
        if (i + 1 < bytes.size())
            out += (i % 16 == 15) ? ",\\\n  " : ",";
    }
    return out;
}

std::string Utf16Le(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out + std::string(2, '\0');
}

// What the installed-version lookup must make of a value.
std::string VersionText(const RegistryValue& value) {
    if (value.Type == platform::kRegSz || value.Type == platform::kRegExpandSz)
        return value.Data.substr(0, value.Data.find('\0'));
    const bool number = value.Type == platform::kRegDword || value.Type == platform::kRegQword;
    if (!number || (value.Data.size() != 4 && value.Data.size() != 8))
        return "";
    unsigned long long n = 0;
    for (std::size_t i = 0; i < value.Data.size(); ++i)
        n += static_cast<unsigned long long>(static_cast<unsigned char>(value.Data[i])) << (8 * i);
    return std::to_string(n);
}

struct Written {
    std::string Key;  // "Fuzz\\kN" below Software
    std::string Name;
    RegistryValue Value;
};

// Reads the input as a file and looks up what its lines name; nothing may fail.
void ReadAsFile(std::string_view text) {
    const platform::RegistryHive hive = platform::RegistryHive::Parse(text);
    std::size_t pos = 0;
    for (int queries = 0; queries < 64 && pos < text.size(); ++queries) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        hive.KeyExists(line);
        catalogue::VerificaRegister(hive, line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ReadAsFile(text);

    // Each value: a control byte (key, name, form), a length byte, then its data.
    std::map<std::pair<std::string, std::string>, RegistryValue> expected;
    std::string file = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n";
    std::size_t pos = 0;
    while (pos + 2 <= text.size()) {
        const auto control = static_cast<unsigned char>(text[pos]);
        const std::size_t length = std::min<std::size_t>(static_cast<unsigned char>(text[pos + 1]), text.size() - pos - 2);
        const std::string_view bytes = text.substr(pos + 2, length);
        pos += 2 + length;

        const unsigned keyIndex = control & 3;
        const std::string name = "v" + std::to_string((control >> 2) & 3);
        // A 32-bit installer writes below Wow6432Node; the lookup must find it there.
        const std::string header = keyIndex == 3 ? "Software\\\\Wow6432Node\\\\Fuzz\\\\k3" : "Software\\\\Fuzz\\\\k" + std::to_string(keyIndex);
        std::string line = "\"" + name + "\"=";
        RegistryValue value;
        switch (control >> 4 & 7) {
        case 0:
            value = {platform::kRegSz, std::string(bytes)};
            line += Quoted(bytes);
            break;
        case 1:
            value = {platform::kRegExpandSz, std::string(bytes)};
            line += "str(2):" + Quoted(bytes);
            break;
        case 2: {
            std::uint32_t number = 0;
            for (std::size_t i = 0; i < bytes.size() && i < 4; ++i)
                number = number << 8 | static_cast<unsigned char>(bytes[i]);
            char digits[16];
            std::snprintf(digits, sizeof digits, "dword:%08x", number);
            line += digits;
            value.Type = platform::kRegDword;
            for (int i = 0; i < 4; ++i)
                value.Data += static_cast<char>(number >> (8 * i) & 0xFF);
            break;
        }
        case 3:
            value = {platform::kRegBinary, std::string(bytes)};
            line += "hex:" + HexList(bytes);
            break;
        case 4:
            // A text stored as UTF-16 with its terminating NUL, as regedit writes REG_SZ in hex.
            value = {platform::kRegSz, std::string(bytes)};
            line += "hex(1):" + HexList(Utf16Le(bytes));
            break;
        default:
            value = {platform::kRegQword, std::string(bytes)};
            line += "hex(b):" + HexList(bytes);
            break;
        }
        file += "[" + header + "] 1700000000\n" + line + "\n\n";
        expected[{"Fuzz\\k" + std::to_string(keyIndex), name}] = value;
    }

    const platform::RegistryHive hive = platform::RegistryHive::Parse(file);
    for (const auto& [where, value] : expected) {
        // Looked up in another letter case and with the 64-bit path.
        std::string key = "SOFTWARE\\" + where.first;
        const std::optional<RegistryValue> read = hive.ReadValue(key, "V" + where.second.substr(1));
        FUZZ_CHECK(read.has_value());
        FUZZ_CHECK(read->Type == value.Type);
        FUZZ_CHECK(read->Data == value.Data);

        // The installed-version lookup gives a text up to its first NUL, a number of 4 or 8
        // bytes in decimal, and nothing (not installed) for any other value.
        const std::string location = key + "\\" + where.second;
        FUZZ_CHECK(catalogue::VerificaRegister(hive, location) == VersionText(value));
    }
    return 0;
}
