// The pure framing and parsing functions, fed bytes directly.
#include "ftp/FtpReply.h"
#include "ftp/FtpRetry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ftp::ParseResult;

namespace {

// Runs the splitter over a buffer the way the reader does and returns every line it yields.
std::vector<std::string> AllLines(std::string buffer, bool acceptLF, std::size_t capacity = 4095) {
    std::vector<std::string> lines;
    for (int guard = 0; guard < 100; ++guard) {
        ftp::ReplyLineSplit split = ftp::SplitReplyLine(buffer, acceptLF, capacity);
        if (split.Result != ParseResult::Complete)
            break;
        lines.emplace_back(split.Line);
        buffer.erase(0, split.Consumed);
    }
    return lines;
}

std::vector<std::string> DisplayLines(std::string_view block) {
    std::vector<std::string> lines;
    ftp::SplitDisplayLines(block, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

}  // namespace

TEST(ReplyLineSplit, CrLfLinesComeOutInOrderWithoutTheirEnds) {
    EXPECT_EQ(AllLines("220-Hello\r\n220 Ready\r\n", false), (std::vector<std::string>{"220-Hello", "220 Ready"}));
    EXPECT_EQ(AllLines("220-Hello\r\n220 Ready\r\n", true), (std::vector<std::string>{"220-Hello", "220 Ready"}));
}

TEST(ReplyLineSplit, BareLfEndsALineOnlyWithAcceptLF) {
    EXPECT_EQ(AllLines("220 Ready\n", true), std::vector<std::string>{"220 Ready"});
    EXPECT_TRUE(AllLines("220 Ready\n", false).empty());
    // Without ftpAcceptLF the bare-LF line is kept until a CR LF arrives, and then both go out
    // as one line.
    EXPECT_EQ(AllLines("220-a\n220 b\r\n", false), std::vector<std::string>{"220-a\n220 b"});
}

TEST(ReplyLineSplit, IncompleteLineNeedsMore) {
    ftp::ReplyLineSplit split = ftp::SplitReplyLine("220 Rea", true, 4095);
    EXPECT_EQ(split.Result, ParseResult::NeedMore);
    split = ftp::SplitReplyLine("220 Ready\r", false, 4095);
    EXPECT_EQ(split.Result, ParseResult::NeedMore);
    split = ftp::SplitReplyLine("", true, 4095);
    EXPECT_EQ(split.Result, ParseResult::NeedMore);
}

TEST(ReplyLineSplit, ConsumedCountsTheTerminator) {
    ftp::ReplyLineSplit split = ftp::SplitReplyLine("200 OK\r\n331 x", true, 4095);
    ASSERT_EQ(split.Result, ParseResult::Complete);
    EXPECT_EQ(split.Line, "200 OK");
    EXPECT_EQ(split.Consumed, 8u);
    split = ftp::SplitReplyLine("200 OK\r\r\n", false, 4095);
    EXPECT_EQ(split.Line, "200 OK");
    EXPECT_EQ(split.Consumed, 9u);
}

TEST(ReplyLineSplit, FullBufferWithoutLineEndIsCutAsALine) {
    std::string longLine(4095, 'x');
    ftp::ReplyLineSplit split = ftp::SplitReplyLine(longLine, true, 4095);
    ASSERT_EQ(split.Result, ParseResult::Complete);
    EXPECT_EQ(split.Line.size(), 4095u);
    EXPECT_EQ(split.Consumed, 4095u);
    // A CR at the very end may be half of a CR LF: it stays for the next read.
    std::string withCr(4094, 'y');
    withCr += '\r';
    split = ftp::SplitReplyLine(withCr, false, 4095);
    ASSERT_EQ(split.Result, ParseResult::Complete);
    EXPECT_EQ(split.Consumed, 4094u);
    EXPECT_EQ(split.Line, std::string(4094, 'y'));
}

TEST(ReplyLineClass, FinalLinesAndContinuations) {
    ftp::ReplyLineClass c = ftp::ClassifyReplyLine("220 Ready");
    EXPECT_TRUE(c.HasCode);
    EXPECT_TRUE(c.IsFinal);
    EXPECT_EQ(c.Code, 220);

    c = ftp::ClassifyReplyLine("220-Welcome");
    EXPECT_TRUE(c.HasCode);
    EXPECT_FALSE(c.IsFinal);
    EXPECT_EQ(c.Code, 220);

    c = ftp::ClassifyReplyLine("226");
    EXPECT_TRUE(c.IsFinal);
    EXPECT_EQ(c.Code, 226);

    c = ftp::ClassifyReplyLine(" 220 indented text of a multi-line reply");
    EXPECT_FALSE(c.HasCode);
    EXPECT_FALSE(c.IsFinal);

    c = ftp::ClassifyReplyLine("");
    EXPECT_FALSE(c.HasCode);

    c = ftp::ClassifyReplyLine("99999999999999999999 huge");
    EXPECT_TRUE(c.IsFinal);
    EXPECT_EQ(c.Code, 2147483647);
}

TEST(ReplyReader, MultiLineReplyEndsOnlyAtItsOwnCodeAndASpace) {
    const std::string wire =
        "250-Directory changed\r\n2 files are waiting\r\n250-more text\r\n2500 not the end\r\n"
        "220 another code\r\n250\r\n250 OK\r\nstray\r\n257 \"/\"\r\n";
    ftp::ReplyReader reader;
    std::vector<std::string> lines;
    // Fed one byte at a time, as the slowest network would.
    for (char c : wire) {
        ASSERT_EQ(reader.Feed(std::string_view(&c, 1)), 1u);
        ftp::ReplyLine line;
        for (ParseResult r; (r = reader.Next(true, line)) != ParseResult::NeedMore;)
            lines.push_back(std::string(r == ParseResult::Bad ? "bad " : line.EndsReply ? "end " : "text ") +
                            std::to_string(line.Code) + " " + std::string(line.Text));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"text 250 250-Directory changed", "text 250 2 files are waiting",
                                               "text 250 250-more text", "text 250 2500 not the end",
                                               "text 250 220 another code", "text 250 250", "end 250 250 OK",
                                               "bad 0 stray", "end 257 257 \"/\""}));
    EXPECT_FALSE(reader.InReply());
}

