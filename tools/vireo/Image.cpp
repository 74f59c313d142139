#include "Image.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace vireo::cli {

namespace {

constexpr std::uint32_t FourCC(char a, char b, char c, char d) {
    return (static_cast<std::uint32_t>(a) << 24) | (static_cast<std::uint32_t>(b) << 16) |
           (static_cast<std::uint32_t>(c) << 8) | static_cast<std::uint32_t>(d);
}

std::uint8_t Clamp8(int v) {
    return static_cast<std::uint8_t>(std::min(255, std::max(0, v)));
}

// One row of 8-bit RGBA from a row of the frame.
void RowToRGBA8(FrameView const& f, int y, std::uint8_t* out) {
    const std::uint8_t* row = f.pixels + static_cast<std::size_t>(y) * f.rowBytes;
    if (f.fourcc == FourCC('B', 'G', 'R', 'A')) {
        for (int x = 0; x < f.width; ++x) {
            out[4 * x + 0] = row[4 * x + 2];
            out[4 * x + 1] = row[4 * x + 1];
            out[4 * x + 2] = row[4 * x + 0];
            out[4 * x + 3] = row[4 * x + 3];
        }
        return;
    }
    // '2vuy': U0 Y0 V0 Y1 per pixel pair, BT.709 video range.
    for (int x = 0; x < f.width; ++x) {
        const std::uint8_t* pair = row + 4 * (x / 2);
        int const u = pair[0] - 128;
        int const y8 = pair[x % 2 == 0 ? 1 : 3] - 16;
        int const v = pair[2] - 128;
        int const c = 298 * y8;
        out[4 * x + 0] = Clamp8((c + 459 * v + 128) >> 8);
        out[4 * x + 1] = Clamp8((c - 55 * u - 136 * v + 128) >> 8);
        out[4 * x + 2] = Clamp8((c + 541 * u + 128) >> 8);
        out[4 * x + 3] = 255;
    }
}

// One row of 16-bit big-endian RGBA (PNG's byte order) from a 'b64a' row (big-endian ARGB).
void RowToRGBA16(FrameView const& f, int y, std::uint8_t* out) {
    const std::uint8_t* row = f.pixels + static_cast<std::size_t>(y) * f.rowBytes;
    for (int x = 0; x < f.width; ++x) {
        const std::uint8_t* p = row + 8 * x;
        std::uint8_t* q = out + 8 * x;
        q[0] = p[2], q[1] = p[3];  // R
        q[2] = p[4], q[3] = p[5];  // G
        q[4] = p[6], q[5] = p[7];  // B
        q[6] = p[0], q[7] = p[1];  // A
    }
}

}  // namespace

bool WritePNG(FrameView const& f, std::string const& path, std::string& error) {
    bool const deep = f.fourcc == FourCC('b', '6', '4', 'a');
    if (!deep && f.fourcc != FourCC('B', 'G', 'R', 'A') && f.fourcc != FourCC('2', 'v', 'u', 'y')) {
        error = "this pixel format cannot be written as PNG";
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) {
        error = "cannot create the file";
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        error = "out of memory";
        return false;
    }
    std::vector<std::uint8_t> row(static_cast<std::size_t>(f.width) * (deep ? 8 : 4));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = "writing the PNG failed";
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(f.width), static_cast<png_uint_32>(f.height),
                 deep ? 16 : 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < f.height; ++y) {
        if (deep) {
            RowToRGBA16(f, y, row.data());
        } else {
            RowToRGBA8(f, y, row.data());
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace vireo::cli
