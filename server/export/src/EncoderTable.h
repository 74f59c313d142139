#pragma once
// What the export engine knows about each codec it writes: the FFmpeg encoder behind it and the
// limits that encoder really has. The public catalogues (Catalogue.h) are made from this table.
#include <cstdint>
#include <vector>

namespace vireo::server::exporting::detail {

enum class VideoFamily {
    kH264,           // libx264
    kProRes,         // prores_ks, profile by FourCC
    kDNxHD,          // dnxhd with a fixed CID: fixed sizes, rates and bit rates
    kDNxHR,          // dnxhd with a DNxHR profile: any size from 256x120
    kJPEG,           // mjpeg (Photo - JPEG)
    kPNG,            // png
    kAnimation,      // qtrle
    kUncompressed8,  // 2vuy (packed 8-bit 4:2:2)
    kV210,           // v210 (packed 10-bit 4:2:2)
};

struct VideoEncoderEntry {
    std::uint32_t fourcc;
    const char* name;
    VideoFamily family;
    const char* encoder;        // FFmpeg encoder name
    const char* proresProfile;  // prores_ks "profile" value; null for other families
    bool alpha;                 // can write an alpha channel (depth 32)
    bool grayscale;             // can write 8-bit grey
    bool lossless;
    bool evenWidth;   // the encoder's chroma subsampling needs an even width
    bool evenHeight;  // ... and an even height (4:2:0)
    std::int32_t minWidth, minHeight, maxWidth, maxHeight;
    std::uint32_t preferredInput;  // the frame format that needs least conversion
    bool yuv;                      // takes Y'CbCr frames without going through RGB
    bool canDelta;
    bool canDoQuality;
    bool canSetDataRate;
    bool doesReorder;
    bool hasSetup;
    std::int32_t defaultQuality;
    std::int32_t defaultKeyFrameRate;
};

struct AudioEncoderEntry {
    std::uint32_t codecID;
    const char* name;
    const char* encoder;  // FFmpeg encoder name
    bool hasSetup;
    std::int32_t maxChannels;
    double minRate, maxRate;  // for encoders that do not list their rates
};

std::vector<VideoEncoderEntry> const& VideoEncoderEntries();
std::vector<AudioEncoderEntry> const& AudioEncoderEntries();

VideoEncoderEntry const* FindVideoEncoderEntry(std::uint32_t fourcc);
AudioEncoderEntry const* FindAudioEncoderEntry(std::uint32_t codecID);

// DNxHD: the bit rate (Mb/s) of class `codecClass` ("36", "145", "220", "220x") at a frame size,
// field order and frame rate (as a fraction of a second per frame); 0 when that combination does
// not exist.
struct DNxHDRate {
    std::int32_t width, height;
    bool interlaced;
    const char* codecClass;
    bool tenBit;
    std::int64_t rateNumerator, rateDenominator;  // frames per second
    std::int32_t megabits;
};
std::vector<DNxHDRate> const& DNxHDRates();
std::int32_t DNxHDMegabits(std::int32_t width, std::int32_t height, bool interlaced,
                           const char* codecClass, std::int64_t rateNumerator,
                           std::int64_t rateDenominator);

}  // namespace vireo::server::exporting::detail
