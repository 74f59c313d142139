// The export catalogues, made from the encoder table and what this FFmpeg really has.
#include "export/Catalogue.h"

#include "AudioLayouts.h"
#include "EncoderTable.h"
#include "engine/FFmpegHandles.h"
#include "engine/FourCC.h"

namespace vireo::server::exporting {

namespace {

using detail::AudioEncoderEntry;
using detail::VideoEncoderEntry;
using detail::VideoFamily;

// An encoder counts when FFmpeg has it and its QuickTime muxer can store what it makes.
AVCodec const* UsableEncoder(const char* name) {
    AVCodec const* codec = avcodec_find_encoder_by_name(name);
    AVOutputFormat const* mov = av_guess_format("mov", nullptr, nullptr);
    if (codec == nullptr || mov == nullptr ||
        avformat_query_codec(mov, codec->id, FF_COMPLIANCE_NORMAL) != 1) {
        return nullptr;
    }
    return codec;
}

std::vector<std::int64_t> DNxHDFrameRates() {
    std::vector<std::int64_t> ticks;
    for (auto const& rate : detail::DNxHDRates()) {
        std::int64_t const perFrame =
            kCatalogueTicksPerSecond / rate.rateNumerator * rate.rateDenominator;
        bool known = false;
        for (auto t : ticks) {
            known = known || t == perFrame;
        }
        if (!known) {
            ticks.push_back(perFrame);
        }
    }
    return ticks;
}

VideoCodecInfo MakeVideoInfo(VideoEncoderEntry const& entry) {
    VideoCodecInfo info;
    info.subType = entry.fourcc;
    info.vendor = engine::MakeFourCC("ffmp");
    info.name = entry.name;
    info.canSetDataRate = entry.canSetDataRate;
    info.videoDepthsArray = {24};
    if (entry.alpha) {
        info.videoDepthsArray.push_back(32);
    }
    info.canDelta = entry.canDelta;
    info.canDoQuality = entry.canDoQuality;
    info.hasSetup = entry.hasSetup;
    info.fixedFieldType = kFieldTypeAny;
    info.minWidth = entry.minWidth;
    info.minHeight = entry.minHeight;
    info.maxWidth = entry.maxWidth;
    info.maxHeight = entry.maxHeight;
    if (entry.family == VideoFamily::kDNxHD) {
        info.fixedFrameRates = DNxHDFrameRates();
        info.fixedPARs = {basemediatypes::PixelAspectRatio(1, 1),
                          basemediatypes::PixelAspectRatio(4, 3)};
    }
    info.defaultQuality = entry.defaultQuality;
    info.defaultKeyFrameRate = entry.defaultKeyFrameRate;
    info.doesReorder = entry.doesReorder;
    info.notICMCodec = false;
    info.codecSupportsYUVPixelFormat = entry.yuv;
    info.codecPixelFormat = entry.preferredInput;
    info.supports8BitGrayscale = entry.grayscale;
    return info;
}

// Channel counts the encoder opens with, each in its usual layout.
std::vector<std::int32_t> ChannelCounts(AVCodec const* codec, AudioEncoderEntry const& entry,
                                        int probeRate) {
    std::vector<std::int32_t> counts;
    for (int channels = 1; channels <= entry.maxChannels; ++channels) {
        engine::detail::CodecPtr context(avcodec_alloc_context3(codec));
        if (!context) {
            break;
        }
        context->sample_fmt =
            codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLT;
        context->sample_rate = probeRate;
        context->time_base = AVRational{1, probeRate};
        detail::UsualLayout(channels, context->ch_layout);
        if (avcodec_open2(context.get(), codec, nullptr) == 0) {
            counts.push_back(channels);
        }
    }
    return counts;
}

AudioCodecInfo MakeAudioInfo(AVCodec const* codec, AudioEncoderEntry const& entry) {
    AudioCodecInfo info;
    info.codecID = entry.codecID;
    info.codecName = entry.name;
    info.hasSetup = entry.hasSetup;
    info.supportedSampleRateMin = entry.minRate;
    info.supportedSampleRateMax = entry.maxRate;
    if (codec->supported_samplerates != nullptr && codec->supported_samplerates[0] != 0) {
        info.supportedSampleRateMin = codec->supported_samplerates[0];
        info.supportedSampleRateMax = codec->supported_samplerates[0];
        for (int const* rate = codec->supported_samplerates; *rate != 0; ++rate) {
            info.supportedSampleRateMin = std::min<double>(info.supportedSampleRateMin, *rate);
            info.supportedSampleRateMax = std::max<double>(info.supportedSampleRateMax, *rate);
        }
    }
    info.audioChannelsArray = ChannelCounts(codec, entry, 48000);
    return info;
}

}  // namespace

std::vector<VideoCodecInfo> const& ExportVideoCodecs() {
    static std::vector<VideoCodecInfo> const codecs = [] {
        engine::detail::InitFFmpegLogging();
        std::vector<VideoCodecInfo> out;
        for (auto const& entry : detail::VideoEncoderEntries()) {
            if (UsableEncoder(entry.encoder) != nullptr) {
                out.push_back(MakeVideoInfo(entry));
            }
        }
        return out;
    }();
    return codecs;
}

std::vector<AudioCodecInfo> const& ExportAudioCodecs() {
    static std::vector<AudioCodecInfo> const codecs = [] {
        engine::detail::InitFFmpegLogging();
        std::vector<AudioCodecInfo> out;
        for (auto const& entry : detail::AudioEncoderEntries()) {
            if (AVCodec const* codec = UsableEncoder(entry.encoder)) {
                AudioCodecInfo info = MakeAudioInfo(codec, entry);
                if (!info.audioChannelsArray.empty()) {
                    out.push_back(std::move(info));
                }
            }
        }
        return out;
    }();
    return codecs;
}

VideoCodecInfo const* FindVideoCodec(std::uint32_t subType) {
    for (auto const& codec : ExportVideoCodecs()) {
        if (codec.subType == subType) {
            return &codec;
        }
    }
    return nullptr;
}

AudioCodecInfo const* FindAudioCodec(std::uint32_t codecID) {
    for (auto const& codec : ExportAudioCodecs()) {
        if (codec.codecID == codecID) {
            return &codec;
        }
    }
    return nullptr;
}

}  // namespace vireo::server::exporting
