#pragma once
// Converts decoded frames into the delivered pixel formats with libswscale, writing straight into
// the caller's buffer (for the server: the shared block the frame is published in).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/FFmpegHandles.h"

namespace vireo::engine::detail {

// How a decoded frame is read by the converter: FFmpeg's full-range "J" formats become their
// plain twins with the range given explicitly, and the colour matrix is the frame's own (BT.709
// for pictures at least 720 lines high that do not say, BT.601 below).
struct SourceDescription {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int matrix = SWS_CS_ITU601;  // SWS_CS_* of libswscale
    bool fullRange = false;
};
SourceDescription DescribeSource(AVFrame const* frame);

// libswscale flags: bilinear chroma interpolation at the picture's own size, bicubic when the
// picture is scaled.
constexpr int kSameSizeFlags = SWS_BILINEAR;
constexpr int kScalingFlags = SWS_BICUBIC;

class PixelConverter {
  public:
    std::int32_t Convert(AVFrame const* source, std::uint32_t fourcc, std::uint8_t* destination,
                         std::size_t rowBytes, int width, int height);
    void Release() noexcept;

  private:
    struct Key {
        int sourceWidth = 0, sourceHeight = 0;
        AVPixelFormat sourceFormat = AV_PIX_FMT_NONE;
        int matrix = 0;
        bool fullRange = false;
        int width = 0, height = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE;
        bool operator==(Key const& other) const noexcept;
    };
    SwsPtr mContext;
    Key mKey;
    std::vector<std::uint16_t> mDeep;  // planar 16-bit G, B, R (, A) on the way to 'b64a'
};

// The libswscale output format for a delivered FourCC, or AV_PIX_FMT_NONE. 'b64a' goes through
// planar 16-bit RGB (GBRP16, or GBRAP16 when the source has alpha), which libswscale writes
// several times faster than packed 16-bit RGBA, and is then packed into the destination.
AVPixelFormat OutputFormatOf(std::uint32_t fourcc, bool sourceHasAlpha);
// Packs native-endian planar G, B, R (and A, or opaque when `alpha` is null) planes of
// `width` x `height` samples with `stride` samples per row into big-endian A, R, G, B pixels.
void PackArgb64(const std::uint16_t* g, const std::uint16_t* b, const std::uint16_t* r,
                const std::uint16_t* alpha, std::size_t stride, std::uint8_t* destination,
                std::size_t rowBytes, int width, int height);

}  // namespace vireo::engine::detail
