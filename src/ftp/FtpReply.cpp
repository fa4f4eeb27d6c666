#include "ftp/FtpReply.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace ftp {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Reads the decimal digits at `pos`, saturating at `limit`; returns how many digits were read.
std::size_t ReadDigits(std::string_view text, std::size_t pos, std::int64_t limit, std::int64_t& value,
                       bool& overflow) {
    std::size_t start = pos;
    value = 0;
    overflow = false;
    while (pos < text.size() && IsDigit(text[pos])) {
        int digit = text[pos] - '0';
        if (value > (limit - digit) / 10) {
            overflow = true;
            value = limit;
        } else if (!overflow) {
            value = value * 10 + digit;
        }
        ++pos;
    }
    return pos - start;
}

// Position just after the leading reply code and the blanks that follow it.
std::size_t SkipCodeAndBlanks(std::string_view reply) {
    std::size_t pos = 0;
    while (pos < reply.size() && IsDigit(reply[pos]))
        ++pos;
    while (pos < reply.size() && (reply[pos] == ' ' || reply[pos] == '\t'))
        ++pos;
    return pos;
}

std::string_view StripTrailingLineEnds(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return line;
}

// One byte of a PASV list: blanks, then 0..255, then blanks; `end` is the whole field.
bool ParsePortByte(std::string_view field, int& value) {
    std::size_t pos = 0;
    while (pos < field.size() && field[pos] == ' ')
        ++pos;
    std::int64_t number = 0;
    bool overflow = false;
    std::size_t digits = ReadDigits(field, pos, 1000, number, overflow);
    if (digits == 0 || overflow || number > 255)
        return false;
    pos += digits;
    while (pos < field.size() && field[pos] == ' ')
        ++pos;
    if (pos != field.size())
        return false;
    value = static_cast<int>(number);
    return true;
}

}  // namespace

ReplyLineSplit SplitReplyLine(std::string_view buffered, bool acceptLF, std::size_t capacity) {
    ReplyLineSplit split;
    std::size_t end = std::string_view::npos;
    std::size_t terminator = 0;
    if (acceptLF) {
        end = buffered.find('\n');
        terminator = 1;
    } else {
        end = buffered.find("\r\n");
        terminator = 2;
    }
    if (end == std::string_view::npos) {
        if (buffered.size() < capacity || buffered.empty())
            return split;
        // The buffer is full and still holds no line end: deliver what is there as a line.
        std::size_t cut = buffered.size();
        if (!acceptLF && buffered.back() == '\r' && cut > 1)
            --cut;
        split.Result = ParseResult::Complete;
        split.Line = StripTrailingLineEnds(buffered.substr(0, cut));
        split.Consumed = cut;
        return split;
    }
    split.Result = ParseResult::Complete;
    split.Line = StripTrailingLineEnds(buffered.substr(0, end));
    split.Consumed = end + terminator;
    return split;
}

ReplyLineClass ClassifyReplyLine(std::string_view line) {
    ReplyLineClass result;
    if (line.empty() || !IsDigit(line[0]))
        return result;
    result.HasCode = true;
    std::int64_t code = 0;
    bool overflow = false;
    std::size_t digits = ReadDigits(line, 0, INT_MAX, code, overflow);
    result.Code = static_cast<int>(code);
    result.IsFinal = digits >= line.size() || line[digits] != '-';
    return result;
}

std::size_t ReplyReader::Feed(std::string_view bytes) {
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, used_ - start_);
        used_ -= start_;
        start_ = 0;
    }
    std::size_t take = std::min(bytes.size(), kCapacity - used_);
    std::memcpy(buffer_.data() + used_, bytes.data(), take);
    used_ += take;
    return take;
}

