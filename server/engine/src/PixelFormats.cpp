#include "engine/PixelFormats.h"

namespace vireo::engine {

using namespace basemediatypes;

bool IsSupportedFormat(std::uint32_t fourcc) noexcept {
    return fourcc == kFormatBGRA || fourcc == kFormat2vuy || fourcc == kFormatB64a;
}

PixelFormatProperties FormatProperties(std::uint32_t fourcc) noexcept {
    if (fourcc == kFormatBGRA)
        return 8 | kPixelFormatProperties_Alpha | kPixelFormatProperties_FullRange;
    if (fourcc == kFormat2vuy)
        return 8 | kPixelFormatProperties_Chroma422 | kPixelFormatProperties_YUV;
    if (fourcc == kFormatB64a)
        return 16 | kPixelFormatProperties_Alpha | kPixelFormatProperties_FullRange;
    return kPixelFormatProperties_Invalid;
}

std::size_t MinimumRowBytes(std::uint32_t fourcc, std::int32_t width) noexcept {
    if (width < 1)
        return 0;
    auto w = std::size_t(width);
    if (fourcc == kFormatBGRA)
        return 4 * w;
    if (fourcc == kFormat2vuy)
        return 2 * (w + (w & 1));
    if (fourcc == kFormatB64a)
        return 8 * w;
    return 0;
}

}  // namespace vireo::engine
