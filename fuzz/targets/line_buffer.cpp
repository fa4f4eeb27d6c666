// Line mode's buffer: received bytes, optionally edited (backspace, tab), cut into lines at the
// line end. The first input byte picks the line end and whether editing is on, the second how
// many receive sizes follow, then come those sizes and the stream. The stream is fed in those
// receives, the rest of it in receives of the last size given (a peer that trickles its bytes),
// and again in one receive: the lines that come out must not depend on how it was cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "net/LineBuffer.h"

namespace {

constexpr std::string_view kLineEnds[] = {"\r\n", "\n", "\r", std::string_view("\0", 1), "\r\n\r\n", "END"};

struct Delivery {
    std::vector<std::string> Lines;  // each with its terminator
    std::string Echo;
};

// The check's own reading of where a line ends, byte by byte, apart from the buffer's search.
bool LineEndAt(std::string_view bytes, std::size_t at, std::string_view lineEnd) {
    return at + lineEnd.size() <= bytes.size() && bytes.compare(at, lineEnd.size(), lineEnd) == 0;
}

// A buffer fed the way the socket's line layer feeds it, with what the check has verified so far.
struct Feed {
    LineBuffer Buffer;
    // No line end begins before this position: verified by LineEndAt. The check goes on from here
    // on the next receive, so it looks at each byte about once however the stream is cut, as the
    // buffer's own search does.
    std::size_t Verified = 0;
};

// Does what the socket's line layer does for one receive: append, edit the new bytes, then hand
// out every complete line.
void Receive(Feed& feed, std::string_view bytes, std::string_view lineEnd, bool edit, Delivery& out) {
    LineBuffer& buffer = feed.Buffer;
    const std::size_t reach = lineEnd.size() - 1;  // bytes a line end may reach back
    const std::size_t old = buffer.Size();
    buffer.Append(bytes.data(), bytes.size());
    if (edit) {
        const LineBuffer::EditResult result = buffer.Edit(old, lineEnd, true);
        out.Echo += result.Echo;
        if (result.FirstChanged != LineBuffer::npos) {
            FUZZ_CHECK(result.FirstChanged <= buffer.Size());
            // A line end that reaches the first changed byte may be new.
            feed.Verified = std::min(feed.Verified, result.FirstChanged - std::min(result.FirstChanged, reach));
        }
        // Editing leaves neither backspace nor tab behind: none in what this receive changed.
        const std::string_view changed = buffer.View().substr(std::min(old, result.FirstChanged));
        FUZZ_CHECK(changed.find('\b') == std::string_view::npos && changed.find('\t') == std::string_view::npos);
    }
    for (;;) {
        const std::string_view held = buffer.View();
        const std::size_t end = buffer.NextLineEnd(lineEnd);
        // The search answers the first line end: none before it, and one where it says.
        const std::size_t stop = end == LineBuffer::npos ? held.size() : end;
        for (std::size_t at = feed.Verified; at < stop; ++at)
            FUZZ_CHECK(held[at] != lineEnd[0] || !LineEndAt(held, at, lineEnd));
        if (end == LineBuffer::npos) {
            // The last bytes may yet begin a line end with the next receive.
            feed.Verified = std::max(feed.Verified, held.size() - std::min(held.size(), reach));
            break;
        }
        FUZZ_CHECK(LineEndAt(held, end, lineEnd));
        const std::size_t length = end + lineEnd.size();
        std::string line(length, '\0');
        FUZZ_CHECK(buffer.Take(line.data(), length) == length);
        out.Lines.push_back(std::move(line));
        feed.Verified = 0;
    }
    // No line end is left, so the whole rest is the unfinished line, for editing as for delivery.
    FUZZ_CHECK(buffer.UnfinishedLength(lineEnd) == buffer.Size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::string_view lineEnd = kLineEnds[data[0] % std::size(kLineEnds)];
    const bool edit = (data[0] & 0x80) != 0;
    const std::size_t cuts = data[1] % 16;
    if (size < 2 + cuts)
        return 0;
    const std::uint8_t* cutSizes = data + 2;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);

    Delivery pieces;
    Feed cut;
    std::size_t pos = 0;
    const std::size_t trickle = cuts > 0 && cutSizes[cuts - 1] > 0 ? cutSizes[cuts - 1] : stream.size();
    for (std::size_t i = 0; pos < stream.size(); ++i) {
        const std::size_t length = std::min<std::size_t>(i < cuts ? cutSizes[i] : trickle, stream.size() - pos);
        Receive(cut, stream.substr(pos, length), lineEnd, edit, pieces);
        pos += length;
    }

    Delivery whole;
    Feed all;
    Receive(all, stream, lineEnd, edit, whole);
    LineBuffer& cutBuffer = cut.Buffer;
    LineBuffer& wholeBuffer = all.Buffer;

    FUZZ_CHECK(pieces.Lines == whole.Lines);
    FUZZ_CHECK(cutBuffer.View() == wholeBuffer.View());
    FUZZ_CHECK(pieces.Echo == whole.Echo);
    if (!edit) {
        // Without editing nothing is changed: the lines and the rest are the stream itself.
        std::string joined;
        for (const std::string& line : whole.Lines)
            joined += line;
        FUZZ_CHECK(joined + std::string(wholeBuffer.View()) == stream);
    }

    // Taking in small pieces gives back exactly what was held; releasing empties.
    const std::string rest(wholeBuffer.View());
    std::string taken;
    char block[7];
    for (std::size_t n; (n = wholeBuffer.Take(block, sizeof block)) > 0;)
        taken.append(block, n);
    FUZZ_CHECK(taken == rest && wholeBuffer.Empty());
    cutBuffer.Release();
    FUZZ_CHECK(cutBuffer.Empty());
    return 0;
}
