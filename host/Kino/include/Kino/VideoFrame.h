#pragma once
// The video frame interface: one picture of packed pixels with its format and geometry.
//
// A frame is immutable once made, except through IWritableVideoFrame by the one who made it.
// Frames are reference-counted (OrbUnknown) and held through InterfaceRef; any thread may read
// a frame, and the last Release may come from any thread.
#include <cstdint>

#include "Orb/OrbUnknown.h"
#include "basekit/utility/Guid.h"
#include "basemediatypes/PixelAspectRatio.h"
#include "basemediatypes/PixelFormatProperties.h"

namespace Kino {

// A four-character code as an unsigned 32-bit value, first character in the high byte:
// MakeFourCC("BGRA") == 0x42475241.
constexpr std::uint32_t MakeFourCC(const char (&code)[5]) noexcept {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// Pixel formats that frames carry.
constexpr std::uint32_t kPixelFormat_BGRA = MakeFourCC("BGRA");  // 8-bit B, G, R, A
constexpr std::uint32_t kPixelFormat_2vuy = MakeFourCC("2vuy");  // 8-bit 4:2:2 Cb Y0 Cr Y1
constexpr std::uint32_t kPixelFormat_b64a = MakeFourCC("b64a");  // 16-bit big-endian A, R, G, B
constexpr std::uint32_t kPixelFormat_v210 = MakeFourCC("v210");  // 10-bit 4:2:2, 48 px / 128 B

// Field order of a frame.
constexpr std::int32_t kFieldOrder_Progressive = 0;
constexpr std::int32_t kFieldOrder_UpperFirst = 1;
constexpr std::int32_t kFieldOrder_LowerFirst = 2;

class IVideoFrame : public OrbUnknown {
  public:
    static constexpr basekit::utility::Guid kIID{"{77B9E3E8-C4CB-40CC-AFEF-F29EF3D90F8E}"};

    // Pixels per row and rows.
    virtual std::uint32_t GetWidth() const = 0;
    virtual std::uint32_t GetHeight() const = 0;
    // Bytes from the start of one row to the start of the next (at least the format's minimum).
    virtual std::uint32_t GetRowBytes() const = 0;
    // The pixel format's FourCC and its properties.
    virtual std::uint32_t GetPixelFormat() const = 0;
    virtual basemediatypes::PixelFormatProperties GetPixelFormatProperties() const = 0;
    virtual basemediatypes::PixelAspectRatio GetPixelAspectRatio() const = 0;
    // One of the kFieldOrder_ values (others pass through unchanged).
    virtual std::int32_t GetFieldOrder() const = 0;
    // The first row; GetDataSize bytes are readable from there (at least rowBytes * height).
    // Valid while the frame lives.
    virtual const void* GetPixels() const = 0;
    virtual std::uint64_t GetDataSize() const = 0;
};

// A frame whose pixels its maker may still write, for example a converter that writes straight
// into shared memory before the frame is published.
class IWritableVideoFrame : public IVideoFrame {
  public:
    static constexpr basekit::utility::Guid kIID{"{E7D7E78A-81D0-4CB5-91D0-6FEF4349DF80}"};

    virtual void* GetMutablePixels() = 0;
};

}  // namespace Kino
