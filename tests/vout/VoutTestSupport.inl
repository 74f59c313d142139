#pragma once
#include "Pix/Pix.h"

namespace vireo::test::vout {

template <class Fill>
InterfaceRef<Kino::IVideoFrame> MakeFrame(std::uint32_t width, std::uint32_t height,
                                          std::uint32_t fourcc,
                                          basemediatypes::PixelAspectRatio par, Fill fill) {
    InterfaceRef<Kino::IWritableVideoFrame> frame =
        Pix::CreateVideoFrame(width, height, fourcc, 0, par, Kino::kFieldOrder_Progressive);
    if (!frame) {
        return InterfaceRef<Kino::IVideoFrame>();
    }
    auto* pixels = static_cast<std::uint8_t*>(frame->GetMutablePixels());
    for (std::uint32_t y = 0; y < height; ++y) {
        fill(pixels + static_cast<std::size_t>(y) * frame->GetRowBytes(), y);
    }
    return InterfaceRef<Kino::IVideoFrame>(frame.get());
}

}  // namespace vireo::test::vout
