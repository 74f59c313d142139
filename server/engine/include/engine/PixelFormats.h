#pragma once
// The pixel formats the engine delivers frames in, by QuickTime FourCC.
#include <cstddef>
#include <cstdint>

#include "basemediatypes/PixelFormatProperties.h"
#include "engine/FourCC.h"

namespace vireo::engine {

// 8-bit B, G, R, A per pixel, full-range RGB; alpha is 255 where the source has none.
constexpr std::uint32_t kFormatBGRA = MakeFourCC("BGRA");
// 8-bit 4:2:2 Y'CbCr as U0 Y0 V0 Y1, video range (16-235), the source's matrix kept.
constexpr std::uint32_t kFormat2vuy = MakeFourCC("2vuy");
// 16-bit big-endian A, R, G, B per pixel, full-range RGB; alpha 65535 where the source has none.
constexpr std::uint32_t kFormatB64a = MakeFourCC("b64a");

bool IsSupportedFormat(std::uint32_t fourcc) noexcept;

// The properties word that describes a delivered format, or kPixelFormatProperties_Invalid.
basemediatypes::PixelFormatProperties FormatProperties(std::uint32_t fourcc) noexcept;

// Smallest row bytes for `width` pixels in `fourcc` ('2vuy' counts an odd width as the next even
// one); 0 for an unsupported format or a width below 1.
std::size_t MinimumRowBytes(std::uint32_t fourcc, std::int32_t width) noexcept;

}  // namespace vireo::engine
