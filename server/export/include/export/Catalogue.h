#pragma once
// The codec catalogues of the export engine, read from the encoders and the QuickTime muxer that
// this build of FFmpeg really has: the video codecs and audio codecs a movie can be written in,
// the codecs a movie can be read in, and one table of codec names.
//
// The fields of VideoCodecInfo and AudioCodecInfo are those of the codec catalogue records, with
// the same names, so the RPC methods copy them one by one. Names are UTF-8.
//
// Thread use: every function may be called from any thread; the catalogues are built once, on
// first use, and never change afterwards.
#include <cstdint>
#include <string>
#include <vector>

#include "basemediatypes/PixelAspectRatio.h"

namespace vireo::server::exporting {

// The tick rate of VideoCodecInfo::fixedFrameRates: divisible by every common frame rate
// (23.976, 24, 25, 29.97, 50, 59.94, 60), so that each is a whole number of ticks per frame.
constexpr std::int64_t kCatalogueTicksPerSecond = 254016000000;

// Field-type codes (the export settings' mFieldType, VideoCodecInfo::fixedFieldType).
enum FieldType : std::int32_t {
    kFieldTypeProgressive = 0,
    kFieldTypeUpperFirst = 1,
    kFieldTypeLowerFirst = 2,
    kFieldTypeUnknown = 3,  // as a setting: write no field information
    kFieldTypeAny = 4,      // as fixedFieldType: the codec imposes no field order
};

struct VideoCodecInfo {
    std::uint32_t subType = 0;  // the FourCC written into the movie
    std::uint32_t vendor = 0;   // 'ffmp': FFmpeg's encoders
    std::string name;
    bool canSetDataRate = false;                 // takes a data-rate limit (mDoBitrate)
    std::vector<std::int32_t> videoDepthsArray;  // 24, and 32 when it writes alpha
    bool canDelta = false;                       // key frames and difference frames
    bool canDoQuality = false;                   // mVideoCodecQuality changes the result
    bool hasSetup = false;                       // has private settings a dialog edits
    std::int32_t fixedFieldType = kFieldTypeAny;
    std::vector<std::int64_t> fixedFrameRates;  // ticks per frame at kCatalogueTicksPerSecond;
                                                // empty: any rate
    std::int32_t minWidth = 0;
    std::int32_t minHeight = 0;
    std::int32_t maxWidth = 0;
    std::int32_t maxHeight = 0;
    std::vector<basemediatypes::PixelAspectRatio> fixedPARs;  // empty: any ratio
    std::int32_t defaultQuality = 0;                          // 0 .. 1024
    std::int32_t defaultKeyFrameRate = 0;  // frames between key frames; 0: every frame is one
    bool doesReorder = false;              // may store frames out of display order (B-frames)
    bool notICMCodec = false;
    bool codecSupportsYUVPixelFormat = false;  // takes 2vuy or v210 frames without RGB
    std::uint32_t codecPixelFormat = 0;        // the frame format it takes with least work
    bool supports8BitGrayscale = false;
};

struct AudioCodecInfo {
    std::uint32_t codecID = 0;  // the FourCC named in the export settings
    std::string codecName;
    bool hasSetup = false;
    std::vector<std::int32_t> audioChannelsArray;  // channel counts it takes
    double supportedSampleRateMin = 0;
    double supportedSampleRateMax = 0;
};

// The catalogues, in a fixed order. Codecs whose encoder this FFmpeg lacks are left out.
std::vector<VideoCodecInfo> const& ExportVideoCodecs();
std::vector<AudioCodecInfo> const& ExportAudioCodecs();
// The FourCCs of every video and audio codec the engine can decode from a QuickTime movie.
std::vector<std::uint32_t> const& ImportCodecs();

// The entry of a codec, or null.
VideoCodecInfo const* FindVideoCodec(std::uint32_t subType);
AudioCodecInfo const* FindAudioCodec(std::uint32_t codecID);

// The name of any codec the engine knows by this FourCC (the export catalogues' names first,
// then the engine's decoders); empty when none.
std::string CodecName(std::uint32_t fourcc);

}  // namespace vireo::server::exporting
