#include "platform/TextBytes.h"

#include <cerrno>
#include <iterator>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The bytes 0x80 to 0x9F, where Windows-1252 differs from Latin-1.
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes, int* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error != nullptr)
            *error = errno;
        return false;
    }
    bytes.clear();
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n > 0) {
            bytes.append(block, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            if (error != nullptr)
                *error = errno;
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

std::string_view NextLine(std::string_view text, std::size_t& pos) {
    const std::size_t end = text.find('\n', pos);
    const std::string_view line =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    return line;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

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

std::string FoldCase1252(std::string_view text) {
    std::string folded(text);
    for (char& c : folded)
        c = FoldCase1252(c);
    return folded;
}

char16_t FromCp1252(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? kHigh1252[byte - 0x80] : byte;
}

char ToCp1252(char32_t cp) {
    if (cp < 0x100)
        return static_cast<char>(cp);
    for (std::size_t i = 0; i < std::size(kHigh1252); ++i)
        if (kHigh1252[i] == cp)
            return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace platform
