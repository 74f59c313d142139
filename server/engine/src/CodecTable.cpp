#include "CodecTable.h"

#include <cstring>

#include "engine/FourCC.h"
#include "engine/MovieInfo.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace vireo::engine::detail {

namespace {

constexpr std::uint32_t kUnknownFourCC = MakeFourCC("????");

bool IsQuickTimeFamily(AVFormatContext const* container) {
    return container && container->iformat && std::strstr(container->iformat->name, "mov");
}

// FFmpeg keeps a container tag with its first character in the low byte.
std::uint32_t TagToFourCC(std::uint32_t tag) {
    return ((tag & 0xFF) << 24) | ((tag & 0xFF00) << 8) | ((tag >> 8) & 0xFF00) | (tag >> 24);
}

bool IsPrintable(std::uint32_t fourcc) {
    for (int shift = 0; shift < 32; shift += 8) {
        auto c = (fourcc >> shift) & 0xFF;
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

std::uint32_t ProResFourCC(int profile) {
    switch (profile) {
        case FF_PROFILE_PRORES_PROXY:
            return MakeFourCC("apco");
        case FF_PROFILE_PRORES_LT:
            return MakeFourCC("apcs");
        case FF_PROFILE_PRORES_HQ:
            return MakeFourCC("apch");
        case FF_PROFILE_PRORES_4444:
            return MakeFourCC("ap4h");
        case FF_PROFILE_PRORES_XQ:
            return MakeFourCC("ap4x");
        default:
            return MakeFourCC("apcn");
    }
}

}  // namespace

std::uint32_t VideoCodecFourCC(AVFormatContext const* container, AVCodecParameters const* codec) {
    std::uint32_t tag = TagToFourCC(codec->codec_tag);
    if (IsQuickTimeFamily(container) && codec->codec_tag != 0 && IsPrintable(tag))
        return tag;
    switch (codec->codec_id) {
        case AV_CODEC_ID_H264:
            return MakeFourCC("avc1");
        case AV_CODEC_ID_HEVC:
            return MakeFourCC("hvc1");
        case AV_CODEC_ID_MPEG4:
            return MakeFourCC("mp4v");
        case AV_CODEC_ID_PRORES:
            return ProResFourCC(codec->profile);
        case AV_CODEC_ID_MJPEG:
            return MakeFourCC("jpeg");
        case AV_CODEC_ID_MJPEGB:
            return MakeFourCC("mjpb");
        case AV_CODEC_ID_DNXHD:
            return MakeFourCC("AVdn");
        case AV_CODEC_ID_DVVIDEO:
            return MakeFourCC("dvc ");
        case AV_CODEC_ID_MPEG1VIDEO:
            return MakeFourCC("m1v ");
        case AV_CODEC_ID_MPEG2VIDEO:
            return MakeFourCC("m2v1");
        case AV_CODEC_ID_PNG:
            return MakeFourCC("png ");
        case AV_CODEC_ID_QTRLE:
            return MakeFourCC("rle ");
        case AV_CODEC_ID_RAWVIDEO:
            return MakeFourCC("raw ");
        case AV_CODEC_ID_V210:
            return MakeFourCC("v210");
        case AV_CODEC_ID_R210:
            return MakeFourCC("r210");
        case AV_CODEC_ID_CINEPAK:
            return MakeFourCC("cvid");
        case AV_CODEC_ID_SVQ1:
            return MakeFourCC("SVQ1");
        case AV_CODEC_ID_SVQ3:
            return MakeFourCC("SVQ3");
        case AV_CODEC_ID_H263:
            return MakeFourCC("h263");
        case AV_CODEC_ID_VP9:
            return MakeFourCC("vp09");
        case AV_CODEC_ID_AV1:
            return MakeFourCC("av01");
        case AV_CODEC_ID_GIF:
            return MakeFourCC("gif ");
        case AV_CODEC_ID_TIFF:
            return MakeFourCC("tiff");
        case AV_CODEC_ID_TARGA:
            return MakeFourCC("tga ");
        case AV_CODEC_ID_BMP:
            return MakeFourCC("BMPf");
        default:
            break;
    }
    return codec->codec_tag != 0 && IsPrintable(tag) ? tag : kUnknownFourCC;
}

std::uint32_t AudioFormatID(AVCodecParameters const* codec) {
    if (av_get_exact_bits_per_sample(codec->codec_id) > 0 &&
        std::strncmp(avcodec_get_name(codec->codec_id), "pcm_", 4) == 0) {
        if (codec->codec_id == AV_CODEC_ID_PCM_MULAW)
            return MakeFourCC("ulaw");
        if (codec->codec_id == AV_CODEC_ID_PCM_ALAW)
            return MakeFourCC("alaw");
        return MakeFourCC("lpcm");
    }
    switch (codec->codec_id) {
        case AV_CODEC_ID_AAC:
            return MakeFourCC("aac ");
        case AV_CODEC_ID_MP3:
            return MakeFourCC(".mp3");
        case AV_CODEC_ID_MP2:
            return MakeFourCC(".mp2");
        case AV_CODEC_ID_ALAC:
            return MakeFourCC("alac");
        case AV_CODEC_ID_AC3:
            return MakeFourCC("ac-3");
        case AV_CODEC_ID_EAC3:
            return MakeFourCC("ec-3");
        case AV_CODEC_ID_OPUS:
            return MakeFourCC("opus");
        case AV_CODEC_ID_FLAC:
            return MakeFourCC("flac");
        case AV_CODEC_ID_AMR_NB:
            return MakeFourCC("samr");
        case AV_CODEC_ID_ADPCM_IMA_QT:
            return MakeFourCC("ima4");
        case AV_CODEC_ID_QDM2:
            return MakeFourCC("QDM2");
        default:
            return kUnknownFourCC;
    }
}

std::int32_t AudioSampleType(AVCodecParameters const* codec) {
    int bits = av_get_exact_bits_per_sample(codec->codec_id);
    if (bits <= 0 || std::strncmp(avcodec_get_name(codec->codec_id), "pcm_", 4) != 0)
        return kSampleTypeCompressed;
    bool isFloat = std::strncmp(avcodec_get_name(codec->codec_id), "pcm_f", 5) == 0;
    if (isFloat)
        return bits == 64 ? kSampleTypeFloat64 : kSampleTypeFloat32;
    switch (bits) {
        case 8:
            return kSampleTypeInt8;
        case 16:
            return kSampleTypeInt16;
        case 24:
            return kSampleTypeInt24;
        case 32:
            return kSampleTypeInt32;
        default:
            return kSampleTypeCompressed;  // companded 8-bit (mu-law, A-law) and others
    }
}

std::vector<std::uint32_t> ChannelLabels(AVChannelLayout const& layout) {
    constexpr std::uint32_t kLabelMono = 42;
    constexpr std::uint32_t kLabelUnknown = 0xFFFFFFFFu;
    constexpr std::uint32_t kLabelDiscrete0 = 1u << 16;
    std::vector<std::uint32_t> labels;
    int count = layout.nb_channels;
    if (count <= 0)
        return labels;
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        // Files that only count their channels (plain WAV, AVI) mean the usual layout for that
        // count; beyond the usual layouts the channels are only numbered.
        AVChannelLayout usual{};
        av_channel_layout_default(&usual, count);
        if (usual.order != AV_CHANNEL_ORDER_UNSPEC)
            return ChannelLabels(usual);
        for (int i = 0; i < count; ++i)
            labels.push_back(kLabelDiscrete0 | std::uint32_t(i));
        return labels;
    }
    if (count == 1 && av_channel_layout_channel_from_index(&layout, 0) == AV_CHAN_FRONT_CENTER)
        return {kLabelMono};
    for (int i = 0; i < count; ++i) {
        std::uint32_t label = kLabelUnknown;
        switch (av_channel_layout_channel_from_index(&layout, unsigned(i))) {
            case AV_CHAN_FRONT_LEFT:
                label = 1;
                break;
            case AV_CHAN_FRONT_RIGHT:
                label = 2;
                break;
            case AV_CHAN_FRONT_CENTER:
                label = 3;
                break;
            case AV_CHAN_LOW_FREQUENCY:
                label = 4;
                break;
            case AV_CHAN_BACK_LEFT:
                label = 5;
                break;
            case AV_CHAN_BACK_RIGHT:
                label = 6;
                break;
            case AV_CHAN_FRONT_LEFT_OF_CENTER:
                label = 7;
                break;
            case AV_CHAN_FRONT_RIGHT_OF_CENTER:
                label = 8;
                break;
            case AV_CHAN_BACK_CENTER:
                label = 9;
                break;
            case AV_CHAN_SIDE_LEFT:
                label = 10;
                break;
            case AV_CHAN_SIDE_RIGHT:
                label = 11;
                break;
            case AV_CHAN_TOP_CENTER:
                label = 12;
                break;
            case AV_CHAN_TOP_FRONT_LEFT:
                label = 13;
                break;
            case AV_CHAN_TOP_FRONT_CENTER:
                label = 14;
                break;
            case AV_CHAN_TOP_FRONT_RIGHT:
                label = 15;
                break;
            case AV_CHAN_TOP_BACK_LEFT:
                label = 16;
                break;
            case AV_CHAN_TOP_BACK_CENTER:
                label = 17;
                break;
            case AV_CHAN_TOP_BACK_RIGHT:
                label = 18;
                break;
            case AV_CHAN_WIDE_LEFT:
                label = 35;
                break;
            case AV_CHAN_WIDE_RIGHT:
                label = 36;
                break;
            case AV_CHAN_LOW_FREQUENCY_2:
                label = 37;
                break;
            case AV_CHAN_STEREO_LEFT:
                label = 38;
                break;
            case AV_CHAN_STEREO_RIGHT:
                label = 39;
                break;
            default:
                break;
        }
        labels.push_back(label);
    }
    return labels;
}

}  // namespace vireo::engine::detail
