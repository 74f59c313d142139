#pragma once
// Turning frames of the formats the server delivers into PNG files.
#include <cstdint>
#include <string>

namespace vireo::cli {

struct FrameView {
    std::uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    std::size_t rowBytes = 0;
    const std::uint8_t* pixels = nullptr;
};

// Writes the frame as PNG: 8-bit RGBA for 'BGRA' and '2vuy' (BT.709 video range), 16-bit RGBA
// for 'b64a'. False with `error` set when the format is not one of these or writing fails.
bool WritePNG(FrameView const& frame, std::string const& path, std::string& error);

}  // namespace vireo::cli
