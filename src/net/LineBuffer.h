// The bytes a socket in line mode has received and not yet handed to its owner, with the two
// things line mode does to them: finding where a line ends and applying backspace and tab
// editing. Pure data: it owns its bytes and does no I/O, so the socket's line layer only moves
// bytes in and out and decides when to deliver. Single-threaded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class LineBuffer {
public:
    static constexpr std::size_t npos = std::string::npos;

    std::size_t Size() const { return bytes_.size() - start_; }
    bool Empty() const { return Size() == 0; }
    std::string_view View() const { return std::string_view(bytes_).substr(start_); }

    void Append(const void* data, std::size_t length);
    // Copies up to `length` bytes from the front into `dest` and removes them; returns how many.
    std::size_t Take(void* dest, std::size_t length);
    // Removes up to `count` bytes from the front.
    void Drop(std::size_t count);
    // Empties the buffer and gives its storage back.
    void Release();

    // The position of the first `lineEnd` that begins at or after `from`; npos when there is none
    // or `lineEnd` is empty. A terminator is matched byte for byte.
    std::size_t FindLineEnd(std::string_view lineEnd, std::size_t from) const;
    // The position of the first `lineEnd` in the buffer, as FindLineEnd from 0 finds it, but
    // looking only at bytes not looked at by an earlier call (less the ones a terminator may
    // straddle, and those that editing changed since), so that a long line trickling in costs
    // the length of each receive, not of the line. A line end found stays the answer until its
    // bytes are taken.
    std::size_t NextLineEnd(std::string_view lineEnd);
    // Bytes of the unfinished line: those behind the last `lineEnd` (all of them without one).
    // Terminators do not overlap: the search goes on behind each one found, as NextLineEnd does
    // after its line is taken. Looks only at bytes it has not looked at before.
    std::size_t UnfinishedLength(std::string_view lineEnd);

    // What editing did to the buffer.
    struct EditResult {
        // The lowest position whose byte changed; line ends must be searched again from there
        // (less the terminator's length, for one that now straddles it).
        std::size_t FirstChanged = npos;
        // What to send back to the peer when echo is on: every byte kept, "\b \b" for a
        // backspace that erased something, a space for each space a tab became.
        std::string Echo;
    };

    // Edits the bytes from position `from` on (those just received). A backspace (8) erases the
    // byte before it, but never one of a line already ended by `lineEnd`: what is erased does
    // not depend on how the network cut the bytes into receives. A tab (9) becomes spaces up to
    // the next column that is a multiple of 8, counted from the start of its line; at least one.
    // Edits in place: a receive costs its own length, however long the unfinished line is.
    EditResult Edit(std::size_t from, std::string_view lineEnd, bool echo);

private:
    // Bytes before start_ have been taken; they are dropped once they outweigh the rest, so
    // taking a line costs no move of everything behind it.
    void Compact();
    // Brings lineStart_ up to date for the bytes up to the end of bytes_, looking only at those
    // not looked at before (all of them again when the line end has changed).
    void FindLineStart(std::string_view lineEnd);

    // Lowers the resume point of NextLineEnd below a change at `position` (from start_).
    void Unsearch(std::size_t position, std::size_t lineEndLength);

    std::string bytes_;
    std::size_t start_ = 0;
    // NextLineEnd: no line end of searchedLineEnd_ begins before this position (from start_).
    std::size_t searched_ = 0;
    std::string searchedLineEnd_;
    // Where the unfinished line begins, in bytes_, as far as scanned_ has been looked at for
    // endings of scannedLineEnd_. Kept between edits so that a long line is not searched again.
    std::size_t lineStart_ = 0;
    std::size_t scanned_ = 0;
    std::string scannedLineEnd_;
};
