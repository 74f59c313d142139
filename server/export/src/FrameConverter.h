#pragma once
// Submitted frames ('BGRA', '2vuy', 'b64a', 'v210' in the Pix layout) into the encoder's pixel
// format, reading the submitted bytes in place.
#include <cstdint>
#include <vector>

#include "Plan.h"
#include "engine/FFmpegHandles.h"
#include "export/ExportService.h"

namespace vireo::server::exporting::detail {

// The smallest row of `width` pixels in `fourcc` (0 for a format we do not read).
std::uint64_t MinimumRowBytes(std::uint32_t fourcc, std::uint32_t width);

class FrameConverter {
  public:
    explicit FrameConverter(VideoPlan const& plan) : mPlan(plan) {}
    ~FrameConverter();
    FrameConverter(FrameConverter const&) = delete;
    FrameConverter& operator=(FrameConverter const&) = delete;

    // Checks the frame's format, size and layout: kExportOK, kErrFrameFormat or
    // kErrFrameMismatch.
    std::int32_t Check(VideoFrameView const& frame) const;

    // True when the frame's bytes are already the codec's sample ('2vuy' into '2vuy', 'v210'
    // into 'v210', rows without padding), so that they go to the file as they are.
    bool IsSample(VideoFrameView const& frame) const;

    // Converts a checked frame into `out`, which gets buffers in the encoder's format.
    std::int32_t Convert(VideoFrameView const& frame, AVFrame* out);

  private:
    // Gives `out` buffers in the encoder's format from a pool, so that large pictures are not
    // allocated (and their pages faulted in) afresh for every frame.
    std::int32_t Allocate(AVFrame* out);
    std::int32_t Scale(std::uint8_t const* const planes[4], int const strides[4],
                       AVPixelFormat from, bool fromFullRange, AVFrame* out);
    void InvertAlpha(AVFrame* out) const;

    VideoPlan const& mPlan;
    SwsContext* mScaler = nullptr;  // kept from frame to frame
    AVBufferPool* mPool = nullptr;
    int mLinesizes[4] = {};
    std::size_t mPlaneOffsets[4] = {};
    AVPixelFormat mScalerFrom = AV_PIX_FMT_NONE;
    std::vector<std::uint16_t> mWork;  // unpacked 'b64a' or 'v210' rows
};

}  // namespace vireo::server::exporting::detail