ParseResult ReplyReader::Next(bool acceptLF, ReplyLine& line) {
    line = ReplyLine{};
    ReplyLineSplit split =
        SplitReplyLine(std::string_view(buffer_.data() + start_, used_ - start_), acceptLF, kCapacity);
    if (split.Result != ParseResult::Complete)
        return ParseResult::NeedMore;
    start_ += split.Consumed;
    line.Text = split.Line;
    if (!openCode_.empty()) {
        line.Code = openCodeValue_;
        const std::string_view text = split.Line;
        line.EndsReply = text.size() > openCode_.size() && text.compare(0, openCode_.size(), openCode_) == 0 &&
                         text[openCode_.size()] == ' ';
        if (line.EndsReply)
            openCode_.clear();
        return ParseResult::Complete;
    }
    ReplyLineClass kind = ClassifyReplyLine(split.Line);
    if (!kind.HasCode)
        return ParseResult::Bad;
    line.Code = kind.Code;
    line.EndsReply = kind.IsFinal;
    if (!kind.IsFinal) {
        std::size_t digits = 0;
        while (IsDigit(split.Line[digits]))
            ++digits;
        openCode_.assign(split.Line.substr(0, digits));
        openCodeValue_ = kind.Code;
    }
    return ParseResult::Complete;
}

void ReplyReader::Reset() {
    start_ = 0;
    used_ = 0;
    openCode_.clear();
    openCodeValue_ = 0;
}

PasvReplyParse ParsePasvReply(std::string_view reply) {
    PasvReplyParse result;
    std::size_t pos = reply.find('(');
    std::string_view rest = pos == std::string_view::npos ? reply : reply.substr(pos + 1);
    // The first number is the one right before the first comma: servers that leave out the
    // parentheses put text of their own ahead of it.
    std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos)
        return result;
    std::size_t start = comma;
    while (start > 0 && rest[start - 1] == ' ')
        --start;
    while (start > 0 && IsDigit(rest[start - 1]))
        --start;
    while (start > 0 && rest[start - 1] == ' ')
        --start;
    rest.remove_prefix(start);
    // The four address bytes are checked, although the address itself is never used: a reply
    // that gets them wrong cannot be trusted for the port either.
    int high = 0;
    for (int i = 0; i < 5; ++i) {
        comma = rest.find(',');
        if (comma == std::string_view::npos || !ParsePortByte(rest.substr(0, comma), high))
            return result;
        rest.remove_prefix(comma + 1);
    }
    // Some servers leave out the parentheses; the low byte then runs to the first non-digit.
    std::size_t close = rest.find(')');
    if (close == std::string_view::npos) {
        close = 0;
        while (close < rest.size() && (rest[close] == ' ' || IsDigit(rest[close])))
            ++close;
    }
    int low = 0;
    if (!ParsePortByte(rest.substr(0, close), low))
        return result;
    result.Result = ParseResult::Complete;
    result.Port = static_cast<std::uint16_t>(high * 256 + low);
    return result;
}

SizeReplyParse ParseSizeReply(std::string_view reply) {
    SizeReplyParse result;
    std::size_t pos = SkipCodeAndBlanks(reply);
    bool negative = false;
    std::size_t number = pos;
    if (number < reply.size() && (reply[number] == '+' || reply[number] == '-')) {
        negative = reply[number] == '-';
        ++number;
    }
    if (number >= reply.size() || !IsDigit(reply[number])) {
        // Not the plain "213 <size>": some servers wrap the size in words of their own
        // ("213 file: a.bin, Size = 51"), and the size is then their last number.
        negative = false;
        number = std::string_view::npos;
        for (std::size_t i = reply.size(); i > pos; --i) {
            if (IsDigit(reply[i - 1])) {
                number = i - 1;
                while (number > pos && IsDigit(reply[number - 1]))
                    --number;
                break;
            }
        }
        if (number == std::string_view::npos)
            return result;
    }
    std::int64_t size = 0;
    bool overflow = false;
    if (ReadDigits(reply, number, INT64_MAX, size, overflow) == 0 || overflow)
        return result;
    result.Result = ParseResult::Complete;
    result.Size = negative ? -size : size;
    return result;
}

