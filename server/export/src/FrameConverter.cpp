#include "FrameConverter.h"

#include <cstring>

#include "engine/FourCC.h"
#include "engine/PixelFormats.h"
#include "export/ExportErrors.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace vireo::server::exporting::detail {

namespace {

constexpr std::uint32_t kFourCCv210 = engine::MakeFourCC("v210");

int SwsMatrix(AVColorSpace space) {
    return space == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
}

std::uint16_t LoadBE16(std::uint8_t const* p) {
    return std::uint16_t((p[0] << 8) | p[1]);
}

std::uint32_t LoadLE32(std::uint8_t const* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// One 'v210' row: groups of six pixels in four little-endian words, three 10-bit values each
// (Cb Y Cr, Y Cb Y, Cr Y Cb, Y Cr Y), into 4:2:2 planes.
void UnpackV210Row(std::uint8_t const* row, int width, std::uint16_t* y, std::uint16_t* cb,
                   std::uint16_t* cr) {
    int const chroma = (width + 1) / 2;
    int yi = 0, ci = 0, ri = 0;
    for (int group = 0; yi < width || ci < chroma; ++group) {
        std::uint16_t values[12];
        for (int word = 0; word < 4; ++word) {
            std::uint32_t const v = LoadLE32(row + group * 16 + word * 4);
            values[word * 3] = std::uint16_t(v & 0x3FF);
            values[word * 3 + 1] = std::uint16_t((v >> 10) & 0x3FF);
            values[word * 3 + 2] = std::uint16_t((v >> 20) & 0x3FF);
        }
        static int const kOrder[12] = {1, 0, 2, 0, 1, 0, 2, 0, 1, 0, 2, 0};  // 0 Y, 1 Cb, 2 Cr
        for (int i = 0; i < 12; ++i) {
            if (kOrder[i] == 0 && yi < width) {
                y[yi++] = values[i];
            } else if (kOrder[i] == 1 && ci < chroma) {
                cb[ci++] = values[i];
            } else if (kOrder[i] == 2 && ri < chroma) {
                cr[ri++] = values[i];
            }
        }
    }
}

}  // namespace

std::uint64_t MinimumRowBytes(std::uint32_t fourcc, std::uint32_t width) {
    std::uint64_t const w = width;
    if (fourcc == engine::kFormatBGRA) {
        return 4 * w;
    }
    if (fourcc == engine::kFormat2vuy) {
        return 2 * (w + (w & 1));
    }
    if (fourcc == engine::kFormatB64a) {
        return 8 * w;
    }
    if (fourcc == kFourCCv210) {
        return (w + 47) / 48 * 128;
    }
    return 0;
}

FrameConverter::~FrameConverter() {
    sws_freeContext(mScaler);
    av_buffer_pool_uninit(&mPool);  // buffers still held free themselves when let go
}

std::int32_t FrameConverter::Allocate(AVFrame* out) {
    if (mPool == nullptr) {
        if (av_image_fill_linesizes(mLinesizes, mPlan.encoderFormat, mPlan.width) < 0) {
            return kErrEncoderFailed;
        }
        ptrdiff_t linesizes[4] = {};
        for (int i = 0; i < 4; ++i) {
            mLinesizes[i] = FFALIGN(mLinesizes[i], 64);
            linesizes[i] = mLinesizes[i];
        }
        std::size_t sizes[4] = {};
        if (av_image_fill_plane_sizes(sizes, mPlan.encoderFormat, mPlan.height, linesizes) < 0) {
            return kErrEncoderFailed;
        }
        std::size_t total = 0;
        for (int i = 0; i < 4; ++i) {
            mPlaneOffsets[i] = total;
            total += FFALIGN(sizes[i], 64);
        }
        mPool = av_buffer_pool_init(total + AV_INPUT_BUFFER_PADDING_SIZE, av_buffer_alloc);
        if (mPool == nullptr) {
            return kErrOutOfMemory;
        }
    }
    out->buf[0] = av_buffer_pool_get(mPool);
    if (out->buf[0] == nullptr) {
        return kErrOutOfMemory;
    }
    for (int i = 0; i < 4; ++i) {
        out->linesize[i] = mLinesizes[i];
        out->data[i] = mLinesizes[i] != 0 ? out->buf[0]->data + mPlaneOffsets[i] : nullptr;
    }
    out->extended_data = out->data;
    return kExportOK;
}

std::int32_t FrameConverter::Check(VideoFrameView const& frame) const {
    std::uint64_t const minimum = MinimumRowBytes(frame.fourcc, frame.width);
    if (minimum == 0 || frame.pixels == nullptr || frame.rowBytes < minimum || frame.height == 0) {
        return kErrFrameFormat;
    }
    if (std::int64_t(frame.width) != mPlan.width || std::int64_t(frame.height) != mPlan.height) {
        return kErrFrameMismatch;
    }
    // rowBytes and height are below 2^32: the product fits 64 bits.
    if (frame.dataSize < std::uint64_t(frame.rowBytes) * frame.height) {
        return kErrFrameFormat;
    }
    return kExportOK;
}

bool FrameConverter::IsSample(VideoFrameView const& frame) const {
    bool const sameFormat =
        (frame.fourcc == engine::kFormat2vuy &&
         mPlan.entry->family == VideoFamily::kUncompressed8) ||
        (frame.fourcc == kFourCCv210 && mPlan.entry->family == VideoFamily::kV210);
    return sameFormat && frame.rowBytes == MinimumRowBytes(frame.fourcc, frame.width);
}

std::int32_t FrameConverter::Scale(std::uint8_t const* const planes[4], int const strides[4],
                                   AVPixelFormat from, bool fromFullRange, AVFrame* out) {
    int const flags = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP;
    mScaler =
        sws_getCachedContext(mScaler, mPlan.width, mPlan.height, from, mPlan.width, mPlan.height,
                             mPlan.encoderFormat, flags, nullptr, nullptr, nullptr);
    if (mScaler == nullptr) {
        return kErrEncoderFailed;
    }
    if (from != mScalerFrom) {
        // Y'CbCr keeps its matrix (frames that do not say follow the picture's height, as the
        // decoding engine does); RGB is converted with the matrix the movie will be tagged with.
        int const* table = sws_getCoefficients(SwsMatrix(mPlan.colorSpace));
        bool const toFullRange = mPlan.colorRange == AVCOL_RANGE_JPEG;
        sws_setColorspaceDetails(mScaler, table, fromFullRange ? 1 : 0, table, toFullRange ? 1 : 0,
                                 0, 1 << 16, 1 << 16);
        mScalerFrom = from;
    }
    int const rows = sws_scale(mScaler, planes, strides, 0, mPlan.height, out->data, out->linesize);
    return rows == mPlan.height ? kExportOK : kErrEncoderFailed;
}

std::int32_t FrameConverter::Convert(VideoFrameView const& frame, AVFrame* out) {
    out->format = mPlan.encoderFormat;
    out->width = mPlan.width;
    out->height = mPlan.height;
    if (std::int32_t r = Allocate(out); r != kExportOK) {
        return r;
    }
    out->color_range = mPlan.colorRange;
    out->colorspace = mPlan.colorSpace;
    std::size_t const width = std::size_t(mPlan.width);
    std::int32_t result = kExportOK;
    if (frame.fourcc == engine::kFormatBGRA || frame.fourcc == engine::kFormat2vuy) {
        std::uint8_t const* planes[4] = {frame.pixels, nullptr, nullptr, nullptr};
        int const strides[4] = {int(frame.rowBytes), 0, 0, 0};
        bool const rgb = frame.fourcc == engine::kFormatBGRA;
        result = Scale(planes, strides, rgb ? AV_PIX_FMT_BGRA : AV_PIX_FMT_UYVY422, rgb, out);
    } else if (frame.fourcc == engine::kFormatB64a) {
        // Big-endian A, R, G, B into native-order R, G, B, A, which the scaler reads.
        mWork.resize(width * 4 * std::size_t(mPlan.height));
        for (std::size_t y = 0; y < std::size_t(mPlan.height); ++y) {
            std::uint8_t const* in = frame.pixels + y * frame.rowBytes;
            std::uint16_t* row = mWork.data() + y * width * 4;
            for (std::size_t x = 0; x < width; ++x, in += 8) {
                row[4 * x] = LoadBE16(in + 2);
                row[4 * x + 1] = LoadBE16(in + 4);
                row[4 * x + 2] = LoadBE16(in + 6);
                row[4 * x + 3] = LoadBE16(in);
            }
        }
        std::uint8_t const* planes[4] = {reinterpret_cast<std::uint8_t const*>(mWork.data()),
                                         nullptr, nullptr, nullptr};
        int const strides[4] = {int(width * 8), 0, 0, 0};
        result = Scale(planes, strides, AV_PIX_FMT_RGBA64, true, out);
    } else {
        // 'v210' is unpacked into 10-bit 4:2:2 planes: straight into the encoder's frame when
        // that is its format, otherwise into a work area the scaler reads.
        std::size_t const chroma = (width + 1) / 2;
        bool const direct = mPlan.encoderFormat == AV_PIX_FMT_YUV422P10;
        std::size_t const workStride = width + 2 * chroma;
        if (!direct) {
            mWork.resize(workStride * std::size_t(mPlan.height));
        }
        for (std::size_t y = 0; y < std::size_t(mPlan.height); ++y) {
            std::uint16_t *luma, *cb, *cr;
            if (direct) {
                luma = reinterpret_cast<std::uint16_t*>(out->data[0] + y * out->linesize[0]);
                cb = reinterpret_cast<std::uint16_t*>(out->data[1] + y * out->linesize[1]);
                cr = reinterpret_cast<std::uint16_t*>(out->data[2] + y * out->linesize[2]);
            } else {
                luma = mWork.data() + y * workStride;
                cb = luma + width;
                cr = cb + chroma;
            }
            UnpackV210Row(frame.pixels + y * frame.rowBytes, int(width), luma, cb, cr);
        }
        if (!direct) {
            auto* base = reinterpret_cast<std::uint8_t const*>(mWork.data());
            std::uint8_t const* planes[4] = {base, base + width * 2, base + (width + chroma) * 2,
                                             nullptr};
            int const stride = int(workStride * 2);
            int const strides[4] = {stride, stride, stride, 0};
            result = Scale(planes, strides, AV_PIX_FMT_YUV422P10, false, out);
        }
    }
    if (result == kExportOK && mPlan.invertAlpha) {
        InvertAlpha(out);
    }
    return result;
}

void FrameConverter::InvertAlpha(AVFrame* out) const {
    std::size_t const width = std::size_t(mPlan.width);
    for (int y = 0; y < mPlan.height; ++y) {
        switch (mPlan.encoderFormat) {
            case AV_PIX_FMT_YUVA444P10: {
                auto* a = reinterpret_cast<std::uint16_t*>(out->data[3] + y * out->linesize[3]);
                for (std::size_t x = 0; x < width; ++x) {
                    a[x] = std::uint16_t(1023 - a[x]);
                }
                break;
            }
            case AV_PIX_FMT_RGBA:
            case AV_PIX_FMT_ARGB: {
                std::uint8_t* row = out->data[0] + y * out->linesize[0];
                std::size_t const at = mPlan.encoderFormat == AV_PIX_FMT_RGBA ? 3 : 0;
                for (std::size_t x = 0; x < width; ++x) {
                    row[4 * x + at] = std::uint8_t(255 - row[4 * x + at]);
                }
                break;
            }
            case AV_PIX_FMT_RGBA64BE: {
                std::uint8_t* row = out->data[0] + y * out->linesize[0];
                for (std::size_t x = 0; x < width; ++x) {
                    row[8 * x + 6] = std::uint8_t(255 - row[8 * x + 6]);
                    row[8 * x + 7] = std::uint8_t(255 - row[8 * x + 7]);
                }
                break;
            }
            default:
                return;
        }
    }
}

}  // namespace vireo::server::exporting::detail
