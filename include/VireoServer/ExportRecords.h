#pragma once
// Records of the codec catalogues and of the export: what the server reports about its codecs,
// the settings of one export, and the answers to its submissions and its completion. Their wire
// converters are in Src/records/ExportRecordsWire.cpp (VireoRecords), shared by the library and
// the server.
#include <cstdint>
#include <vector>

#include "Kino/BinaryData.h"
#include "basekit/Strings.h"
#include "basekit/utility/Guid.h"
#include "basemediatypes/PixelAspectRatio.h"

namespace VireoServer {

// One frame duration of a codec's fixed frame rates, in ticks; behaves as the 64-bit count.
struct FrameDuration {
    std::int64_t ticksperframe = 0;
    FrameDuration() = default;
    FrameDuration(std::int64_t ticks) : ticksperframe(ticks) {}  // NOLINT: a count of ticks
    operator std::int64_t() const { return ticksperframe; }      // NOLINT
};

// One export video codec.
struct CodecData {
    std::uint32_t subType = 0;  // the codec's FourCC
    std::uint32_t vendor = 0;
    basekit::UTF16String name;
    bool canSetDataRate = false;
    std::vector<std::int32_t> videoDepthsArray;
    bool canDelta = false;
    bool canDoQuality = false;
    bool hasSetup = false;
    std::int32_t fixedFieldType = 0;
    std::vector<FrameDuration> fixedFrameRates;  // empty: any rate
    std::int32_t minWidth = 0;
    std::int32_t minHeight = 0;
    std::int32_t maxWidth = 0;
    std::int32_t maxHeight = 0;
    std::vector<basemediatypes::PixelAspectRatio> fixedPARs;  // empty: any ratio
    std::int32_t defaultQuality = 0;
    std::int32_t defaultKeyFrameRate = 0;
    bool doesReorder = false;
    bool notICMCodec = false;
    bool codecSupportsYUVPixelFormat = false;
    std::uint32_t codecPixelFormat = 0;
    bool supports8BitGrayscale = false;
};

// One export audio codec.
struct AudioCodecData {
    std::uint32_t codecID = 0;
    basekit::UTF16String codecName;
    bool hasSetup = false;
    std::vector<std::int32_t> audioChannelsArray;
    double supportedSampleRateMin = 0;
    double supportedSampleRateMax = 0;
};

struct ExportMarkerData {
    std::int64_t mTime = 0;
    std::int64_t mDuration = 0;
    basekit::UTF16String mNameStr;
    basekit::UTF16String mCommentStr;
    basekit::UTF16String mChapterStr;
    basekit::UTF16String mHREFStr;
    basekit::UTF16String mTargetStr;
    std::int32_t mMarkerType = 0;
    std::int32_t mDVDMarkerType = 0;
};

struct ExportCaptionData {
    std::int64_t mTime = 0;
    Kino::BinaryData mData;
};

// Every setting of one export (docs/export.md gives their meaning).
struct StartExportData {
    basekit::UTF16String mFilePath;
    bool mExportVideo = false;
    bool mExportAudio = false;
    std::int64_t mExportStartTime = 0;
    std::int64_t mExportEndTime = 0;
    std::int64_t mTicksPerSecond = 0;
    std::int32_t mVideoCodecFourCC = 0;
    std::uint32_t mVideoCodecQuality = 0;
    std::uint32_t mVideoBitDepth = 0;
    bool mUse8BitGrayscale = false;
    Kino::BinaryData mVideoCodecPrefsData;
    bool mRenderAsDeepColor = false;
    bool mRenderAsPreview = false;
    bool m24pCompile = false;
    bool mDo24pSplitFrameEncode = false;
    std::uint32_t mVideoFrameWidth = 0;
    std::uint32_t mVideoFrameHeight = 0;
    std::uint64_t mVideoFrameRate = 0;
    std::uint32_t mQTVideoTimescale = 0;
    std::uint32_t mQTVideoSampleSize = 0;
    std::uint32_t mQTPixelFormat = 0;
    std::uint32_t mIRPixelFormat = 0;
    bool mUsingYUVPixelFormat = false;
    bool mUsingLxNativeFormat = false;
    bool mExpandStills = false;
    std::uint32_t mKeyframeEveryNFrames = 0;
    bool mDoKeyframes = false;
    double mMaxBitrate = 0;
    bool mDoBitrate = false;
    bool mReorderFrames = false;
    std::uint32_t mPixelAspectNum = 0;
    std::uint32_t mPixelAspectDen = 0;
    std::uint32_t mFieldType = 0;
    std::int64_t mVideoPosterFrameTickTime = 0;
    std::uint32_t mAvidDNxHD_ProfileLevel = 0;
    std::int32_t mAudioCodecFourCC = 0;
    std::int32_t mAudioFrameRate = 0;
    std::uint32_t mAudioNumChannels = 0;
    std::int32_t mAudioSampleType = 0;
    std::uint32_t mAudioTrackLayout = 0;
    std::uint32_t mChannelLayout = 0;
    std::int32_t mSamplesPerOutputBuffer = 0;
    std::int32_t mAudioBitrate = 0;
    std::vector<ExportMarkerData> mExportMarkers;
    std::vector<ExportCaptionData> mExportCaptions;
    bool mLegacyQTCodecsAndGamma = false;
    bool mPremulAlpha = false;
    std::uint32_t mAlphaMatteColor = 0;
    bool mInvertAlpha = false;
};

// The answer to one submitted frame. A record made up by the library (no answer) has result -1.
struct ExportFrameReceivedData {
    basekit::utility::Guid mExporterInstanceID;
    basekit::utility::Guid mPublishedFrameIdentifier;
    std::uint32_t mFrameNumber = 0;
    std::int32_t mExporterResultCode = -1;
};

// The answer to one submitted block of audio.
struct ExportAudioDataReceived {
    basekit::utility::Guid mExporterInstanceID;
    basekit::utility::Guid mPublishedAudioDataIdentifier;
    std::int64_t mStartingAudioSample = 0;
    std::int64_t mNumAudioSamples = 0;
    std::int32_t mExporterResultCode = -1;
};

// The answer to a completion.
struct ExportCompletedData {
    basekit::utility::Guid mExporterInstanceID;
    std::int32_t mServerResultCode = -1;
};

}  // namespace VireoServer
