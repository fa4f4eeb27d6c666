// Line cutting and editing of the line buffer, fed bytes directly.
#include "net/LineBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Appends `received` and edits it the way the line layer does with LineEdit on.
LineBuffer::EditResult Receive(LineBuffer& buffer, const std::string& received, bool echo = false,
                               const std::string& lineEnd = "\r\n") {
    std::size_t from = buffer.Size();
    buffer.Append(received.data(), received.size());
    return buffer.Edit(from, lineEnd, echo);
}

std::string TakeAll(LineBuffer& buffer) {
    std::string out(buffer.Size(), '\0');
    out.resize(buffer.Take(out.data(), out.size()));
    return out;
}

}  // namespace

TEST(LineBufferFind, FirstTerminatorAtOrAfterTheStart) {
    LineBuffer buffer;
    buffer.Append("abc\r\ndef\r\n", 10);
    EXPECT_EQ(buffer.FindLineEnd("\r\n", 0), 3u);
    EXPECT_EQ(buffer.FindLineEnd("\r\n", 4), 8u);
    EXPECT_EQ(buffer.FindLineEnd("\r\n", 9), LineBuffer::npos);
    EXPECT_EQ(buffer.FindLineEnd("", 0), LineBuffer::npos);
    // Matched byte for byte: a lone LF is not a CR LF terminator.
    LineBuffer lf;
    lf.Append("a\nb", 3);
    EXPECT_EQ(lf.FindLineEnd("\r\n", 0), LineBuffer::npos);
    EXPECT_EQ(lf.FindLineEnd("\n", 0), 1u);
}

TEST(LineBufferFind, TerminatorSplitBetweenTwoReceivesIsFoundFromTheOldEndLessItsLength) {
    LineBuffer buffer;
    buffer.Append("abc\r", 4);
    EXPECT_EQ(buffer.FindLineEnd("\r\n", 0), LineBuffer::npos);
    std::size_t old = buffer.Size();
    buffer.Append("\ndef", 4);
    EXPECT_EQ(buffer.FindLineEnd("\r\n", old - 2), 3u);
}

TEST(LineBufferTake, TakesFromTheFrontInPartsAndKeepsTheRestInOrder) {
    LineBuffer buffer;
    buffer.Append("0123456789", 10);
    char part[4];
    EXPECT_EQ(buffer.Take(part, 2), 2u);
    EXPECT_EQ(std::string(part, 2), "01");
    buffer.Append("ab", 2);
    EXPECT_EQ(buffer.View(), "23456789ab");
    buffer.Drop(3);
    EXPECT_EQ(TakeAll(buffer), "56789ab");
    EXPECT_TRUE(buffer.Empty());
    EXPECT_EQ(buffer.Take(part, 4), 0u);
}

TEST(LineBufferTake, ManySmallTakesOverALongBufferKeepEveryByte) {
    LineBuffer buffer;
    std::string all;
    for (int i = 0; i < 3000; ++i)
        all += "line " + std::to_string(i) + "\r\n";
    buffer.Append(all.data(), all.size());
    std::string out;
    char piece[7];
    for (int guard = 0; guard < 100000 && !buffer.Empty(); ++guard)
        out.append(piece, buffer.Take(piece, sizeof piece));
    EXPECT_EQ(out, all);
}

TEST(LineBufferEdit, BackspaceErasesTheByteBeforeIt) {
    LineBuffer buffer;
    LineBuffer::EditResult edit = Receive(buffer, "ab\bc\r\n");
    EXPECT_EQ(buffer.View(), "ac\r\n");
    EXPECT_EQ(edit.FirstChanged, 1u);
}

TEST(LineBufferEdit, BackspaceReachesIntoAnEarlierReceiveOfTheSameLine) {
    LineBuffer buffer;
    Receive(buffer, "abc");
    LineBuffer::EditResult edit = Receive(buffer, "\b\b\bxy");
    EXPECT_EQ(buffer.View(), "xy");
    EXPECT_EQ(edit.FirstChanged, 0u);
    // Nothing left to erase: further backspaces are dropped.
    Receive(buffer, "\b\b\b\bz");
    EXPECT_EQ(buffer.View(), "z");
}

