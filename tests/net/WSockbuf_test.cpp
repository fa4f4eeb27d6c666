// TBuffer, one block of the send queue.
#include <gtest/gtest.h>

#include <string>

#include "net/WSockbuf.h"

namespace {

std::string Unsent(const TBuffer& b)
{
    int len = 0;
    const char* p = b.Peek(len);
    return p == nullptr ? std::string() : std::string(p, static_cast<size_t>(len));
}

TEST(TBuffer, SizeDefaultsToAnEthernetFrame)
{
    EXPECT_EQ(TBuffer().BufSize(), 1514);
    EXPECT_EQ(TBuffer(0).BufSize(), 1514);
    EXPECT_EQ(TBuffer(-5).BufSize(), 1514);
    EXPECT_EQ(TBuffer(10).BufSize(), 10);
}

TEST(TBuffer, WriteTakesWhatFitsAndPeekShowsTheUnsentBytes)
{
    TBuffer b(8);
    int len = -1;
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Write("hello", 5), 5);
    EXPECT_EQ(b.Write("world", 5), 3);
    EXPECT_EQ(b.Write("!", 1), 0) << "a full block takes nothing";
    EXPECT_EQ(Unsent(b), "hellowor");
}

TEST(TBuffer, RemoveDrainsFromTheFrontAndAnEmptyBlockStartsOver)
{
    TBuffer b(8);
    b.Write("abcdef", 6);
    EXPECT_EQ(b.Remove(2), 2);
    EXPECT_EQ(Unsent(b), "cdef");
    EXPECT_EQ(b.Write("gh", 2), 2);
    EXPECT_EQ(b.Write("i", 1), 0) << "room is counted from the write position, not the unsent bytes";
    EXPECT_EQ(b.Remove(100), 6);
    EXPECT_EQ(b.Remove(1), 0);
    EXPECT_EQ(b.Write("12345678", 8), 8) << "a drained block is reused from its start";
    EXPECT_EQ(Unsent(b), "12345678");
}

TEST(TBuffer, ResizeKeepsTheStoredBytes)
{
    TBuffer b(4);
    b.Write("abcd", 4);
    b.Remove(1);
    b.SetBufSize(16);
    EXPECT_EQ(b.BufSize(), 16);
    EXPECT_EQ(Unsent(b), "bcd");
    EXPECT_EQ(b.Write("efgh", 4), 4);
    EXPECT_EQ(Unsent(b), "bcdefgh");
}

}  // namespace
