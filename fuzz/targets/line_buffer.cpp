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

constexpr std::size_t kWholeCheckLimit = 4096;

constexpr std::string_view kLineEnds[] = {"\r\n", "\n", "\r", std::string_view("\0", 1), "\r\n\r\n", "END"};

struct Delivery {
    std::vector<std::string> Lines;  // each with its terminator
    std::string Echo;
};

// Does what the socket's line layer does for one receive: append, edit the new bytes, then hand
// out every complete line, searching from just before the new bytes.
void Receive(LineBuffer& buffer, std::string_view bytes, std::string_view lineEnd, bool edit, Delivery& out) {
    const std::size_t old = buffer.Size();
    buffer.Append(bytes.data(), bytes.size());
    std::size_t searchFrom = old >= lineEnd.size() ? old - lineEnd.size() : 0;
    if (edit) {
        const LineBuffer::EditResult result = buffer.Edit(old, lineEnd, true);
        out.Echo += result.Echo;
        if (result.FirstChanged != LineBuffer::npos) {
            FUZZ_CHECK(result.FirstChanged <= buffer.Size());
            const std::size_t back =
                result.FirstChanged >= lineEnd.size() ? result.FirstChanged - lineEnd.size() : 0;
            searchFrom = std::min(searchFrom, back);
        }
        // Editing leaves neither backspace nor tab behind: none in what this receive changed.
        const std::string_view changed = buffer.View().substr(std::min(old, result.FirstChanged));
        FUZZ_CHECK(changed.find('\b') == std::string_view::npos && changed.find('\t') == std::string_view::npos);
    }
    // The bytes before the layer's search position were searched in an earlier receive, so a
    // search from there finds what a search from the start finds. Looked at while the buffer is
    // small: on a long trickled line the check itself would cost the square of its length.
    const std::size_t fromLayer = buffer.FindLineEnd(lineEnd, searchFrom);
    if (buffer.Size() <= kWholeCheckLimit)
        FUZZ_CHECK(fromLayer == buffer.FindLineEnd(lineEnd, 0));
    for (std::size_t end = fromLayer; end != LineBuffer::npos; end = buffer.FindLineEnd(lineEnd, 0)) {
        const std::size_t length = end + lineEnd.size();
        FUZZ_CHECK(length <= buffer.Size());
        std::string line(length, '\0');
        FUZZ_CHECK(buffer.Take(line.data(), length) == length);
        FUZZ_CHECK(std::string_view(line).substr(line.size() - lineEnd.size()) == lineEnd);
        out.Lines.push_back(std::move(line));
    }
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
    LineBuffer cutBuffer;
    std::size_t pos = 0;
    const std::size_t trickle = cuts > 0 && cutSizes[cuts - 1] > 0 ? cutSizes[cuts - 1] : stream.size();
    for (std::size_t i = 0; pos < stream.size(); ++i) {
        const std::size_t length = std::min<std::size_t>(i < cuts ? cutSizes[i] : trickle, stream.size() - pos);
        Receive(cutBuffer, stream.substr(pos, length), lineEnd, edit, pieces);
        pos += length;
    }

    Delivery whole;
    LineBuffer wholeBuffer;
    Receive(wholeBuffer, stream, lineEnd, edit, whole);

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
