// The FTP client's framing and result parsing over bytes: where a reply line ends, where a
// reply ends, what a 227, 213, 150 or 257 reply says, and how a received listing block falls
// into display lines. They own no I/O, so the engine only ever acts on whole replies and whole
// values. The functions may be called from any thread; a ReplyReader belongs to one caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ftp {

enum class ParseResult {
    Complete,  // a whole item was found
    NeedMore,  // the bytes so far are a valid beginning; wait for more
    Bad,       // the bytes can never form a valid item
};

// Where the first reply line of a receive buffer ends.
struct ReplyLineSplit {
    ParseResult Result = ParseResult::NeedMore;
    std::string_view Line;  // the line without its terminator and without trailing CR/LF bytes
    std::size_t Consumed = 0;  // bytes to drop from the front of the buffer: line plus terminator
};

// Finds the first line of `buffered`. With `acceptLF` a line ends at the first LF, otherwise at
// the first CR LF pair. When no line end is there yet but the buffer already holds `capacity`
// bytes, the whole buffer is delivered as one line, so that an over-long line cannot stall the
// reader; a CR at the very end is then kept back in case its LF is still on the way.
ReplyLineSplit SplitReplyLine(std::string_view buffered, bool acceptLF, std::size_t capacity);

// What a reply line is to the reader.
struct ReplyLineClass {
    bool HasCode = false;  // the line starts with a decimal digit
    bool IsFinal = false;  // ... and the character after its leading number is not '-'
    int Code = 0;          // the leading number (saturated to the int range); 0 without one
};

ReplyLineClass ClassifyReplyLine(std::string_view line);

// One line handed out by the ReplyReader.
struct ReplyLine {
    std::string_view Text;  // without its line end; valid until the next Feed or Reset
    int Code = 0;           // the code of the reply the line belongs to; 0 for a stray line
    bool EndsReply = false;  // the reply is complete with this line: act on it
};

// Cuts the control connection's bytes into lines and the lines into replies. A reply is one line
// that starts with a code, or, when the code is followed by "-", every line up to the first one
// that starts with the same code and a space: the lines between are text, whatever they start
// with. Fed received bytes, it owns no socket; its buffer is fixed, so a reply of any length
// costs no more memory than one line.
class ReplyReader {
public:
    // Bytes of one line at most; a longer line is cut there and its rest read as a line of its own.
    static constexpr std::size_t kCapacity = 4095;

    // How many bytes Feed takes now; the caller receives at most this many. Never 0 once Next
    // has answered NeedMore.
    std::size_t Room() const { return kCapacity - (used_ - start_); }
    // Keeps up to Room() bytes of `bytes`; returns how many it kept.
    std::size_t Feed(std::string_view bytes);
    // The next line. Complete: a line of a reply, EndsReply telling whether the reply is whole.
    // NeedMore: no whole line yet. Bad: a line outside any reply that does not start with a
    // code; it is consumed and given in `line` so it can be shown, and reading goes on. With
    // `acceptLF` a bare LF ends a line, otherwise only CR LF does.
    ParseResult Next(bool acceptLF, ReplyLine& line);
    // Forgets the bytes and the reply in progress, for a new connection.
    void Reset();
    // A multi-line reply has begun and not yet ended.
    bool InReply() const { return !openCode_.empty(); }

private:
    std::array<char, kCapacity> buffer_{};
    std::size_t start_ = 0;  // bytes before this were handed out already
    std::size_t used_ = 0;
    std::string openCode_;  // the digits that opened the multi-line reply in progress
    int openCodeValue_ = 0;
};

// The data port announced by a "227 ... (h1,h2,h3,h4,p1,p2)" reply, with or without the
// parentheses. The address is checked but never used: the data connection goes to the control
// connection's peer. Bad when a separator is missing or any of the six numbers is not a number
// from 0 to 255.
struct PasvReplyParse {
    ParseResult Result = ParseResult::Bad;
    std::uint16_t Port = 0;
};

PasvReplyParse ParsePasvReply(std::string_view reply);

// The size in a 213 reply: the number right after the reply code ("213 1048576"), or, when text
// comes first, the last number of the line ("213 file: a.bin, Size =51" gives 51). Bad when there
// is no number or it does not fit in 64 bits.
struct SizeReplyParse {
    ParseResult Result = ParseResult::Bad;
    std::int64_t Size = 0;
};

SizeReplyParse ParseSizeReply(std::string_view reply);

// The size a 150 or 125 reply announces for the transfer it opens, as most servers write it:
// "150 Opening BINARY mode data connection for a.bin (12345 bytes)." Bad when the reply has no
// "(N bytes)" (any case) or N does not fit in 64 bits.
SizeReplyParse ParseAnnouncedSize(std::string_view reply);

// Whether a refusal of LIST or NLST means an empty listing rather than a failure: servers answer
// a listing of nothing with 450 or 550 "No files found" (any case).
bool ReplySaysNoFiles(std::string_view reply);

// The directory quoted after the reply code ("257 \"/a \"\"b\"\"\" created" gives `/a "b"`): a
// doubled quote stands for one, and an unterminated name runs to the end of the line. Empty when
// the text after the code does not start with a quote.
std::string ParseReplyDirName(std::string_view reply);

// Cuts one received block into display lines: a line ends at CR or LF and the run of CR and LF
// bytes after it is skipped; a line cut by the end of the block is delivered as it stands.
void SplitDisplayLines(std::string_view block, const std::function<void(std::string_view)>& emit);

// Turns the CR LF line ends of text received in ASCII form (an ASCII transfer, a listing) into
// the local LF, one received block at a time. A CR that ends a block is held until the next
// block shows whether its LF follows; a CR not followed by LF is kept as it is.
class LocalLineEnds {
public:
    // Appends `block`, converted, to `out`.
    void Convert(std::string_view block, std::string& out);
    // Appends what is still held once the data has ended.
    void Finish(std::string& out);
    void Reset() { heldCr_ = false; }

private:
    bool heldCr_ = false;
};

// "PORT a1,a2,a3,a4,p1,p2" for a data port listening on `port`. `localAddress` is the control
// connection's local IPv4 address in host order; when the control connection goes to 127.0.0.1
// the address part is 127,0,0,1 whatever the local interface is.
std::string FormatPortCommand(std::uint32_t localAddress, std::uint16_t port, bool peerIsLoopback);

// "N bytes received/sent in S seconds (R Bytes/sec)"; the rate part only when time has passed.
std::string TransferSummary(std::int64_t bytes, std::int64_t elapsedMs);

}  // namespace ftp