TEST(PasvReply, PortComesFromTheLastTwoNumbers) {
    ftp::PasvReplyParse p = ftp::ParsePasvReply("227 Entering Passive Mode (10,0,0,5,4,1).");
    ASSERT_EQ(p.Result, ParseResult::Complete);
    EXPECT_EQ(p.Port, 1025);
    p = ftp::ParsePasvReply("227 Entering passive mode (127,0,0,1,255,255)");
    ASSERT_EQ(p.Result, ParseResult::Complete);
    EXPECT_EQ(p.Port, 65535);
    p = ftp::ParsePasvReply("227 =127,0,0,1,39,16");
    ASSERT_EQ(p.Result, ParseResult::Complete);
    EXPECT_EQ(p.Port, 10000);
    p = ftp::ParsePasvReply("227 Entering Passive Mode 10,0,0,5,4,2");
    ASSERT_EQ(p.Result, ParseResult::Complete);
    EXPECT_EQ(p.Port, 1026);
    p = ftp::ParsePasvReply("227 Entering Passive Mode ( 1, 2, 3, 4, 0, 21 )");
    ASSERT_EQ(p.Result, ParseResult::Complete);
    EXPECT_EQ(p.Port, 21);
}

TEST(PasvReply, MalformedRepliesAreBad) {
    for (const char* reply : {"227 Entering Passive Mode", "227 (127,0,0,1,4)", "227 (127,0,0,1,x,1)",
                              "227 (127,0,0,1,4,)", "227 (127,0,0,1,256,1)", "227 (127,0,0,1,4,1000)",
                              "227 (127,0,0,1,-4,1)", "227 (127,0,0,1,,1)", "227 (127,0,0,256,4,1)",
                              "227 (999,0,0,1,4,1)", "227 (127,0,1000,1,4,1)", "227 Entering Passive Mode 300,0,0,1,4,1",
                              "227 (127,0,x,1,4,1)", ""}) {
        EXPECT_EQ(ftp::ParsePasvReply(reply).Result, ParseResult::Bad) << reply;
    }
}

TEST(SizeReply, ReadsA64BitNumberAfterTheCode) {
    ftp::SizeReplyParse s = ftp::ParseSizeReply("213 1514");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 1514);
    s = ftp::ParseSizeReply("213 5368709120");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 5368709120LL);
    s = ftp::ParseSizeReply("213   0");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 0);
    // Text around the number: the size is the line's last number.
    s = ftp::ParseSizeReply("213 file: 213, Size =51");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 51);
    s = ftp::ParseSizeReply("213 Size of big.iso: 5368709120");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 5368709120LL);
    EXPECT_EQ(ftp::ParseSizeReply("213 ").Result, ParseResult::Bad);
    EXPECT_EQ(ftp::ParseSizeReply("213 lots").Result, ParseResult::Bad);
    EXPECT_EQ(ftp::ParseSizeReply("213 99999999999999999999").Result, ParseResult::Bad);
}

