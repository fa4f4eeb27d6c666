// Every fuzz target run over every file of its corpus (the starting inputs and the regression inputs that
// once found a fault), and over a few large inputs that would show a parser whose work grows
// faster than its input. A failed invariant check, an exception that escapes a target, or a
// sanitizer report (in the sanitizer build) fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "ReplayCheck.h"

#define MIRELO_FUZZ_TARGET(name) extern "C" int MireloFuzz_##name(const std::uint8_t* data, std::size_t size);
#include "FuzzTargets.inc"
#undef MIRELO_FUZZ_TARGET

namespace {

namespace fs = std::filesystem;

struct FuzzTarget {
    const char* Name;
    int (*Run)(const std::uint8_t*, std::size_t);
};

const FuzzTarget kTargets[] = {
#define MIRELO_FUZZ_TARGET(name) {#name, MireloFuzz_##name},
#include "FuzzTargets.inc"
#undef MIRELO_FUZZ_TARGET
};

// Names the target in test output instead of dumping its bytes.
void PrintTo(const FuzzTarget& target, std::ostream* out) { *out << target.Name; }

fs::path SourceDir() {
    const char* dir = std::getenv("MIRELO_SOURCE_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path(__FILE__).parent_path().parent_path().parent_path();
}

fs::path CorpusDir(const std::string& target) { return SourceDir() / "fuzz" / "corpus" / target; }

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs one input; returns the failure text, empty when the target was content.
std::string RunOne(const FuzzTarget& target, const std::string& input) {
    try {
        const int result = target.Run(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        return result == 0 ? std::string() : "returned " + std::to_string(result);
    } catch (const fuzz::CheckFailure& failure) {
        return std::string("check failed: ") + failure.what();
    } catch (const std::exception& e) {
        return std::string("exception escaped: ") + e.what();
    }
}

class CorpusReplay : public testing::TestWithParam<FuzzTarget> {};

TEST_P(CorpusReplay, EveryCorpusFilePasses) {
    const FuzzTarget& target = GetParam();
    const fs::path dir = CorpusDir(target.Name);
    ASSERT_TRUE(fs::is_directory(dir)) << "no corpus folder " << dir;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    // A starting corpus of one or two files explores nothing worth the name.
    EXPECT_GE(files.size(), 3u) << dir;
    for (const fs::path& file : files) {
        const std::string failure = RunOne(target, ReadFile(file));
        EXPECT_TRUE(failure.empty()) << target.Name << " on " << file.filename().string() << ": " << failure;
    }
}

// Large inputs of the shapes that make a careless parser quadratic: one endless line, endless
// separators, endless headers, endless edits. The run is bounded by the test's time-out.
TEST_P(CorpusReplay, LargeInputsPass) {
    const FuzzTarget& target = GetParam();
    const std::size_t kSize = 1 << 20;
    auto repeat = [kSize](const std::string& unit) {
        std::string text;
        text.reserve(kSize + unit.size());
        while (text.size() < kSize)
            text += unit;
        return text;
    };
    // Sections numbered 1, 2, 3, ... so that a catalogue reader takes every one of them.
    auto numbered = [kSize](const std::string& head, const std::string& tail) {
        std::string text;
        for (int k = 1; text.size() < kSize; ++k)
            text += head + std::to_string(k) + tail;
        return text;
    };
    const std::vector<std::string> inputs = {
        repeat("a"),
        repeat("|"),
        repeat("\n"),
        repeat("\b"),
        std::string("\x80\x00", 2) + repeat("x\b\t"),
        repeat("227 (1,2,3,4,5,6)\r\n"),
        repeat("[Formulario 1]\nnome=x\n"),
        repeat("[componente 1]\ninstalacao=a.exe|99999999|/d/\n"),
        repeat("Regra\nTipo=R\nReg=SOFTWARE\\x\\y\n\nValor=1\nArquivo=s.exe\n\n"),
        repeat("[Software\\\\A] 1\n\"v\"=hex:01,\\\n"),
        std::string("\x03") + repeat(std::string("\x05\x00\x00\x03\xff", 5)),
        numbered("[Formulario ", "]\nnome=x\ninstalacoes=a|/a/|b|/b/\nchave=SOFTWARE\\x\\v\n"),
        numbered("[componente ", "]\ninstalacao=../x.exe|3|/d/\ndisponibilizacao=01/01/2024\ntamanho=12\n"),
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string failure = RunOne(target, inputs[i]);
        EXPECT_TRUE(failure.empty()) << target.Name << " on large input " << i << ": " << failure;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<FuzzTarget>& info) { return std::string(info.param.Name); });

// Every corpus folder belongs to a target, so a renamed target cannot leave its corpus unplayed.
TEST(CorpusReplayLayout, EveryCorpusFolderHasATarget) {
    std::set<std::string> names;
    for (const FuzzTarget& target : kTargets)
        names.insert(target.Name);
    const fs::path corpora = SourceDir() / "fuzz" / "corpus";
    ASSERT_TRUE(fs::is_directory(corpora));
    for (const fs::directory_entry& entry : fs::directory_iterator(corpora))
        EXPECT_TRUE(names.count(entry.path().filename().string()) == 1)
            << "corpus folder without a target: " << entry.path();
}

// A failed check must reach the driver as a failure, not pass unnoticed.
TEST(CorpusReplayLayout, AFailedCheckIsReported) {
    const FuzzTarget failing{"failing", [](const std::uint8_t*, std::size_t size) {
                                 FUZZ_CHECK(size == 0);
                                 return 0;
                             }};
    EXPECT_EQ(RunOne(failing, ""), "");
    EXPECT_NE(RunOne(failing, "x").find("check failed: size == 0"), std::string::npos);
}

}  // namespace
