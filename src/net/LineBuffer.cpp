#include "net/LineBuffer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr std::size_t kTabWidth = 8;

bool EndsWith(const std::string& text, std::string_view tail) {
    return !tail.empty() && text.size() >= tail.size() &&
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
    start_ += std::min(count, Size());
    Compact();
}

void LineBuffer::Release() {
    std::string().swap(bytes_);
    start_ = 0;
}

void LineBuffer::Compact() {
    if (start_ == bytes_.size()) {
        bytes_.clear();
        start_ = 0;
    } else if (start_ > 4096 && start_ > bytes_.size() / 2) {
        bytes_.erase(0, start_);
        start_ = 0;
    }
}

std::size_t LineBuffer::FindLineEnd(std::string_view lineEnd, std::size_t from) const {
    if (lineEnd.empty())
        return npos;
    return View().find(lineEnd, from);
}

LineBuffer::EditResult LineBuffer::Edit(std::size_t from, std::string_view lineEnd, bool echo) {
    EditResult result;
    std::string_view held = View();
    from = std::min(from, held.size());
    std::string_view fresh = held.substr(from);
    std::size_t firstSpecial = fresh.find_first_of(std::string_view("\b\t", 2));
    if (firstSpecial == std::string_view::npos) {
        if (echo)
            result.Echo.assign(fresh);
        return result;
    }

    // The edited text is only built once there is something to edit.
    std::string edited(held.substr(0, from + firstSpecial));
    if (echo)
        result.Echo.assign(fresh.substr(0, firstSpecial));
    std::size_t lineStart = 0;
    if (!lineEnd.empty()) {
        std::size_t lastEnd = std::string_view(edited).rfind(lineEnd);
        if (lastEnd != std::string_view::npos)
            lineStart = lastEnd + lineEnd.size();
    }
    result.FirstChanged = edited.size();

    for (char byte : fresh.substr(firstSpecial)) {
        if (byte == kBackspace) {
            if (edited.size() > lineStart) {
                edited.pop_back();
                result.FirstChanged = std::min(result.FirstChanged, edited.size());
                if (echo)
                    result.Echo += "\b \b";
            }
        } else if (byte == kTab) {
            do {
                edited.push_back(' ');
                if (echo)
                    result.Echo.push_back(' ');
            } while ((edited.size() - lineStart) % kTabWidth != 0);
        } else {
            edited.push_back(byte);
            if (echo)
                result.Echo.push_back(byte);
            if (EndsWith(edited, lineEnd))
                lineStart = edited.size();
        }
    }
    bytes_ = std::move(edited);
    start_ = 0;
    return result;
}
