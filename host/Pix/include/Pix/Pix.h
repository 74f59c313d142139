#pragma once
// Video frames over shared binary data.
//
// A frame published through crossprocess is laid out as a FrameHeader (see FrameLayout.h)
// followed by the pixels. A reader wraps the received bytes into a Kino::IVideoFrame without
// copying them; a publisher either makes its frame in a shared block from the start
// (CreateSharedVideoFrame) or has it copied once into one.
#include <cstdint>

#include "Kino/VideoFrame.h"
#include "Orb/InterfaceRef.h"
#include "basekit/utility/Guid.h"
#include "basemediatypes/PixelAspectRatio.h"
#include "basemediatypes/PixelFormatProperties.h"
#include "basetransport/Session.h"
#include "crossprocess/CrossProcess.h"

namespace Pix {

// Results: 0 success, negative failure.
constexpr int kOK = 0;
constexpr int kErrorInvalidArgument = -1;  // empty input, or a frame or format Pix cannot carry
constexpr int kErrorCorrupt = -2;          // the shared bytes do not describe a valid frame
constexpr int kErrorNoMemory = -3;         // no shared block could be had
constexpr int kErrorNotAvailable = -4;     // sharing failed, or the peer has no such data

// The largest width and height a frame may have.
constexpr std::uint32_t kMaxDimension = 32768;

// The fewest bytes a row of `width` pixels of `fourcc` takes: 'BGRA' 4 * w, '2vuy' 2 * w with
// w rounded up to even, 'b64a' 8 * w, 'v210' ((w + 47) / 48) * 128. 0 for an unknown format or
// a width of 0.
std::uint64_t MinimumRowBytes(std::uint32_t fourcc, std::uint32_t width);

// Wraps the bytes of `ref` (a shared frame received under `id`) into `frame`, without copying
// the pixels: the frame keeps the reference and the data pointer until it is destroyed, then
// gives the pointer back (ReleaseData). Every header field is checked against the reference's
// size first. Returns kOK, or a negative result and an empty `frame`.
int WrapVideoFrameAroundBinaryReference(crossprocess::BinaryReferencePtr const& ref,
                                        basekit::utility::Guid const& id,
                                        InterfaceRef<Kino::IVideoFrame>& frame);

// Makes `frame` readable by the peer under `id` (crossprocess::Share) for as long as the caller
// holds `ref`. A frame made by CreateSharedVideoFrame is published without a copy; any other
// frame is copied once into a pooled block. Returns kOK, or a negative result and an empty
// `ref` (then nothing was shared).
int PublishVideoFrameProvidingReference(InterfaceRef<Kino::IVideoFrame> frame,
                                        basekit::utility::Guid const& id,
                                        crossprocess::WritableBinaryReferencePtr& ref);

// A writable frame whose pixels live in a shared block from the start, so a converter can write
// them in place. `block` receives the block (header and pixels: publish block->GetSize()
// bytes, e.g. with crossprocess::PublishToSession). rowBytes 0 takes the format's minimum
// rounded up to 64; a non-zero rowBytes must be at least the minimum. Empty on failure.
InterfaceRef<Kino::IWritableVideoFrame> CreateSharedVideoFrame(
    std::uint32_t width, std::uint32_t height, std::uint32_t fourcc,
    basemediatypes::PixelFormatProperties properties, basemediatypes::PixelAspectRatio par,
    std::int32_t fieldOrder, crossprocess::WritableBinaryReferencePtr& block,
    std::uint32_t rowBytes = 0);

// A writable frame in this process's own memory (not shared), with the same rules.
InterfaceRef<Kino::IWritableVideoFrame> CreateVideoFrame(
    std::uint32_t width, std::uint32_t height, std::uint32_t fourcc,
    basemediatypes::PixelFormatProperties properties, basemediatypes::PixelAspectRatio par,
    std::int32_t fieldOrder, std::uint32_t rowBytes = 0);

// Opens the frame that the peer of `session` shared under `id` (its
// PublishVideoFrameProvidingReference). May wait briefly for the peer (see
// crossprocess::OpenPublishedData). Returns kOK, or a negative result and an empty `frame`.
int OpenVideoFrame(basetransport::SessionPtr const& session, basekit::utility::Guid const& id,
                   InterfaceRef<Kino::IVideoFrame>& frame);

}  // namespace Pix
