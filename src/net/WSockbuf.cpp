#include "net/WSockbuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int size) { SetBufSize(size); }

void TBuffer::SetBufSize(int size)
{
    if (size <= 0)
        size = kDefaultSize;
    if (size == bufSize_)
        return;
    auto fresh = std::make_unique<char[]>(static_cast<size_t>(size));
    // Only a block that already holds bytes keeps them; a resize never cuts below what is stored.
    if (wrPos_ > 0) {
        int keep = std::min(wrPos_, size);
        std::memcpy(fresh.get(), buf_.get(), static_cast<size_t>(keep));
        wrPos_ = keep;
        rdPos_ = std::min(rdPos_, wrPos_);
    }
    buf_ = std::move(fresh);
    bufSize_ = size;
}

int TBuffer::Write(const void* data, int len)
{
    int room = bufSize_ - wrPos_;
    if (room <= 0 || len <= 0)
        return 0;
    int taken = std::min(room, len);
    std::memcpy(buf_.get() + wrPos_, data, static_cast<size_t>(taken));
    wrPos_ += taken;
    return taken;
}

const char* TBuffer::Peek(int& len) const
{
    len = wrPos_ - rdPos_;
    if (len <= 0) {
        len = 0;
        return nullptr;
    }
    return buf_.get() + rdPos_;
}

int TBuffer::Remove(int count)
{
    int unsent = wrPos_ - rdPos_;
    if (unsent <= 0 || count <= 0)
        return 0;
    int removed = std::min(count, unsent);
    rdPos_ += removed;
    if (rdPos_ == wrPos_) {
        rdPos_ = 0;
        wrPos_ = 0;
    }
    return removed;
}
