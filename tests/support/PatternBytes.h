// Contents for the files and streams that tests move: bytes that look random, so that a lost,
// repeated or reordered block cannot pass unnoticed, and that are the same for the same size and
// starting value. Header-only; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string PatternBytes(std::size_t size, std::uint32_t start = 0) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u ^ start;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state);
    }
    return bytes;
}
