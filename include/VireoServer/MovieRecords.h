#pragma once
// Records of an opened movie, as the server reports them.
#include <cstdint>
#include <vector>

#include "basekit/Strings.h"
#include "basekit/utility/Guid.h"
#include "basemediatypes/PixelAspectRatio.h"
#include "basemediatypes/PixelFormatProperties.h"

namespace VireoServer {

// A pixel format: FourCC and property word (8 bytes, passed by value).
struct PixelFormat {
    // Properties given to a wire object that has no "properties" member.
    static constexpr basemediatypes::PixelFormatProperties kDefaultWireProperties = 0x3C000;
    // A format made without a wire object: the four characters "badf".
    static constexpr std::uint32_t kBadFourCC = 0x66646162;

    std::uint32_t fourcc = kBadFourCC;
    basemediatypes::PixelFormatProperties properties =
        basemediatypes::kPixelFormatProperties_Invalid;

    PixelFormat() = default;
    PixelFormat(std::uint32_t code, basemediatypes::PixelFormatProperties props)
        : fourcc(code), properties(props) {}
};

struct VideoProperties {
    std::int32_t Duration = 0;
    std::int32_t Scale = 0;
    std::int32_t SampleSize = 0;
    basemediatypes::PixelAspectRatio PAR;
    std::int32_t FieldType = 0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::int32_t PixelDepth = 0;
    std::int32_t PosterFrame = 0;
    std::uint32_t CodecFourCC = 0;
    std::vector<PixelFormat> SupportedPixelFormats;
    bool CanBeReadAsNativePixelFormat = false;
    bool VideoCodecNotFound = false;
    bool HasPulldown = false;
    bool IsAdvancedPulldown = false;
    std::int32_t PulldownStartIndex = 0;
    std::int32_t CreationHours = 0;
    std::int32_t CreationMinutes = 0;
    std::int32_t CreationSeconds = 0;
    std::int32_t CreationDay = 0;
    std::int32_t CreationMonth = 0;
    std::int32_t CreationYear = 0;
};

struct AudioProperties {
    std::int32_t TrackCount = 0;
    std::int32_t ChannelCount = 0;
    std::int64_t Duration = 0;
    double SampleRate = 0.0;
    std::int32_t SDKSampleType = 0;
    std::int32_t QTFormatID = 0;
    std::vector<std::uint32_t> ChannelLayout;
};

struct TimecodeProperties {
    bool HasTimecode = false;
    basekit::UTF8String OriginalTime;
    std::int32_t OriginalScale = 0;
    std::int32_t OriginalSampleSize = 0;
    basekit::UTF8String AlternateTime;
    std::int32_t AlternateScale = 0;
    std::int32_t AlternateSampleSize = 0;
    basekit::UTF8String OriginalReel;
    basekit::UTF8String AlternateReel;
    basekit::UTF8String LogComment;
};

struct MovieProperties {
    VideoProperties video;
    AudioProperties audio;
    TimecodeProperties timecode;
};

struct OpenMovieFromFileResult {
    basekit::utility::Guid MovieIdentifier;
    std::int32_t ImporterSDKErrorResult = 0;
    VireoServer::MovieProperties MovieProperties;
};

}  // namespace VireoServer