TEST(AnnouncedSize, TheBytesInParenthesesOfAnOpeningReply) {
    ftp::SizeReplyParse s = ftp::ParseAnnouncedSize("150 Opening BINARY mode data connection for f (2) (12345 bytes).");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 12345);
    s = ftp::ParseAnnouncedSize("125 Data connection already open; Transfer starting (5368709120 Bytes)");
    ASSERT_EQ(s.Result, ParseResult::Complete);
    EXPECT_EQ(s.Size, 5368709120LL);
    for (const char* reply : {"150 Opening data connection.", "150 Here (12345 kB).", "150 (bytes)", "150 (12 bytes",
                              "150 (99999999999999999999 bytes)"})
        EXPECT_EQ(ftp::ParseAnnouncedSize(reply).Result, ParseResult::Bad) << reply;
}

TEST(DirName, QuotedNameWithDoubledQuotes) {
    EXPECT_EQ(ftp::ParseReplyDirName("257 \"/pub/mirelo\" is the current directory"), "/pub/mirelo");
    EXPECT_EQ(ftp::ParseReplyDirName("257 \"/a \"\"b\"\"\" created."), "/a \"b\"");
    EXPECT_EQ(ftp::ParseReplyDirName("257 \"\""), "");
    EXPECT_EQ(ftp::ParseReplyDirName("257 \"/unterminated"), "/unterminated");
    EXPECT_EQ(ftp::ParseReplyDirName("250 CWD command successful."), "");
    EXPECT_EQ(ftp::ParseReplyDirName("257"), "");
}

TEST(DisplayLines, LinesEndAtAnyRunOfCrAndLf) {
    EXPECT_EQ(DisplayLines("a.txt\r\nb.txt\r\n"), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(DisplayLines("a\n\n\rb\rc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(DisplayLines("\r\nrest of line\r\n"), std::vector<std::string>{"rest of line"});
    EXPECT_TRUE(DisplayLines("").empty());
    EXPECT_TRUE(DisplayLines("\r\n").empty());
}

TEST(LocalLineEnds, CrLfBecomesLfAcrossBlocks) {
    // Every way of cutting the text into two blocks gives the same result.
    const std::string text = "a\r\nb\r\rc\r\n\r\nd\r";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        ftp::LocalLineEnds ends;
        std::string out;
        ends.Convert(std::string_view(text).substr(0, cut), out);
        ends.Convert(std::string_view(text).substr(cut), out);
        ends.Finish(out);
        EXPECT_EQ(out, "a\nb\r\rc\n\nd\r") << cut;
    }
}

TEST(PortCommand, LoopbackPeerGetsTheLoopbackAddress) {
    EXPECT_EQ(ftp::FormatPortCommand(0x0A000005u, 1025, false), "PORT 10,0,0,5,4,1");
    EXPECT_EQ(ftp::FormatPortCommand(0x0A000005u, 1025, true), "PORT 127,0,0,1,4,1");
    EXPECT_EQ(ftp::FormatPortCommand(0xC0A80102u, 65535, false), "PORT 192,168,1,2,255,255");
}

TEST(TransferSummary, SixtyFourBitCountsAndRate) {
    EXPECT_EQ(ftp::TransferSummary(0, 0), "0 bytes received/sent in 0 seconds");
    EXPECT_EQ(ftp::TransferSummary(1000, 500), "1000 bytes received/sent in 0 seconds (2000 Bytes/sec)");
    // 5 GiB in 10 s: a 32-bit count or product would wrap.
    EXPECT_EQ(ftp::TransferSummary(5368709120LL, 10000),
              "5368709120 bytes received/sent in 10 seconds (536870912 Bytes/sec)");
}

// A server that cuts every transfer a little further on moves bytes on every try; the file is still
// given up after a bounded number of tries, and the waits between idle tries follow their ladder.
TEST(RetrySchedule, TriesThatMoveBytesAreBoundedAndIdleOnesWaitLonger) {
    TFtpRetrySchedule moving;
    int tries = 0;
    while (moving.NextWaitMs(true) == 0 && tries < 1000)
        ++tries;
    EXPECT_EQ(tries, TFtpRetrySchedule::kMaxTries - 1);

    TFtpRetrySchedule idle;
    std::vector<int> waits;
    for (int wait = idle.NextWaitMs(false); wait >= 0 && waits.size() < 100; wait = idle.NextWaitMs(false))
        waits.push_back(wait);
    EXPECT_EQ(waits, (std::vector<int>{1000, 2000, 4000, 8000, 16000}));
}