TEST(LineBufferEdit, BackspaceNeverErasesALineAlreadyEnded) {
    // The result must not depend on whether "ab\r\n" came in the same receive as the backspace.
    LineBuffer together;
    Receive(together, "ab\r\n\bc");
    LineBuffer apart;
    Receive(apart, "ab\r\n");
    Receive(apart, "\bc");
    EXPECT_EQ(together.View(), "ab\r\nc");
    EXPECT_EQ(apart.View(), "ab\r\nc");
}

TEST(LineBufferEdit, BackspaceAfterALineEndSplitBetweenTwoEditedReceivesErasesNothing) {
    LineBuffer buffer;
    Receive(buffer, "abx\b\r");
    Receive(buffer, "\n\b\b");
    EXPECT_EQ(buffer.View(), "ab\r\n");
}

TEST(LineBufferEdit, ALineEndThatOverlapsTheOneBeforeItEndsNoLine) {
    // With the line end "aa", "xaaa" is the line "xaa" and an unfinished "a", as its delivery
    // cuts it: a backspace erases that "a".
    LineBuffer buffer;
    Receive(buffer, "xaaa", false, "aa");
    Receive(buffer, "\b", false, "aa");
    EXPECT_EQ(buffer.View(), "xaa");
    EXPECT_EQ(buffer.UnfinishedLength("aa"), 0u);
}

TEST(LineBufferEdit, TabFillsToTheNextMultipleOfEightFromTheLineStart) {
    LineBuffer buffer;
    Receive(buffer, "a\tb");
    EXPECT_EQ(buffer.View(), "a       b");
    LineBuffer full;
    Receive(full, "12345678\tx");
    EXPECT_EQ(full.View(), "12345678        x");  // at a tab stop a tab still writes 8 spaces
    LineBuffer second;
    Receive(second, "xyz\r\nab\tc");
    EXPECT_EQ(second.View(), "xyz\r\nab      c");
}

TEST(LineBufferEdit, WithoutBackspaceOrTabNothingChanges) {
    LineBuffer buffer;
    LineBuffer::EditResult edit = Receive(buffer, "plain\r\n", true);
    EXPECT_EQ(buffer.View(), "plain\r\n");
    EXPECT_EQ(edit.FirstChanged, LineBuffer::npos);
    EXPECT_EQ(edit.Echo, "plain\r\n");
}

TEST(LineBufferEdit, EchoShowsWhatEditingDid) {
    LineBuffer buffer;
    LineBuffer::EditResult edit = Receive(buffer, "ab\b\tc", true);
    EXPECT_EQ(buffer.View(), "a       c");
    EXPECT_EQ(edit.Echo, std::string("ab\b \b") + std::string(7, ' ') + "c");
    // A backspace with nothing to erase echoes nothing.
    LineBuffer empty;
    EXPECT_EQ(Receive(empty, "\b", true).Echo, "");
    EXPECT_EQ(Receive(empty, "x", false).Echo, "");
}

TEST(LineBufferEdit, EditsOnlyTheNewBytesAfterTakenOnes) {
    LineBuffer buffer;
    buffer.Append("done\r\nab", 8);
    buffer.Drop(6);
    Receive(buffer, "\bz\r\n");
    EXPECT_EQ(buffer.View(), "az\r\n");
}

TEST(LineBufferEdit, TheUnfinishedLineIsFoundAgainAfterTakesAndALineEndChange)
{
    LineBuffer buffer;
    // Many lines taken, so the storage in front is given back, then a backspace at the front of
    // the unfinished line erases nothing.
    std::string lines;
    for (int i = 0; i < 500; ++i)
        lines += "line number " + std::to_string(i) + "\r\n";
    Receive(buffer, lines + "x");
    buffer.Drop(lines.size());
    Receive(buffer, "\b\b\by");
    EXPECT_EQ(buffer.View(), "y");
    // A new line end makes an earlier byte a line end: the line start is found again.
    Receive(buffer, "\nab", false, "\n");
    Receive(buffer, "\b\b\bz", false, "\n");
    EXPECT_EQ(buffer.View(), "y\nz");
}

TEST(LineBufferRelease, EmptiesTheBuffer) {
    LineBuffer buffer;
    buffer.Append("abc", 3);
    buffer.Release();
    EXPECT_TRUE(buffer.Empty());
    buffer.Append("d", 1);
    EXPECT_EQ(buffer.View(), "d");
}
