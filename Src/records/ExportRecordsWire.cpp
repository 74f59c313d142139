// The field lists of the codec catalogue and export records, in the order they are read.
#include "VireoRecords/ExportRecordsWire.h"

namespace VireoServer {
namespace wire {

template <>
struct RecordFields<FrameDuration> {
    static auto const& List() {
        static auto const list =
            std::make_tuple(Field("ticksperframe", &FrameDuration::ticksperframe));
        return list;
    }
};

template <>
struct RecordFields<CodecData> {
    static auto const& List() {
        using C = CodecData;
        static auto const list = std::make_tuple(
            Field("inCodecData.subType", &C::subType), Field("inCodecData.vendor", &C::vendor),
            Field("inCodecData.name", &C::name),
            Field("inCodecData.canSetDataRate", &C::canSetDataRate),
            Required("inCodecData.videoDepthsArray", &C::videoDepthsArray),
            Required("inCodecData.fixedPARs", &C::fixedPARs),
            Required("inCodecData.fixedFrameRates", &C::fixedFrameRates),
            Field("inCodecData.canDelta", &C::canDelta),
            Field("inCodecData.canDoQuality", &C::canDoQuality),
            Field("inCodecData.hasSetup", &C::hasSetup),
            Field("inCodecData.fixedFieldType", &C::fixedFieldType),
            Field("inCodecData.minWidth", &C::minWidth),
            Field("inCodecData.minHeight", &C::minHeight),
            Field("inCodecData.maxWidth", &C::maxWidth),
            Field("inCodecData.maxHeight", &C::maxHeight),
            Field("inCodecData.defaultQuality", &C::defaultQuality),
            Field("inCodecData.defaultKeyFrameRate", &C::defaultKeyFrameRate),
            Field("inCodecData.doesReorder", &C::doesReorder),
            Field("inCodecData.notICMCodec", &C::notICMCodec),
            Field("inCodecData.codecSupportsYUVPixelFormat", &C::codecSupportsYUVPixelFormat),
            Field("inCodecData.codecPixelFormat", &C::codecPixelFormat),
            Field("inCodecData.supports8BitGrayscale", &C::supports8BitGrayscale));
        return list;
    }
};

template <>
struct RecordFields<AudioCodecData> {
    static auto const& List() {
        using A = AudioCodecData;
        static auto const list = std::make_tuple(
            Field("inAudioCodecData.codecID", &A::codecID),
            Field("inAudioCodecData.codecName", &A::codecName),
            Field("inAudioCodecData.hasSetup", &A::hasSetup),
            Field("inAudioCodecData.supportedSampleRateMin", &A::supportedSampleRateMin),
            Field("inAudioCodecData.supportedSampleRateMax", &A::supportedSampleRateMax),
            Optional("inAudioCodecData.audioChannelsArray", &A::audioChannelsArray));
        return list;
    }
};

template <>
struct RecordFields<ExportMarkerData> {
    static auto const& List() {
        using M = ExportMarkerData;
        static auto const list =
            std::make_tuple(Field("ExportMarkerData.mTime", &M::mTime),
                            Field("ExportMarkerData.mDuration", &M::mDuration),
                            Field("ExportMarkerData.mNameStr", &M::mNameStr),
                            Field("ExportMarkerData.mCommentStr", &M::mCommentStr),
                            Field("ExportMarkerData.mChapterStr", &M::mChapterStr),
                            Field("ExportMarkerData.mHREFStr", &M::mHREFStr),
                            Field("ExportMarkerData.mTargetStr", &M::mTargetStr),
                            Field("ExportMarkerData.mMarkerType", &M::mMarkerType),
                            Field("ExportMarkerData.mDVDMarkerType", &M::mDVDMarkerType));
        return list;
    }
};

template <>
struct RecordFields<ExportCaptionData> {
    static auto const& List() {
        using C = ExportCaptionData;
        static auto const list = std::make_tuple(Field("ExportCaptionData.mTime", &C::mTime),
                                                 Field("ExportCaptionData.mData", &C::mData));
        return list;
    }
};

#define VIREO_EXPORT_FIELD(name) Field("inStartExportData." #name, &StartExportData::name)

template <>
struct RecordFields<StartExportData> {
    static auto const& List() {
        static auto const list = std::make_tuple(
            VIREO_EXPORT_FIELD(mFilePath), VIREO_EXPORT_FIELD(mExportVideo),
            VIREO_EXPORT_FIELD(mExportAudio), VIREO_EXPORT_FIELD(mExportStartTime),
            VIREO_EXPORT_FIELD(mExportEndTime), VIREO_EXPORT_FIELD(mTicksPerSecond),
            VIREO_EXPORT_FIELD(mVideoCodecFourCC), VIREO_EXPORT_FIELD(mVideoCodecQuality),
            VIREO_EXPORT_FIELD(mVideoBitDepth), VIREO_EXPORT_FIELD(mUse8BitGrayscale),
            VIREO_EXPORT_FIELD(mVideoCodecPrefsData), VIREO_EXPORT_FIELD(mRenderAsDeepColor),
            VIREO_EXPORT_FIELD(mRenderAsPreview), VIREO_EXPORT_FIELD(m24pCompile),
            VIREO_EXPORT_FIELD(mDo24pSplitFrameEncode), VIREO_EXPORT_FIELD(mVideoFrameWidth),
            VIREO_EXPORT_FIELD(mVideoFrameHeight), VIREO_EXPORT_FIELD(mVideoFrameRate),
            VIREO_EXPORT_FIELD(mQTVideoTimescale), VIREO_EXPORT_FIELD(mQTVideoSampleSize),
            VIREO_EXPORT_FIELD(mQTPixelFormat), VIREO_EXPORT_FIELD(mIRPixelFormat),
            VIREO_EXPORT_FIELD(mUsingYUVPixelFormat), VIREO_EXPORT_FIELD(mUsingLxNativeFormat),
            VIREO_EXPORT_FIELD(mExpandStills), VIREO_EXPORT_FIELD(mKeyframeEveryNFrames),
            VIREO_EXPORT_FIELD(mDoKeyframes), VIREO_EXPORT_FIELD(mMaxBitrate),
            VIREO_EXPORT_FIELD(mDoBitrate), VIREO_EXPORT_FIELD(mReorderFrames),
            VIREO_EXPORT_FIELD(mPixelAspectNum), VIREO_EXPORT_FIELD(mPixelAspectDen),
            VIREO_EXPORT_FIELD(mFieldType), VIREO_EXPORT_FIELD(mVideoPosterFrameTickTime),
            VIREO_EXPORT_FIELD(mAvidDNxHD_ProfileLevel), VIREO_EXPORT_FIELD(mAudioCodecFourCC),
            VIREO_EXPORT_FIELD(mAudioFrameRate), VIREO_EXPORT_FIELD(mAudioNumChannels),
            VIREO_EXPORT_FIELD(mAudioSampleType), VIREO_EXPORT_FIELD(mAudioTrackLayout),
            VIREO_EXPORT_FIELD(mChannelLayout), VIREO_EXPORT_FIELD(mSamplesPerOutputBuffer),
            VIREO_EXPORT_FIELD(mAudioBitrate), VIREO_EXPORT_FIELD(mExportMarkers),
            VIREO_EXPORT_FIELD(mExportCaptions), VIREO_EXPORT_FIELD(mLegacyQTCodecsAndGamma),
            VIREO_EXPORT_FIELD(mPremulAlpha), VIREO_EXPORT_FIELD(mAlphaMatteColor),
            VIREO_EXPORT_FIELD(mInvertAlpha));
        return list;
    }
};

#undef VIREO_EXPORT_FIELD

template <>
struct RecordFields<ExportFrameReceivedData> {
    static auto const& List() {
        using F = ExportFrameReceivedData;
        static auto const list = std::make_tuple(
            Field("inFrameReceivedData.mExporterInstanceID", &F::mExporterInstanceID),
            Field("inFrameReceivedData.mPublishedFrameIdentifier", &F::mPublishedFrameIdentifier),
            Field("inFrameReceivedData.mFrameNumber", &F::mFrameNumber),
            FieldOr("inFrameReceivedData.mExporterResultCode", &F::mExporterResultCode, 0));
        return list;
    }
};

template <>
struct RecordFields<ExportAudioDataReceived> {
    static auto const& List() {
        using A = ExportAudioDataReceived;
        static auto const list = std::make_tuple(
            Field("inAudioDataReceived.mExporterInstanceID", &A::mExporterInstanceID),
            Field("inAudioDataReceived.mPublishedAudioDataIdentifier",
                  &A::mPublishedAudioDataIdentifier),
            Field("inAudioDataReceived.mStartingAudioSample", &A::mStartingAudioSample),
            Field("inAudioDataReceived.mNumAudioSamples", &A::mNumAudioSamples),
            FieldOr("inAudioDataReceived.mExporterResultCode", &A::mExporterResultCode, 0));
        return list;
    }
};

template <>
struct RecordFields<ExportCompletedData> {
    static auto const& List() {
        using C = ExportCompletedData;
        static auto const list = std::make_tuple(
            Field("inExportCompletedData.mExporterInstanceID", &C::mExporterInstanceID),
            FieldOr("inExportCompletedData.mServerResultCode", &C::mServerResultCode, 0));
        return list;
    }
};

}  // namespace wire
}  // namespace VireoServer

VIREO_DEFINE_WIRE_RECORD(VireoServer::FrameDuration);
VIREO_DEFINE_WIRE_RECORD(VireoServer::CodecData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::AudioCodecData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::ExportMarkerData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::ExportCaptionData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::StartExportData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::ExportFrameReceivedData);
VIREO_DEFINE_WIRE_RECORD(VireoServer::ExportAudioDataReceived);
VIREO_DEFINE_WIRE_RECORD(VireoServer::ExportCompletedData);
