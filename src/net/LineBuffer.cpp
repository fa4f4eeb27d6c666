#include "net/LineBuffer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr std::size_t kTabWidth = 8;

// Whether the bytes from `from` on end with `tail`, within those bytes (a terminator that would
// overlap the one before `from` is none).
bool EndsWith(const std::string& text, std::size_t from, std::string_view tail) {
    return !tail.empty() && text.size() - from >= tail.size() &&
           std::string_view(text).substr(text.size() - tail.size()) == tail;
}

}  // namespace

void LineBuffer::Append(const void* data, std::size_t length) {
    bytes_.append(static_cast<const char*>(data), length);
}

std::size_t LineBuffer::Take(void* dest, std::size_t length) {
    std::size_t count = std::min(length, Size());
    if (count > 0)
        std::memcpy(dest, bytes_.data() + start_, count);
    Drop(count);
    return count;
}

void LineBuffer::Drop(std::size_t count) {
    count = std::min(count, Size());
    start_ += count;
    searched_ -= std::min(searched_, count);
    // Nothing taken can be erased any more.
    lineStart_ = std::max(lineStart_, start_);
    scanned_ = std::max(scanned_, start_);
    Compact();
}

void LineBuffer::Release() {
    std::string().swap(bytes_);
    start_ = 0;
    lineStart_ = 0;
    scanned_ = 0;
    scannedLineEnd_.clear();
    searched_ = 0;
    searchedLineEnd_.clear();
}

void LineBuffer::Compact() {
    if (start_ == bytes_.size()) {
        bytes_.clear();
        start_ = lineStart_ = scanned_ = 0;
    } else if (start_ > 4096 && start_ > bytes_.size() / 2) {
        bytes_.erase(0, start_);
        lineStart_ -= start_;
        scanned_ -= start_;
        start_ = 0;
    }
}

std::size_t LineBuffer::FindLineEnd(std::string_view lineEnd, std::size_t from) const {
    if (lineEnd.empty())
        return npos;
    return View().find(lineEnd, from);
}

std::size_t LineBuffer::NextLineEnd(std::string_view lineEnd) {
    if (lineEnd != searchedLineEnd_) {
        searchedLineEnd_.assign(lineEnd);
        searched_ = 0;
    }
    std::size_t found = FindLineEnd(lineEnd, searched_);
    if (found != npos)
        searched_ = found;
    else if (!lineEnd.empty())
        searched_ = std::max(searched_, Size() - std::min(Size(), lineEnd.size() - 1));
    return found;
}

void LineBuffer::Unsearch(std::size_t position, std::size_t lineEndLength) {
    // A terminator that ends at or after the change may be new.
    std::size_t reach = lineEndLength > 0 ? lineEndLength - 1 : 0;
    searched_ = std::min(searched_, position - std::min(position, reach));
}

std::size_t LineBuffer::UnfinishedLength(std::string_view lineEnd) {
    FindLineStart(lineEnd);
    return bytes_.size() - std::max(lineStart_, start_);
}

void LineBuffer::FindLineStart(std::string_view lineEnd) {
    if (lineEnd != scannedLineEnd_) {
        scannedLineEnd_.assign(lineEnd);
        lineStart_ = scanned_ = start_;
    }
    if (lineEnd.empty()) {
        scanned_ = bytes_.size();
        return;
    }
    // An ending may straddle the bytes looked at before and the new ones.
    std::size_t from = scanned_ - std::min(scanned_ - lineStart_, lineEnd.size() - 1);
    for (std::size_t end = bytes_.find(lineEnd, from); end != std::string::npos;
         end = bytes_.find(lineEnd, end + lineEnd.size()))
        lineStart_ = end + lineEnd.size();
    scanned_ = bytes_.size();
}

LineBuffer::EditResult LineBuffer::Edit(std::size_t from, std::string_view lineEnd, bool echo) {
    EditResult result;
    from = std::min(from, Size());
    std::size_t freshAt = start_ + from;
    std::size_t firstSpecial = std::string_view(bytes_).substr(freshAt).find_first_of(std::string_view("\b\t", 2));
    if (firstSpecial == std::string_view::npos) {
        if (echo)
            result.Echo.assign(bytes_, freshAt);
        return result;
    }

    // Only the new bytes from the first backspace or tab on are taken out and written back.
    std::size_t editAt = freshAt + firstSpecial;
    std::string rest = bytes_.substr(editAt);
    if (echo)
        result.Echo.assign(bytes_, freshAt, firstSpecial);
    bytes_.resize(editAt);
    scanned_ = std::min(scanned_, bytes_.size());
    lineStart_ = std::min(lineStart_, scanned_);
    FindLineStart(lineEnd);
    std::size_t firstChanged = bytes_.size();

    for (char byte : rest) {
        if (byte == kBackspace) {
            if (bytes_.size() > lineStart_) {
                bytes_.pop_back();
                firstChanged = std::min(firstChanged, bytes_.size());
                if (echo)
                    result.Echo += "\b \b";
            }
        } else if (byte == kTab) {
            do {
                bytes_.push_back(' ');
                if (echo)
                    result.Echo.push_back(' ');
            } while ((bytes_.size() - lineStart_) % kTabWidth != 0);
        } else {
            bytes_.push_back(byte);
            if (echo)
                result.Echo.push_back(byte);
            if (EndsWith(bytes_, lineStart_, lineEnd))
                lineStart_ = bytes_.size();
        }
    }
    scanned_ = bytes_.size();
    result.FirstChanged = firstChanged - start_;
    Unsearch(result.FirstChanged, searchedLineEnd_.size());
    return result;
}
