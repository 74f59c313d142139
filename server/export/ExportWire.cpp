// The export methods' wire values and the catalogue methods.
#include "ExportWire.h"

#include "VireoRecords/ExportRecordsWire.h"
#include "basekit/debug/Failure.h"
#include "basekit/utility/Text.h"
#include "export/Catalogue.h"

namespace vireo::server::exporting {

namespace {

using basekit::serialization::JSONConvert;
using basekit::serialization::VariantPtr;
using basemarshal::Responder;
using basetransport::SessionPtr;

std::string ToUTF8(basekit::UTF16String const& text) {
    return basekit::utility::UTF16to8(text);
}

VireoServer::CodecData ToRecord(VideoCodecInfo const& info) {
    VireoServer::CodecData c;
    c.subType = info.subType;
    c.vendor = info.vendor;
    c.name = basekit::utility::UTF8to16(info.name);
    c.canSetDataRate = info.canSetDataRate;
    c.videoDepthsArray = info.videoDepthsArray;
    c.canDelta = info.canDelta;
    c.canDoQuality = info.canDoQuality;
    c.hasSetup = info.hasSetup;
    c.fixedFieldType = info.fixedFieldType;
    c.fixedFrameRates.assign(info.fixedFrameRates.begin(), info.fixedFrameRates.end());
    c.minWidth = info.minWidth;
    c.minHeight = info.minHeight;
    c.maxWidth = info.maxWidth;
    c.maxHeight = info.maxHeight;
    c.fixedPARs = info.fixedPARs;
    c.defaultQuality = info.defaultQuality;
    c.defaultKeyFrameRate = info.defaultKeyFrameRate;
    c.doesReorder = info.doesReorder;
    c.notICMCodec = info.notICMCodec;
    c.codecSupportsYUVPixelFormat = info.codecSupportsYUVPixelFormat;
    c.codecPixelFormat = info.codecPixelFormat;
    c.supports8BitGrayscale = info.supports8BitGrayscale;
    return c;
}

VireoServer::AudioCodecData ToRecord(AudioCodecInfo const& info) {
    VireoServer::AudioCodecData a;
    a.codecID = info.codecID;
    a.codecName = basekit::utility::UTF8to16(info.codecName);
    a.hasSetup = info.hasSetup;
    a.audioChannelsArray = info.audioChannelsArray;
    a.supportedSampleRateMin = info.supportedSampleRateMin;
    a.supportedSampleRateMax = info.supportedSampleRateMax;
    return a;
}

}  // namespace

ExportSettings ToSettings(VireoServer::StartExportData const& d) {
    ExportSettings s;
    s.mFilePath = ToUTF8(d.mFilePath);
    s.mExportVideo = d.mExportVideo;
    s.mExportAudio = d.mExportAudio;
    s.mExportStartTime = d.mExportStartTime;
    s.mExportEndTime = d.mExportEndTime;
    s.mTicksPerSecond = d.mTicksPerSecond;
    s.mVideoCodecFourCC = d.mVideoCodecFourCC;
    s.mVideoCodecQuality = d.mVideoCodecQuality;
    s.mVideoBitDepth = d.mVideoBitDepth;
    s.mUse8BitGrayscale = d.mUse8BitGrayscale;
    s.mVideoCodecPrefsData = d.mVideoCodecPrefsData.GetBytes();
    s.mRenderAsDeepColor = d.mRenderAsDeepColor;
    s.mRenderAsPreview = d.mRenderAsPreview;
    s.m24pCompile = d.m24pCompile;
    s.mDo24pSplitFrameEncode = d.mDo24pSplitFrameEncode;
    s.mVideoFrameWidth = d.mVideoFrameWidth;
    s.mVideoFrameHeight = d.mVideoFrameHeight;
    s.mVideoFrameRate = d.mVideoFrameRate;
    s.mQTVideoTimescale = d.mQTVideoTimescale;
    s.mQTVideoSampleSize = d.mQTVideoSampleSize;
    s.mQTPixelFormat = d.mQTPixelFormat;
    s.mIRPixelFormat = d.mIRPixelFormat;
    s.mUsingYUVPixelFormat = d.mUsingYUVPixelFormat;
    s.mUsingLxNativeFormat = d.mUsingLxNativeFormat;
    s.mExpandStills = d.mExpandStills;
    s.mKeyframeEveryNFrames = d.mKeyframeEveryNFrames;
    s.mDoKeyframes = d.mDoKeyframes;
    s.mMaxBitrate = d.mMaxBitrate;
    s.mDoBitrate = d.mDoBitrate;
    s.mReorderFrames = d.mReorderFrames;
    s.mPixelAspectNum = d.mPixelAspectNum;
    s.mPixelAspectDen = d.mPixelAspectDen;
    s.mFieldType = d.mFieldType;
    s.mVideoPosterFrameTickTime = d.mVideoPosterFrameTickTime;
    s.mAvidDNxHD_ProfileLevel = d.mAvidDNxHD_ProfileLevel;
    s.mAudioCodecFourCC = d.mAudioCodecFourCC;
    s.mAudioFrameRate = d.mAudioFrameRate;
    s.mAudioNumChannels = d.mAudioNumChannels;
    s.mAudioSampleType = d.mAudioSampleType;
    s.mAudioTrackLayout = d.mAudioTrackLayout;
    s.mChannelLayout = d.mChannelLayout;
    s.mSamplesPerOutputBuffer = d.mSamplesPerOutputBuffer;
    s.mAudioBitrate = d.mAudioBitrate;
    for (auto const& m : d.mExportMarkers) {
        ExportMarker marker;
        marker.mTime = m.mTime;
        marker.mDuration = m.mDuration;
        marker.mNameStr = ToUTF8(m.mNameStr);
        marker.mCommentStr = ToUTF8(m.mCommentStr);
        marker.mChapterStr = ToUTF8(m.mChapterStr);
        marker.mHREFStr = ToUTF8(m.mHREFStr);
        marker.mTargetStr = ToUTF8(m.mTargetStr);
        marker.mMarkerType = m.mMarkerType;
        marker.mDVDMarkerType = m.mDVDMarkerType;
        s.mExportMarkers.push_back(std::move(marker));
    }
    for (auto const& c : d.mExportCaptions) {
        s.mExportCaptions.push_back(ExportCaption{c.mTime, c.mData.GetBytes()});
    }
    s.mLegacyQTCodecsAndGamma = d.mLegacyQTCodecsAndGamma;
    s.mPremulAlpha = d.mPremulAlpha;
    s.mAlphaMatteColor = d.mAlphaMatteColor;
    s.mInvertAlpha = d.mInvertAlpha;
    return s;
}

void RegisterCatalogueMethods(ServerContext& context) {
    auto& rpc = context.Rpc();
    rpc.AddMethod("GetQuicktimeImportCodecs",
                  [](SessionPtr const&, VariantPtr const&, Responder const& responder) {
                      responder.Reply(ValueAnswer(
                          JSONConvert<std::vector<std::uint32_t>>::ToJSON(ImportCodecs())));
                  });
    rpc.AddMethod("GetQuicktimeExportVideoCodecs",
                  [](SessionPtr const&, VariantPtr const&, Responder const& responder) {
                      std::vector<VireoServer::CodecData> codecs;
                      for (auto const& info : ExportVideoCodecs()) {
                          codecs.push_back(ToRecord(info));
                      }
                      responder.Reply(ValueAnswer(
                          JSONConvert<std::vector<VireoServer::CodecData>>::ToJSON(codecs)));
                  });
    rpc.AddMethod("GetQuicktimeExportAudioCodecs",
                  [](SessionPtr const&, VariantPtr const&, Responder const& responder) {
                      std::vector<VireoServer::AudioCodecData> codecs;
                      for (auto const& info : ExportAudioCodecs()) {
                          codecs.push_back(ToRecord(info));
                      }
                      responder.Reply(ValueAnswer(
                          JSONConvert<std::vector<VireoServer::AudioCodecData>>::ToJSON(codecs)));
                  });
    // The name of any FourCC the engine knows; the empty string for others.
    rpc.AddMethod("GetQuicktimeCodecName",
                  [](SessionPtr const&, VariantPtr const& params, Responder const& responder) {
                      std::string name;
                      try {
                          name = CodecName(std::uint32_t(Params(params).Get<std::int64_t>(0)));
                      } catch (...) {
                          BASEKIT_REPORT_CAUGHT("reading the argument of GetQuicktimeCodecName");
                      }
                      responder.Reply(ValueAnswer(name));
                  });
}

}  // namespace vireo::server::exporting
