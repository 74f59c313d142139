#pragma once
// Four-character codes as 32-bit words, first character in the most significant byte
// ('avc1' == 0x61766331), the way QuickTime writes them.
#include <cstdint>
#include <string>

namespace vireo::engine {

constexpr std::uint32_t MakeFourCC(char a, char b, char c, char d) noexcept {
    return (std::uint32_t(std::uint8_t(a)) << 24) | (std::uint32_t(std::uint8_t(b)) << 16) |
           (std::uint32_t(std::uint8_t(c)) << 8) | std::uint32_t(std::uint8_t(d));
}

constexpr std::uint32_t MakeFourCC(const char (&text)[5]) noexcept {
    return MakeFourCC(text[0], text[1], text[2], text[3]);
}

// The four characters; bytes outside printable ASCII are shown as '?'.
std::string FourCCToString(std::uint32_t fourcc);

}  // namespace vireo::engine
