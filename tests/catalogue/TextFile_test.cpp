#include "catalogue/TextFile.h"

#include <gtest/gtest.h>

#include "TempDir.h"

using namespace catalogue;

TEST(SplitLines, ReadsCrLfAndLfAlike) {
    EXPECT_EQ(SplitLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
    // The collection file's carriage-return line reads as an empty line.
    EXPECT_EQ(SplitLines("x\r\n\r\r\n"), (std::vector<std::string>{"x", ""}));
    EXPECT_EQ(SplitLines("meio\rlinha\n"), (std::vector<std::string>{"meio\rlinha"}));
    EXPECT_EQ(SplitLines(std::string_view("a\0b\n", 4)),
              (std::vector<std::string>{std::string("a\0b", 3)}));
    EXPECT_TRUE(SplitLines("").empty());
}

TEST(TextFileWriter, WritesCrLfLinesAndEmptiesAnOldFile) {
    TempDir dir;
    dir.Write("f.txt", "conteudo antigo que deve sumir");
    TextFileWriter writer(dir / "f.txt");
    writer.WriteLine("um");
    writer.WriteLine("");
    writer.WriteLine("\r");
    EXPECT_EQ(dir.Read("f.txt"), "um\r\n\r\n\r\r\n");
    writer.Close();
    writer.Close();
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_THROW(writer.WriteLine("tarde"), std::logic_error);
    EXPECT_EQ(ReadTextFile(dir / "f.txt"), "um\r\n\r\n\r\r\n");
}

TEST(TextFile, FailuresNameTheFileInPortuguese) {
    TempDir dir;
    try {
        ReadTextFile(dir / "ausente.txt");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()), "Não foi possível ler o arquivo \"" + dir / "ausente.txt" +
                                             "\": arquivo ou pasta não encontrado.");
    }
    EXPECT_THROW(TextFileWriter(dir / "sem/pasta.txt"), EInOutError);
    EXPECT_FALSE(FileExists(dir / "ausente.txt"));
    EXPECT_TRUE(FileExists(dir.Path()));
}
