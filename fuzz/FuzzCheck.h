// The invariant checks of the fuzz targets. A failed check is a finding like a crash: under
// libFuzzer it prints the condition and aborts, so libFuzzer keeps the input; in the GoogleTest
// replay (tests/fuzz) it throws, and the replay reports the target and the corpus file. Each of
// the two builds links its own CheckFailed. Any thread.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace fuzz {

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

// Cuts `text` at the first `separator` into what lies before and after it; without one, all of
// it is the first part. Lets a hand-written input hold two files (a catalogue and a registry, say)
// in readable form.
inline std::pair<std::string_view, std::string_view> SplitAt(std::string_view text,
                                                             std::string_view separator) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos)
        return {text, std::string_view()};
    return {text.substr(0, at), text.substr(at + separator.size())};
}

// The separator of two-part inputs: a line holding only "----".
inline constexpr std::string_view kPartSeparator = "\n----\n";

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::CheckFailed(#condition, __FILE__, __LINE__))
