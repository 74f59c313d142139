#pragma once
// Every setting of one export, as a host sends it when the export starts. The field names are
// those of the export start record, so the RPC method copies them one by one; text is UTF-8 here
// (the record's UTF-16 converted with basekit/utility/Text.h). docs/export.md says what each
// field means and which ones are not used.
#include <cstdint>
#include <string>
#include <vector>

namespace vireo::server::exporting {

// One marker; all markers become chapters of the movie.
struct ExportMarker {
    std::int64_t mTime = 0;      // ticks, on the host's timeline
    std::int64_t mDuration = 0;  // ticks; not used (a chapter lasts until the next one)
    std::string mNameStr;
    std::string mCommentStr;
    std::string mChapterStr;  // the chapter's title; mNameStr when empty
    std::string mHREFStr;
    std::string mTargetStr;
    std::int32_t mMarkerType = 0;
    std::int32_t mDVDMarkerType = 0;
};

// One caption: CEA-608 byte pairs (field 1, with their parity bits) shown from mTime.
struct ExportCaption {
    std::int64_t mTime = 0;  // ticks, on the host's timeline
    std::vector<std::uint8_t> mData;
};

struct ExportSettings {
    std::string mFilePath;  // absolute path of the movie to write
    bool mExportVideo = false;
    bool mExportAudio = false;
    std::int64_t mExportStartTime = 0;  // ticks; movie time 0
    std::int64_t mExportEndTime = 0;    // ticks
    std::int64_t mTicksPerSecond = 0;

    // Video.
    std::int32_t mVideoCodecFourCC = 0;    // a VideoCodecInfo::subType
    std::uint32_t mVideoCodecQuality = 0;  // 0 (least) .. 1024 (lossless)
    std::uint32_t mVideoBitDepth = 0;      // 24, 32 (with alpha); 0: 24
    bool mUse8BitGrayscale = false;
    std::vector<std::uint8_t> mVideoCodecPrefsData;  // the codec's private settings
    bool mRenderAsDeepColor = false;                 // PNG: 16 bits per component
    bool mRenderAsPreview = false;
    bool m24pCompile = false;
    bool mDo24pSplitFrameEncode = false;
    std::uint32_t mVideoFrameWidth = 0;
    std::uint32_t mVideoFrameHeight = 0;
    std::uint64_t mVideoFrameRate = 0;     // ticks per frame (used when no time scale is given)
    std::uint32_t mQTVideoTimescale = 0;   // the video track's time scale
    std::uint32_t mQTVideoSampleSize = 0;  // one frame, in time scale units
    std::uint32_t mQTPixelFormat = 0;      // the frames' FourCC, 0 when not announced
    std::uint32_t mIRPixelFormat = 0;
    bool mUsingYUVPixelFormat = false;
    bool mUsingLxNativeFormat = false;
    bool mExpandStills = false;
    std::uint32_t mKeyframeEveryNFrames = 0;
    bool mDoKeyframes = false;
    double mMaxBitrate = 0;  // megabits per second
    bool mDoBitrate = false;
    bool mReorderFrames = false;
    std::uint32_t mPixelAspectNum = 0;  // 0/0: square pixels
    std::uint32_t mPixelAspectDen = 0;
    std::uint32_t mFieldType = 0;  // 0 progressive, 1 upper first, 2 lower first, 3 unknown
    std::int64_t mVideoPosterFrameTickTime = 0;
    std::uint32_t mAvidDNxHD_ProfileLevel = 0;  // 0: from the private settings

    // Audio.
    std::int32_t mAudioCodecFourCC = 0;  // an AudioCodecInfo::codecID
    std::int32_t mAudioFrameRate = 0;    // sample rate, Hz
    std::uint32_t mAudioNumChannels = 0;
    std::int32_t mAudioSampleType = 0;  // of submitted blocks: 0 or 5 float32, 2 int16, 4 int32
    std::uint32_t mAudioTrackLayout = 0;
    std::uint32_t mChannelLayout = 0;  // a Core Audio layout tag; 0: the usual one for the count
    std::int32_t mSamplesPerOutputBuffer = 0;
    std::int32_t mAudioBitrate = 0;  // bits per second (AAC); 0: the codec's default

    std::vector<ExportMarker> mExportMarkers;
    std::vector<ExportCaption> mExportCaptions;

    bool mLegacyQTCodecsAndGamma = false;
    bool mPremulAlpha = false;
    std::uint32_t mAlphaMatteColor = 0;
    bool mInvertAlpha = false;
};

}  // namespace vireo::server::exporting
