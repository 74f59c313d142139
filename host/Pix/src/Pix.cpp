#include "Pix/Pix.h"

#include <cstring>

#include "Frames.h"
#include "Pix/FrameLayout.h"

namespace Pix {

using detail::FrameInfo;

namespace {

std::uint64_t RoundUp64(std::uint64_t value) {
    return (value + 63) / 64 * 64;
}

// Checks a frame description made by a caller and completes its row bytes and data size.
bool DescribeNewFrame(FrameInfo& info, std::uint32_t rowBytes) {
    std::uint64_t const minimum = MinimumRowBytes(info.fourcc, info.width);
    if (minimum == 0 || info.height == 0 || info.width > kMaxDimension ||
        info.height > kMaxDimension) {
        return false;
    }
    std::uint64_t const row = rowBytes == 0 ? RoundUp64(minimum) : rowBytes;
    if (row < minimum || row > UINT32_MAX) {
        return false;
    }
    info.rowBytes = static_cast<std::uint32_t>(row);
    info.dataSize = row * info.height;
    return true;
}

FrameInfo MakeInfo(std::uint32_t width, std::uint32_t height, std::uint32_t fourcc,
                   basemediatypes::PixelFormatProperties properties,
                   basemediatypes::PixelAspectRatio par, std::int32_t fieldOrder) {
    FrameInfo info;
    info.width = width;
    info.height = height;
    info.fourcc = fourcc;
    info.properties = properties;
    info.par = par;
    info.fieldOrder = fieldOrder;
    return info;
}

void WriteHeader(std::uint8_t* at, FrameInfo const& info) {
    FrameHeader header{};
    header.magic = kFrameMagic;
    header.version = kFrameVersion;
    header.headerSize = sizeof(FrameHeader);
    header.width = info.width;
    header.height = info.height;
    header.rowBytes = info.rowBytes;
    header.fourcc = info.fourcc;
    header.properties = info.properties;
    header.parNumerator = info.par.GetNumerator();
    header.parDenominator = info.par.GetDenominator();
    header.fieldOrder = info.fieldOrder;
    header.dataOffset = kFrameDataOffset;
    header.dataSize = info.dataSize;
    std::memcpy(at, &header, sizeof(header));
}

// Validates a header copied out of `size` received bytes; fills `info` when it is sound.
bool CheckHeader(FrameHeader const& h, std::uint64_t size, FrameInfo& info) {
    if (h.magic != kFrameMagic || h.version != kFrameVersion ||
        h.headerSize < sizeof(FrameHeader) || h.headerSize > size || h.reserved != 0) {
        return false;
    }
    if (h.width == 0 || h.height == 0 || h.width > kMaxDimension || h.height > kMaxDimension) {
        return false;
    }
    std::uint64_t const minimum = MinimumRowBytes(h.fourcc, h.width);
    if (minimum == 0 || h.rowBytes < minimum) {
        return false;
    }
    if ((h.parNumerator == 0) != (h.parDenominator == 0)) {
        return false;
    }
    if (h.fieldOrder < Kino::kFieldOrder_Progressive ||
        h.fieldOrder > Kino::kFieldOrder_LowerFirst) {
        return false;
    }
    // rowBytes < 2^32 and height <= 2^15: the product cannot overflow.
    std::uint64_t const pixels = std::uint64_t{h.rowBytes} * h.height;
    if (h.dataOffset < h.headerSize || h.dataOffset > size || h.dataSize > size - h.dataOffset ||
        h.dataSize < pixels) {
        return false;
    }
    info =
        MakeInfo(h.width, h.height, h.fourcc, h.properties,
                 basemediatypes::PixelAspectRatio(h.parNumerator, h.parDenominator), h.fieldOrder);
    info.rowBytes = h.rowBytes;
    info.dataSize = h.dataSize;
    return true;
}

}  // namespace

std::uint64_t MinimumRowBytes(std::uint32_t fourcc, std::uint32_t width) {
    if (width == 0) {
        return 0;
    }
    std::uint64_t const w = width;
    switch (fourcc) {
        case Kino::kPixelFormat_BGRA:
            return 4 * w;
        case Kino::kPixelFormat_2vuy:
            return 2 * ((w + 1) / 2 * 2);
        case Kino::kPixelFormat_b64a:
            return 8 * w;
        case Kino::kPixelFormat_v210:
            return (w + 47) / 48 * 128;
        default:
            return 0;
    }
}

int WrapVideoFrameAroundBinaryReference(crossprocess::BinaryReferencePtr const& ref,
                                        basekit::utility::Guid const& /*id*/,
                                        InterfaceRef<Kino::IVideoFrame>& frame) {
    frame.reset();
    if (!ref) {
        return kErrorInvalidArgument;
    }
    std::uint64_t const size = ref->GetSize();
    const void* data = ref->GetData();
    if (!data) {
        return kErrorCorrupt;
    }
    // The peer may still write the bytes: check and use one private copy of the header.
    FrameHeader header{};
    FrameInfo info;
    if (size < sizeof(FrameHeader)) {
        ref->ReleaseData(data);
        return kErrorCorrupt;
    }
    std::memcpy(&header, data, sizeof(header));
    if (!CheckHeader(header, size, info)) {
        ref->ReleaseData(data);
        return kErrorCorrupt;
    }
    auto const* pixels = static_cast<const std::uint8_t*>(data) + header.dataOffset;
    frame = InterfaceRef<Kino::IVideoFrame>(new detail::WrappedFrame(info, ref, data, pixels));
    return kOK;
}

InterfaceRef<Kino::IWritableVideoFrame> CreateSharedVideoFrame(
    std::uint32_t width, std::uint32_t height, std::uint32_t fourcc,
    basemediatypes::PixelFormatProperties properties, basemediatypes::PixelAspectRatio par,
    std::int32_t fieldOrder, crossprocess::WritableBinaryReferencePtr& block,
    std::uint32_t rowBytes) {
    block.reset();
    FrameInfo info = MakeInfo(width, height, fourcc, properties, par, fieldOrder);
    if (!DescribeNewFrame(info, rowBytes)) {
        return {};
    }
    crossprocess::WritableBinaryReferencePtr created =
        crossprocess::CreateWritableReference(kFrameDataOffset + info.dataSize);
    if (!created) {
        return {};
    }
    auto* base = static_cast<std::uint8_t*>(created->GetData());
    WriteHeader(base, info);
    InterfaceRef<Kino::IWritableVideoFrame> frame(
        new detail::SharedFrame(info, created, base + kFrameDataOffset));
    block = std::move(created);
    return frame;
}

InterfaceRef<Kino::IWritableVideoFrame> CreateVideoFrame(
    std::uint32_t width, std::uint32_t height, std::uint32_t fourcc,
    basemediatypes::PixelFormatProperties properties, basemediatypes::PixelAspectRatio par,
    std::int32_t fieldOrder, std::uint32_t rowBytes) {
    FrameInfo info = MakeInfo(width, height, fourcc, properties, par, fieldOrder);
    if (!DescribeNewFrame(info, rowBytes)) {
        return {};
    }
    void* pixels = std::aligned_alloc(64, RoundUp64(info.dataSize));
    if (!pixels) {
        return {};
    }
    return InterfaceRef<Kino::IWritableVideoFrame>(
        new detail::LocalFrame(info, static_cast<std::uint8_t*>(pixels)));
}

int PublishVideoFrameProvidingReference(InterfaceRef<Kino::IVideoFrame> frame,
                                        basekit::utility::Guid const& id,
                                        crossprocess::WritableBinaryReferencePtr& ref) {
    ref.reset();
    if (!frame) {
        return kErrorInvalidArgument;
    }
    crossprocess::WritableBinaryReferencePtr block;
    if (auto* shared = dynamic_cast<detail::SharedFrame*>(frame.get())) {
        // Already laid out in one of our blocks: share that block itself. The alias ends the
        // share when the caller lets go of it, whatever becomes of the frame.
        block = crossprocess::CreateWritableAlias(shared->Block());
        if (!block) {
            return kErrorNoMemory;
        }
    } else {
        FrameInfo info = MakeInfo(frame->GetWidth(), frame->GetHeight(), frame->GetPixelFormat(),
                                  frame->GetPixelFormatProperties(), frame->GetPixelAspectRatio(),
                                  frame->GetFieldOrder());
        std::uint32_t const rowBytes = frame->GetRowBytes();
        const void* pixels = frame->GetPixels();
        if (!pixels || rowBytes == 0 || !DescribeNewFrame(info, rowBytes) ||
            frame->GetDataSize() < info.dataSize) {
            return kErrorInvalidArgument;
        }
        block = crossprocess::CreateWritableReference(kFrameDataOffset + info.dataSize);
        if (!block) {
            return kErrorNoMemory;
        }
        auto* base = static_cast<std::uint8_t*>(block->GetData());
        WriteHeader(base, info);
        std::memcpy(base + kFrameDataOffset, pixels, info.dataSize);
    }
    if (crossprocess::Share(id, block, block->GetSize()) != 0) {
        return kErrorNotAvailable;
    }
    ref = std::move(block);
    return kOK;
}

int OpenVideoFrame(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                   InterfaceRef<Kino::IVideoFrame>& frame) {
    frame.reset();
    crossprocess::BinaryReferencePtr const ref = crossprocess::OpenPublishedData(session, id);
    if (!ref) {
        return kErrorNotAvailable;
    }
    return WrapVideoFrameAroundBinaryReference(ref, id, frame);
}

}  // namespace Pix
