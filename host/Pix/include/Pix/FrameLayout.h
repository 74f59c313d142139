#pragma once
// The layout of a video frame in shared memory: this header, then the pixels.
//
// All fields are in the byte order of the machine (both processes run on the same one). The
// reader checks every field against the size of the bytes it received before it uses any.
#include <cstdint>

namespace Pix {

constexpr std::uint32_t kFrameMagic = 0x4D465256u;  // "VRFM" in memory order
constexpr std::uint32_t kFrameVersion = 1;
// Offset of the pixels from the start of the header in frames Pix makes: the header's size,
// which keeps the pixels 64-byte aligned in a page-aligned block.
constexpr std::uint64_t kFrameDataOffset = 64;

struct FrameHeader {
    std::uint32_t magic;         // kFrameMagic
    std::uint32_t version;       // kFrameVersion
    std::uint32_t headerSize;    // sizeof(FrameHeader) for version 1
    std::uint32_t width;         // 1 .. kMaxDimension
    std::uint32_t height;        // 1 .. kMaxDimension
    std::uint32_t rowBytes;      // >= MinimumRowBytes(fourcc, width)
    std::uint32_t fourcc;        // a format MinimumRowBytes knows
    std::uint32_t properties;    // basemediatypes::PixelFormatProperties
    std::uint32_t parNumerator;  // both 0 (unknown) or both non-zero
    std::uint32_t parDenominator;
    std::int32_t fieldOrder;   // Kino::kFieldOrder_*
    std::uint32_t reserved;    // 0
    std::uint64_t dataOffset;  // from the start of the header; >= headerSize
    std::uint64_t dataSize;    // >= rowBytes * height; dataOffset + dataSize <= bytes received
};
static_assert(sizeof(FrameHeader) == 64, "the frame header is part of the shared layout");

}  // namespace Pix
