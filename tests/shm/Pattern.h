#pragma once
// A byte pattern that depends on a seed and on every position, so that a shifted, truncated or
// stale copy never matches.
#include <cstdint>
#include <cstring>

namespace vireo::test::shm {

inline std::uint64_t PatternWord(std::uint64_t seed, std::uint64_t index) {
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + index + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline void FillPattern(void* data, std::uint64_t size, std::uint64_t seed) {
    auto* out = static_cast<std::uint8_t*>(data);
    std::uint64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t const word = PatternWord(seed, i / 8);
        std::memcpy(out + i, &word, 8);
    }
    if (i < size) {
        std::uint64_t const word = PatternWord(seed, i / 8);
        std::memcpy(out + i, &word, size - i);
    }
}

inline bool CheckPattern(const void* data, std::uint64_t size, std::uint64_t seed) {
    auto const* in = static_cast<const std::uint8_t*>(data);
    std::uint64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t const word = PatternWord(seed, i / 8);
        if (std::memcmp(in + i, &word, 8) != 0) {
            return false;
        }
    }
    if (i < size) {
        std::uint64_t const word = PatternWord(seed, i / 8);
        return std::memcmp(in + i, &word, size - i) == 0;
    }
    return true;
}

}  // namespace vireo::test::shm
