// Checking the audio settings of an export.
#include "AudioLayouts.h"
#include "Plan.h"
#include "export/Catalogue.h"
#include "export/ExportErrors.h"

namespace vireo::server::exporting::detail {

namespace {

// Submitted sample types (the decoding engine's codes): 0 (not given) and 5 are 32-bit float.
constexpr std::int32_t kSampleTypeUnset = 0;
constexpr std::int32_t kSampleTypeInt16 = 2;
constexpr std::int32_t kSampleTypeInt32 = 4;
constexpr std::int32_t kSampleTypeFloat32 = 5;

bool RateListed(AVCodec const* codec, int rate) {
    if (codec == nullptr || codec->supported_samplerates == nullptr) {
        return true;
    }
    for (int const* listed = codec->supported_samplerates; *listed != 0; ++listed) {
        if (*listed == rate) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::int32_t PlanAudio(ExportSettings const& s, AudioPlan& plan) {
    std::uint32_t const id = std::uint32_t(s.mAudioCodecFourCC);
    AudioCodecInfo const* info = FindAudioCodec(id);
    plan.entry = FindAudioEncoderEntry(id);
    if (info == nullptr || plan.entry == nullptr) {
        return kErrUnknownAudioCodec;
    }
    AVCodec const* codec = avcodec_find_encoder_by_name(plan.entry->encoder);
    if (s.mAudioFrameRate < info->supportedSampleRateMin ||
        s.mAudioFrameRate > info->supportedSampleRateMax || !RateListed(codec, s.mAudioFrameRate)) {
        return kErrAudioSampleRate;
    }
    plan.sampleRate = s.mAudioFrameRate;
    bool channelsListed = false;
    for (auto count : info->audioChannelsArray) {
        channelsListed = channelsListed || std::uint32_t(count) == s.mAudioNumChannels;
    }
    if (!channelsListed) {
        return kErrAudioChannels;
    }
    plan.channels = std::int32_t(s.mAudioNumChannels);
    switch (s.mAudioSampleType) {
        case kSampleTypeUnset:
        case kSampleTypeFloat32:
            plan.inputFormat = AV_SAMPLE_FMT_FLT;
            plan.bytesPerSample = 4;
            break;
        case kSampleTypeInt16:
            plan.inputFormat = AV_SAMPLE_FMT_S16;
            plan.bytesPerSample = 2;
            break;
        case kSampleTypeInt32:
            plan.inputFormat = AV_SAMPLE_FMT_S32;
            plan.bytesPerSample = 4;
            break;
        default:
            return kErrAudioSampleType;
    }
    if (!LayoutForTag(s.mChannelLayout, plan.channels, plan.layout)) {
        return kErrChannelLayout;
    }
    if (codec != nullptr && codec->id == AV_CODEC_ID_AAC) {
        // AAC: 0 takes 96 kbit/s per channel; FFmpeg's encoder works from 8 kbit/s per channel
        // up to 6144 bits per channel per 1024-sample frame.
        std::int64_t const most = std::int64_t(6144) * plan.sampleRate / 1024 * plan.channels;
        if (s.mAudioBitrate == 0) {
            plan.bitrate = std::min<std::int64_t>(96000 * plan.channels, most);
        } else if (s.mAudioBitrate < 8000 * plan.channels || s.mAudioBitrate > most) {
            return kErrAudioBitrate;
        } else {
            plan.bitrate = s.mAudioBitrate;
        }
    }
    plan.sampleLimit =
        CountSteps(s.mExportEndTime - s.mExportStartTime, s.mTicksPerSecond, 1, plan.sampleRate);
    if (plan.sampleLimit < 1) {
        return kErrTimeRange;
    }
    return kExportOK;
}

}  // namespace vireo::server::exporting::detail
