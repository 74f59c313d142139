#include "Output.h"
#include "Pix/Pix.h"

namespace vireo::server::vout {

Status CheckFrame(Kino::IVideoFrame const& frame) {
    std::uint32_t const width = frame.GetWidth();
    std::uint32_t const height = frame.GetHeight();
    if (width == 0 || height == 0 || width > Pix::kMaxDimension || height > Pix::kMaxDimension) {
        return Status::Fail(kVOutBadFrame, 0, "frame size out of range");
    }
    std::uint64_t const minimumRow = Pix::MinimumRowBytes(frame.GetPixelFormat(), width);
    if (minimumRow == 0) {
        return Status::Fail(kVOutBadFrame, 0, "unknown pixel format");
    }
    if (frame.GetRowBytes() < minimumRow) {
        return Status::Fail(kVOutBadFrame, 0, "rows shorter than the format needs");
    }
    if (frame.GetPixels() == nullptr ||
        frame.GetDataSize() < static_cast<std::uint64_t>(frame.GetRowBytes()) * height) {
        return Status::Fail(kVOutBadFrame, 0, "fewer pixel bytes than the rows need");
    }
    return Status::Ok();
}

}  // namespace vireo::server::vout
