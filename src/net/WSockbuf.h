// TBuffer: one block of a socket's send queue. Owns its storage; bytes are written at the end and
// taken from the front, and a drained block starts again from its beginning. Single-threaded.
#pragma once

#include <memory>

class TBuffer {
public:
    static constexpr int kDefaultSize = 1514;

    // A size of 0 or less means kDefaultSize.
    explicit TBuffer(int size = kDefaultSize);

    // Copies as much of the data as there is room for; returns the bytes taken.
    int Write(const void* data, int len);
    // The unsent bytes: a pointer to them and their count in len; nullptr and 0 when none.
    const char* Peek(int& len) const;
    // Drops up to count unsent bytes from the front; returns how many were dropped.
    int Remove(int count);

    int BufSize() const { return bufSize_; }
    void SetBufSize(int size);
    int Unsent() const { return wrPos_ - rdPos_; }

private:
    std::unique_ptr<char[]> buf_;
    int bufSize_ = 0;
    int wrPos_ = 0;
    int rdPos_ = 0;
};