SizeReplyParse ParseAnnouncedSize(std::string_view reply) {
    SizeReplyParse result;
    std::size_t open = reply.rfind('(');
    if (open == std::string_view::npos)
        return result;
    std::string_view rest = reply.substr(open + 1);
    std::int64_t size = 0;
    bool overflow = false;
    std::size_t digits = ReadDigits(rest, 0, INT64_MAX, size, overflow);
    if (digits == 0 || overflow)
        return result;
    rest.remove_prefix(digits);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    constexpr std::string_view kBytes = "bytes)";
    if (rest.size() < kBytes.size())
        return result;
    for (std::size_t i = 0; i < kBytes.size(); ++i)
        if (AsciiLower(rest[i]) != kBytes[i])
            return result;
    result.Result = ParseResult::Complete;
    result.Size = size;
    return result;
}

bool ReplySaysNoFiles(std::string_view reply) {
    constexpr std::string_view kNoFiles = "no files";
    for (std::size_t i = 0; i + kNoFiles.size() <= reply.size(); ++i) {
        std::size_t matched = 0;
        while (matched < kNoFiles.size() && AsciiLower(reply[i + matched]) == kNoFiles[matched])
            ++matched;
        if (matched == kNoFiles.size())
            return true;
    }
    return false;
}

std::string ParseReplyDirName(std::string_view reply) {
    std::size_t pos = SkipCodeAndBlanks(reply);
    std::string name;
    if (pos >= reply.size() || reply[pos] != '"')
        return name;
    for (++pos; pos < reply.size(); ++pos) {
        if (reply[pos] == '"') {
            if (pos + 1 < reply.size() && reply[pos + 1] == '"') {
                name += '"';
                ++pos;
                continue;
            }
            break;
        }
        name += reply[pos];
    }
    return name;
}

void SplitDisplayLines(std::string_view block, const std::function<void(std::string_view)>& emit) {
    auto isLineEnd = [](char c) { return c == '\r' || c == '\n'; };
    std::size_t pos = 0;
    // A block that starts with line-end bytes finishes the previous block's line; no empty line.
    while (pos < block.size() && isLineEnd(block[pos]))
        ++pos;
    while (pos < block.size()) {
        std::size_t end = pos;
        while (end < block.size() && !isLineEnd(block[end]))
            ++end;
        emit(block.substr(pos, end - pos));
        pos = end;
        while (pos < block.size() && isLineEnd(block[pos]))
            ++pos;
    }
}

void LocalLineEnds::Convert(std::string_view block, std::string& out) {
    if (block.empty())
        return;
    if (heldCr_ && block.front() != '\n')
        out += '\r';
    heldCr_ = block.back() == '\r';
    if (heldCr_)
        block.remove_suffix(1);
    std::size_t pos = 0;
    for (std::size_t cr; (cr = block.find("\r\n", pos)) != std::string_view::npos; pos = cr + 1)
        out.append(block.substr(pos, cr - pos));
    out.append(block.substr(pos));
}

void LocalLineEnds::Finish(std::string& out) {
    if (heldCr_)
        out += '\r';
    heldCr_ = false;
}

std::string FormatPortCommand(std::uint32_t localAddress, std::uint16_t port, bool peerIsLoopback) {
    std::uint32_t address = peerIsLoopback ? 0x7F000001u : localAddress;
    return "PORT " + std::to_string((address >> 24) & 0xFF) + "," + std::to_string((address >> 16) & 0xFF) + "," +
           std::to_string((address >> 8) & 0xFF) + "," + std::to_string(address & 0xFF) + "," +
           std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

std::string TransferSummary(std::int64_t bytes, std::int64_t elapsedMs) {
    std::string text = std::to_string(bytes) + " bytes received/sent in " + std::to_string(elapsedMs / 1000) + " seconds";
    if (elapsedMs > 0) {
        // 64-bit arithmetic; only beyond 9 PB would the product overflow, and then the coarser
        // quotient-first form is exact enough.
        std::int64_t rate = bytes <= INT64_MAX / 1000 ? bytes * 1000 / elapsedMs : bytes / elapsedMs * 1000;
        text += " (" + std::to_string(rate) + " Bytes/sec)";
    }
    return text;
}

}  // namespace ftp
