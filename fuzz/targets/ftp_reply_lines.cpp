// The FTP client's control-connection reader: received bytes go into a buffer of 4095 usable
// bytes, whole lines are cut from its front, classified, and grouped into replies by the reply
// reader, which must hand out exactly the lines the splitter cuts and end a multi-line reply only
// at its own code and a space. The first input byte picks ftpAcceptLF and how many bytes each
// receive brings; the rest is what the server sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "ftp/FtpReply.h"

namespace {

constexpr std::size_t kCapacity = ftp::ReplyReader::kCapacity;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void CheckClassification(std::string_view line) {
    const ftp::ReplyLineClass c = ftp::ClassifyReplyLine(line);
    FUZZ_CHECK(c.HasCode == (!line.empty() && IsDigit(line[0])));
    FUZZ_CHECK(c.Code >= 0);
    if (!c.HasCode) {
        FUZZ_CHECK(!c.IsFinal && c.Code == 0);
        return;
    }
    std::size_t digits = 0;
    while (digits < line.size() && IsDigit(line[digits]))
        ++digits;
    FUZZ_CHECK(c.IsFinal == (digits == line.size() || line[digits] != '-'));
    if (digits <= 9)
        FUZZ_CHECK(c.Code == std::stoi(std::string(line.substr(0, digits))));
}

// What the reader must make of the next line, given the code of the multi-line reply in progress
// (empty when none is); updates that code.
void CheckReplyLine(ftp::ParseResult result, const ftp::ReplyLine& line, std::string& openCode) {
    if (!openCode.empty()) {
        FUZZ_CHECK(result == ftp::ParseResult::Complete);
        const bool ends = line.Text.size() > openCode.size() && line.Text.substr(0, openCode.size()) == openCode &&
                          line.Text[openCode.size()] == ' ';
        FUZZ_CHECK(line.EndsReply == ends);
        if (ends)
            openCode.clear();
        return;
    }
    const ftp::ReplyLineClass c = ftp::ClassifyReplyLine(line.Text);
    if (!c.HasCode) {
        FUZZ_CHECK(result == ftp::ParseResult::Bad);
        FUZZ_CHECK(line.Code == 0 && !line.EndsReply);
        return;
    }
    FUZZ_CHECK(result == ftp::ParseResult::Complete);
    FUZZ_CHECK(line.Code == c.Code);
    FUZZ_CHECK(line.EndsReply == c.IsFinal);
    if (!c.IsFinal) {
        std::size_t digits = 0;
        while (IsDigit(line.Text[digits]))
            ++digits;
        openCode.assign(line.Text.substr(0, digits));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool acceptLF = (data[0] & 1) != 0;
    const std::size_t receiveSize = 1 + static_cast<std::size_t>(data[0] >> 1) * 37;  // 1..4700
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string buffer;
    ftp::ReplyReader reader;
    std::string openCode;
    std::string delivered;  // every line's bytes plus what stripping and terminators took
    std::size_t fed = 0;
    std::size_t consumedTotal = 0;
    while (fed < stream.size()) {
        // The reader never asks for more than the room left; with no room it would stall.
        const std::size_t room = kCapacity - buffer.size();
        FUZZ_CHECK(room > 0);
        FUZZ_CHECK(reader.Room() == room);
        const std::size_t take = std::min({receiveSize, room, stream.size() - fed});
        buffer.append(stream.substr(fed, take));
        FUZZ_CHECK(reader.Feed(stream.substr(fed, take)) == take);
        fed += take;
        for (;;) {
            const ftp::ReplyLineSplit split = ftp::SplitReplyLine(buffer, acceptLF, kCapacity);
            ftp::ReplyLine line;
            const ftp::ParseResult result = reader.Next(acceptLF, line);
            if (split.Result != ftp::ParseResult::Complete) {
                FUZZ_CHECK(split.Result == ftp::ParseResult::NeedMore);
                FUZZ_CHECK(result == ftp::ParseResult::NeedMore);
                FUZZ_CHECK(buffer.size() < kCapacity);
                if (acceptLF)
                    FUZZ_CHECK(buffer.find('\n') == std::string::npos);
                else
                    FUZZ_CHECK(buffer.find("\r\n") == std::string::npos);
                break;
            }
            // The line is the front of the buffer, shorter than what it consumes, and the
            // reader always moves on.
            FUZZ_CHECK(split.Consumed >= 1 && split.Consumed <= buffer.size());
            FUZZ_CHECK(split.Line.data() == buffer.data());
            FUZZ_CHECK(split.Line.size() <= split.Consumed);
            FUZZ_CHECK(split.Line.empty() || (split.Line.back() != '\r' && split.Line.back() != '\n'));
            if (acceptLF)
                FUZZ_CHECK(split.Line.find('\n') == std::string_view::npos);
            else
                FUZZ_CHECK(split.Line.find("\r\n") == std::string_view::npos);
            // What lies between the line and the next one is line-end bytes only.
            for (std::size_t i = split.Line.size(); i < split.Consumed; ++i)
                FUZZ_CHECK(buffer[i] == '\r' || buffer[i] == '\n');
            CheckClassification(split.Line);
            FUZZ_CHECK(result != ftp::ParseResult::NeedMore);
            FUZZ_CHECK(line.Text == split.Line);
            CheckReplyLine(result, line, openCode);
            FUZZ_CHECK(reader.InReply() == !openCode.empty());
            consumedTotal += split.Consumed;
            buffer.erase(0, split.Consumed);
        }
    }
    FUZZ_CHECK(consumedTotal + buffer.size() == stream.size());
    return 0;
}
