#include "PixelConverter.h"

#include "engine/Errors.h"
#include "engine/PixelFormats.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vireo::engine::detail {

namespace {

AVPixelFormat PlainTwin(AVPixelFormat format, bool& full) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            full = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            full = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            full = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            full = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            full = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

int MatrixOf(AVColorSpace space, int height) {
    switch (space) {
        case AVCOL_SPC_BT709:
            return SWS_CS_ITU709;
        case AVCOL_SPC_FCC:
            return SWS_CS_FCC;
        case AVCOL_SPC_SMPTE240M:
            return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return SWS_CS_BT2020;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
            return SWS_CS_ITU601;
        default:
            return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

}  // namespace

SourceDescription DescribeSource(AVFrame const* frame) {
    SourceDescription description;
    bool full = frame->color_range == AVCOL_RANGE_JPEG;
    description.format = PlainTwin(AVPixelFormat(frame->format), full);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(description.format);
    // RGB and grey-with-alpha sources carry full-range values whatever the frame says.
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_RGB))
        full = true;
    description.fullRange = full;
    description.matrix = MatrixOf(frame->colorspace, frame->height);
    return description;
}

AVPixelFormat OutputFormatOf(std::uint32_t fourcc, bool sourceHasAlpha) {
    if (fourcc == kFormatBGRA)
        return AV_PIX_FMT_BGRA;
    if (fourcc == kFormat2vuy)
        return AV_PIX_FMT_UYVY422;
    if (fourcc == kFormatB64a)
        return sourceHasAlpha ? AV_PIX_FMT_GBRAP16 : AV_PIX_FMT_GBRP16;
    return AV_PIX_FMT_NONE;
}

void PackArgb64(const std::uint16_t* g, const std::uint16_t* b, const std::uint16_t* r,
                const std::uint16_t* alpha, std::size_t stride, std::uint8_t* destination,
                std::size_t rowBytes, int width, int height) {
    auto put = [](std::uint8_t* p, std::uint16_t v) {
        p[0] = std::uint8_t(v >> 8);
        p[1] = std::uint8_t(v);
    };
    for (int y = 0; y < height; ++y) {
        std::size_t row = std::size_t(y) * stride;
        std::uint8_t* p = destination + std::size_t(y) * rowBytes;
        for (int x = 0; x < width; ++x, p += 8) {
            std::size_t i = row + std::size_t(x);
            put(p, alpha ? alpha[i] : std::uint16_t(0xFFFF));
            put(p + 2, r[i]);
            put(p + 4, g[i]);
            put(p + 6, b[i]);
        }
    }
}

bool PixelConverter::Key::operator==(Key const& o) const noexcept {
    return sourceWidth == o.sourceWidth && sourceHeight == o.sourceHeight &&
           sourceFormat == o.sourceFormat && matrix == o.matrix && fullRange == o.fullRange &&
           width == o.width && height == o.height && format == o.format;
}

std::int32_t PixelConverter::Convert(AVFrame const* source, std::uint32_t fourcc,
                                     std::uint8_t* destination, std::size_t rowBytes, int width,
                                     int height) {
    SourceDescription described = DescribeSource(source);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(described.format);
    bool alpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
    AVPixelFormat output = OutputFormatOf(fourcc, alpha);
    if (output == AV_PIX_FMT_NONE)
        return kErrUnsupportedPixelFormat;
    if (rowBytes > std::size_t(INT32_MAX))
        return kErrBadDestination;
    Key key{source->width,       source->height, described.format, described.matrix,
            described.fullRange, width,          height,           output};
    if (!mContext || !(key == mKey)) {
        bool scaling = width != key.sourceWidth || height != key.sourceHeight;
        mContext.reset(sws_getContext(key.sourceWidth, key.sourceHeight, key.sourceFormat, width,
                                      height, output, scaling ? kScalingFlags : kSameSizeFlags,
                                      nullptr, nullptr, nullptr));
        if (!mContext)
            return kErrConversionFailed;
        const int* coefficients = sws_getCoefficients(key.matrix);
        // RGB output is full range; '2vuy' stays in video range with the source's matrix.
        bool outputFull = output != AV_PIX_FMT_UYVY422;
        sws_setColorspaceDetails(mContext.get(), coefficients, key.fullRange ? 1 : 0, coefficients,
                                 outputFull ? 1 : 0, 0, 1 << 16, 1 << 16);
        mKey = key;
    }
    if (fourcc != kFormatB64a) {
        std::uint8_t* planes[4] = {destination, nullptr, nullptr, nullptr};
        int strides[4] = {int(rowBytes), 0, 0, 0};
        int rows = sws_scale(mContext.get(), source->data, source->linesize, 0, source->height,
                             planes, strides);
        return rows > 0 ? kOK : kErrConversionFailed;
    }
    // 'b64a': planar 16-bit RGB first, then packed into the destination.
    std::size_t plane = std::size_t(width) * std::size_t(height);
    mDeep.resize(plane * (alpha ? 4 : 3));
    std::uint16_t* g = mDeep.data();
    std::uint16_t* b = g + plane;
    std::uint16_t* r = b + plane;
    std::uint16_t* a = alpha ? r + plane : nullptr;
    std::uint8_t* planes[4] = {
        reinterpret_cast<std::uint8_t*>(g), reinterpret_cast<std::uint8_t*>(b),
        reinterpret_cast<std::uint8_t*>(r), reinterpret_cast<std::uint8_t*>(a)};
    int stride = width * 2;
    int strides[4] = {stride, stride, stride, alpha ? stride : 0};
    int rows = sws_scale(mContext.get(), source->data, source->linesize, 0, source->height, planes,
                         strides);
    if (rows <= 0)
        return kErrConversionFailed;
    PackArgb64(g, b, r, a, std::size_t(width), destination, rowBytes, width, height);
    return kOK;
}

void PixelConverter::Release() noexcept {
    mContext.reset();
    mKey = Key{};
    mDeep = std::vector<std::uint16_t>();
}

}  // namespace vireo::engine::detail
