// What the FTP client reads out of single reply lines and data blocks: the port of a 227 reply,
// the size of a 213 reply, the size a 150 reply announces, the directory of a 257 reply, and the
// display lines of a listing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "ftp/FtpReply.h"

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A port byte of a 227 list as the client must read it: blanks, 1 to 3 digits worth 0..255
// (leading zeros allowed), blanks, nothing else. -1 otherwise.
int PortByte(std::string_view field) {
    const std::size_t first = field.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return -1;
    std::size_t end = first;
    while (end < field.size() && IsDigit(field[end]))
        ++end;
    if (end == first || field.find_first_not_of(' ', end) != std::string_view::npos)
        return -1;
    std::string_view digits = field.substr(first, end - first);
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    if (digits.size() > 3)
        return -1;
    const int value = std::stoi(std::string(digits));
    return value <= 255 ? value : -1;
}

void CheckPasv(std::string_view reply) {
    const ftp::PasvReplyParse pasv = ftp::ParsePasvReply(reply);
    FUZZ_CHECK(pasv.Result == ftp::ParseResult::Complete || pasv.Result == ftp::ParseResult::Bad);
    // The list starts after the first "(" (or at the start); its first number is the one written
    // right before the first comma, then come three more address bytes and the two port bytes,
    // every one of them 0..255.
    const std::size_t open = reply.find('(');
    std::string_view rest = open == std::string_view::npos ? reply : reply.substr(open + 1);
    const std::size_t firstComma = rest.find(',');
    if (firstComma == std::string_view::npos) {
        FUZZ_CHECK(pasv.Result == ftp::ParseResult::Bad);
        return;
    }
    const std::size_t lastDigit = rest.substr(0, firstComma).find_last_not_of(' ');
    std::size_t firstDigit = lastDigit == std::string_view::npos ? 0 : lastDigit + 1;
    while (firstDigit > 0 && IsDigit(rest[firstDigit - 1]))
        --firstDigit;
    rest.remove_prefix(firstDigit);
    for (int i = 0; i < 5; ++i) {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos) {
            FUZZ_CHECK(pasv.Result == ftp::ParseResult::Bad);
            return;
        }
        const int byte = PortByte(rest.substr(0, comma));
        if (byte < 0) {
            FUZZ_CHECK(pasv.Result == ftp::ParseResult::Bad);
            return;
        }
        if (i == 4 && pasv.Result == ftp::ParseResult::Complete)
            FUZZ_CHECK(pasv.Port / 256 == byte);
        rest.remove_prefix(comma + 1);
    }
    if (pasv.Result != ftp::ParseResult::Complete)
        return;
    // The low byte is written right there, before a ")" or at the end of the digits.
    const std::size_t close = rest.find(')');
    if (close != std::string_view::npos)
        FUZZ_CHECK(PortByte(rest.substr(0, close)) == pasv.Port % 256);
    else
        FUZZ_CHECK(PortByte(rest.substr(0, rest.find_first_not_of(" 0123456789"))) == pasv.Port % 256);
}

// A run of decimal digits fits in a signed 64-bit number.
bool FitsInt64(std::string_view digits) {
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    return !digits.empty() && (digits.size() < 19 || (digits.size() == 19 && digits <= "9223372036854775807"));
}

void CheckMagnitude(std::int64_t value, std::string_view digits) {
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    FUZZ_CHECK(std::to_string(magnitude) == digits);
}

void CheckSize(std::string_view reply) {
    const ftp::SizeReplyParse size = ftp::ParseSizeReply(reply);
    // After the reply code and its blanks: an optional sign and the digits of the size; or, when
    // something else comes first, the last run of digits in the line.
    std::size_t pos = 0;
    while (pos < reply.size() && IsDigit(reply[pos]))
        ++pos;
    while (pos < reply.size() && (reply[pos] == ' ' || reply[pos] == '\t'))
        ++pos;
    const std::size_t textStart = pos;
    bool negative = pos < reply.size() && reply[pos] == '-';
    if (pos < reply.size() && (reply[pos] == '-' || reply[pos] == '+'))
        ++pos;
    std::size_t end = pos;
    while (end < reply.size() && IsDigit(reply[end]))
        ++end;
    if (end == pos) {
        negative = false;
        const std::string_view text = reply.substr(textStart);
        const std::size_t last = text.find_last_of("0123456789");
        if (last == std::string_view::npos) {
            FUZZ_CHECK(size.Result == ftp::ParseResult::Bad);
            return;
        }
        end = textStart + last + 1;
        pos = end - 1;
        while (pos > textStart && IsDigit(reply[pos - 1]))
            --pos;
    }
    const std::string_view digits = reply.substr(pos, end - pos);
    if (!FitsInt64(digits)) {
        FUZZ_CHECK(size.Result == ftp::ParseResult::Bad);
        return;
    }
    FUZZ_CHECK(size.Result == ftp::ParseResult::Complete);
    FUZZ_CHECK(negative ? size.Size <= 0 : size.Size >= 0);
    CheckMagnitude(size.Size, digits);
}

void CheckAnnouncedSize(std::string_view reply) {
    const ftp::SizeReplyParse size = ftp::ParseAnnouncedSize(reply);
    // "(", digits, blanks, "bytes)" in any case, after the last "(" of the line.
    const std::size_t open = reply.rfind('(');
    bool shaped = open != std::string_view::npos;
    std::size_t end = shaped ? open + 1 : 0;
    while (shaped && end < reply.size() && IsDigit(reply[end]))
        ++end;
    const std::string_view digits = shaped ? reply.substr(open + 1, end - open - 1) : std::string_view();
    std::size_t word = end;
    while (shaped && word < reply.size() && reply[word] == ' ')
        ++word;
    std::string tail(reply.substr(std::min(word, reply.size()), 6));
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    shaped = shaped && !digits.empty() && tail == "bytes)" && FitsInt64(digits);
    FUZZ_CHECK((size.Result == ftp::ParseResult::Complete) == shaped);
    if (shaped) {
        FUZZ_CHECK(size.Size >= 0);
        CheckMagnitude(size.Size, digits);
    }
}

void CheckDirName(std::string_view reply) {
    const std::string name = ftp::ParseReplyDirName(reply);
    FUZZ_CHECK(name.size() <= reply.size());
    if (name.empty())
        return;
    // A name is only read from a quoted text, and each of its quotes was doubled on the wire.
    const std::size_t open = reply.find('"');
    FUZZ_CHECK(open != std::string_view::npos);
    std::string quoted;
    for (char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    FUZZ_CHECK(reply.substr(open + 1, quoted.size()) == quoted);
}

void CheckDisplayLines(std::string_view block) {
    std::string joined;
    std::size_t lines = 0;
    ftp::SplitDisplayLines(block, [&](std::string_view line) {
        FUZZ_CHECK(!line.empty());
        FUZZ_CHECK(line.data() >= block.data() && line.data() + line.size() <= block.data() + block.size());
        for (char c : line)
            FUZZ_CHECK(!IsLineEnd(c));
        joined += line;
        ++lines;
    });
    // Nothing but the line ends is lost, and nothing is delivered twice.
    std::string expected;
    for (char c : block)
        if (!IsLineEnd(c))
            expected += c;
    FUZZ_CHECK(joined == expected);
    FUZZ_CHECK(lines <= block.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckDisplayLines(text);
    // Reply lines reach these parsers one at a time.
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        CheckPasv(line);
        CheckSize(line);
        CheckAnnouncedSize(line);
        CheckDirName(line);
        pos = end + 1;
    }
    return 0;
}
