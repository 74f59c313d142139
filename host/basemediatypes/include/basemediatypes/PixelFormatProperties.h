#pragma once
#include <cstdint>

namespace basemediatypes {

// A 32-bit word describing a pixel format. Bits:
//   0-7   bits per component (8, 10, 16, ...)
//   8-11  component layout: 0 packed, 1 planar, 2 biplanar
//   12-15 chroma subsampling: 0 4:4:4, 1 4:2:2, 2 4:2:0
//   16    has alpha
//   17    YUV (clear: RGB)
//   18    full range (clear: video range)
//   31    invalid: no valid properties
using PixelFormatProperties = std::uint32_t;

constexpr PixelFormatProperties kPixelFormatProperties_Invalid = 0x80000000u;

constexpr PixelFormatProperties kPixelFormatProperties_BitsMask = 0xFFu;
constexpr PixelFormatProperties kPixelFormatProperties_Planar = 1u << 8;
constexpr PixelFormatProperties kPixelFormatProperties_Biplanar = 2u << 8;
constexpr PixelFormatProperties kPixelFormatProperties_Chroma422 = 1u << 12;
constexpr PixelFormatProperties kPixelFormatProperties_Chroma420 = 2u << 12;
constexpr PixelFormatProperties kPixelFormatProperties_Alpha = 1u << 16;
constexpr PixelFormatProperties kPixelFormatProperties_YUV = 1u << 17;
constexpr PixelFormatProperties kPixelFormatProperties_FullRange = 1u << 18;

}  // namespace basemediatypes
