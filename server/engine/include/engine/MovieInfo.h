#pragma once
// What the engine knows about an open movie, in QuickTime's terms: times are counted in units of
// a time scale (units per second); a video sample size is the duration of one frame in those
// units (29.97 fps: scale 30000, sample size 1001).
#include <cstdint>
#include <string>
#include <vector>

#include "basemediatypes/PixelFormatProperties.h"

namespace vireo::engine {

// Field order codes of VideoInfo::fieldType.
enum FieldOrder : std::int32_t {
    kFieldsNone = 0,        // progressive
    kFieldsUpperFirst = 1,  // interlaced, top field first
    kFieldsLowerFirst = 2,  // interlaced, bottom field first
    kFieldsUnknown = 3,     // the file does not say
};

// Native sample types of AudioInfo::sampleType (what the file stores; the engine always delivers
// interleaved 32-bit float).
enum SampleType : std::int32_t {
    kSampleTypeCompressed = 0,  // a compressed format (AAC, MP3, ...)
    kSampleTypeInt8 = 1,
    kSampleTypeInt16 = 2,
    kSampleTypeInt24 = 3,
    kSampleTypeInt32 = 4,
    kSampleTypeFloat32 = 5,
    kSampleTypeFloat64 = 6,
};

struct PixelFormatInfo {
    std::uint32_t fourcc = 0;
    basemediatypes::PixelFormatProperties properties = 0;
};

struct VideoInfo {
    bool present = false;            // a decodable video stream exists
    bool codecNotFound = false;      // a video stream exists but no decoder for it
    std::int32_t timeScale = 0;      // units per second
    std::int32_t sampleSize = 0;     // one frame, in timeScale units
    std::int64_t duration = 0;       // in timeScale units
    std::int64_t frameCount = 0;     // duration / sampleSize, rounded up
    bool variableFrameRate = false;  // frame times follow the file's timestamps, not a grid
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t parNumerator = 1;  // pixel aspect ratio (1:1 when the file gives none)
    std::uint32_t parDenominator = 1;
    std::int32_t fieldType = kFieldsNone;
    std::int32_t depth = 24;            // QuickTime depth: 24 without alpha, 32 with alpha
    std::int32_t bitsPerComponent = 8;  // of the decoded pixels
    bool hasAlpha = false;
    std::uint32_t codecFourCC = 0;                  // QuickTime FourCC of the codec
    std::string codecName;                          // FFmpeg's decoder name, for diagnostics
    std::vector<PixelFormatInfo> supportedFormats;  // preferred first
    bool nativeFormatAvailable = false;  // one of supportedFormats is the decoder's own layout
    std::int32_t posterFrame = 0;        // in timeScale units
};

struct AudioInfo {
    bool present = false;         // a decodable audio stream exists
    std::int32_t trackCount = 0;  // audio streams in the file; the first decodable is read
    std::int32_t channels = 0;
    double sampleRate = 0;
    std::int64_t duration = 0;  // in sample frames (one sample of every channel)
    std::int32_t sampleType = kSampleTypeCompressed;
    std::uint32_t formatID = 0;                // QuickTime format id ('lpcm', 'aac ', ...)
    std::vector<std::uint32_t> channelLayout;  // one channel label per channel, in order
};

struct TimecodeInfo {
    bool present = false;
    std::string start;  // "HH:MM:SS:FF", or "HH:MM:SS;FF" for drop-frame
    bool dropFrame = false;
    std::int32_t timeScale = 0;  // timecode rate as scale and frame duration
    std::int32_t sampleSize = 0;
    std::string reel;  // reel name, empty when the file has none
};

struct CreationTime {
    bool present = false;  // from the file's creation_time, in UTC
    std::int32_t year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0;
};

struct MovieInfo {
    std::string formatName;  // FFmpeg's demuxer name, for diagnostics
    VideoInfo video;
    AudioInfo audio;
    TimecodeInfo timecode;
    CreationTime creation;
};

}  // namespace vireo::engine
