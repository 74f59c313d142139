#include "Properties.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "CodecTable.h"
#include "engine/PixelFormats.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vireo::engine::detail {

namespace {

bool IsValidRate(AVRational rate) {
    return rate.num > 0 && rate.den > 0 && av_q2d(rate) <= 1000.0;
}

const char* MetadataValue(AVDictionary* metadata, const char* key) {
    AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
    return entry && entry->value && entry->value[0] ? entry->value : nullptr;
}

// Accepts "HH:MM:SS:FF" with ':', ';' or '.' before the frames (the last two mark drop-frame
// counting) and writes it back as "HH:MM:SS:FF" or "HH:MM:SS;FF".
bool ParseTimecode(const char* text, std::string& normalised, bool& dropFrame) {
    int h = 0, m = 0, s = 0, f = 0;
    char separator = 0;
    int length = 0;
    if (std::sscanf(text, "%2d:%2d:%2d%c%3d%n", &h, &m, &s, &separator, &f, &length) != 5)
        return false;
    if (text[length] != '\0' || m > 59 || s > 59 || h < 0 || m < 0 || s < 0 || f < 0)
        return false;
    if (separator != ':' && separator != ';' && separator != '.')
        return false;
    dropFrame = separator != ':';
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%02d:%02d:%02d%c%02d", h, m, s, dropFrame ? ';' : ':',
                  f);
    normalised = buffer;
    return true;
}

void AddFormats(VideoInfo& info, AVPixelFormat decoded) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(decoded);
    bool rgb = desc && (desc->flags & AV_PIX_FMT_FLAG_RGB);
    std::uint32_t order[3] = {kFormat2vuy, kFormatBGRA, kFormatB64a};
    if (rgb && info.bitsPerComponent > 8) {
        order[0] = kFormatB64a, order[1] = kFormatBGRA, order[2] = kFormat2vuy;
    } else if (rgb) {
        order[0] = kFormatBGRA, order[1] = kFormatB64a, order[2] = kFormat2vuy;
    } else if (info.bitsPerComponent > 8) {
        order[0] = kFormatB64a, order[1] = kFormat2vuy, order[2] = kFormatBGRA;
    }
    for (std::uint32_t fourcc : order)
        info.supportedFormats.push_back({fourcc, FormatProperties(fourcc)});
    info.nativeFormatAvailable = decoded == AV_PIX_FMT_UYVY422 || decoded == AV_PIX_FMT_BGRA;
}

std::int32_t FieldTypeOf(AVFieldOrder order) {
    switch (order) {
        case AV_FIELD_TT:
        case AV_FIELD_BT:
            return kFieldsUpperFirst;  // top field shown first
        case AV_FIELD_BB:
        case AV_FIELD_TB:
            return kFieldsLowerFirst;
        case AV_FIELD_PROGRESSIVE:
            return kFieldsNone;
        default:
            return kFieldsUnknown;
    }
}

}  // namespace

StreamChoice ChooseStreams(AVFormatContext const* container) {
    StreamChoice choice;
    for (unsigned i = 0; i < container->nb_streams; ++i) {
        AVStream const* stream = container->streams[i];
        AVCodecParameters const* codec = stream->codecpar;
        bool decodable = avcodec_find_decoder(codec->codec_id) != nullptr;
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
            // Cover art of audio files is a picture, not the movie's video.
            if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)
                continue;
            if (!decodable) {
                choice.videoWithoutDecoder = true;
            } else if (choice.video < 0) {
                choice.video = int(i);
            }
        } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO) {
            ++choice.audioStreams;
            if (decodable && choice.audio < 0 && codec->ch_layout.nb_channels > 0 &&
                codec->sample_rate > 0)
                choice.audio = int(i);
        }
    }
    if (choice.video >= 0)
        choice.videoWithoutDecoder = false;
    return choice;
}

void ReadVideoInfo(AVFormatContext const* container, int index, VideoInfo& info) {
    AVStream* stream = container->streams[index];
    AVCodecParameters const* codec = stream->codecpar;
    info.present = true;
    info.width = codec->width;
    info.height = codec->height;

    AVRational rate = stream->avg_frame_rate;
    if (!IsValidRate(rate))
        rate = stream->r_frame_rate;
    if (!IsValidRate(rate))
        rate = AVRational{25, 1};
    int scale = 0, sampleSize = 0;
    av_reduce(&scale, &sampleSize, rate.num, rate.den, INT32_MAX);
    info.timeScale = scale;
    info.sampleSize = sampleSize;
    info.variableFrameRate = IsValidRate(stream->r_frame_rate) &&
                             IsValidRate(stream->avg_frame_rate) &&
                             av_cmp_q(stream->r_frame_rate, stream->avg_frame_rate) != 0;

    AVRational unit{1, scale};
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        info.duration = av_rescale_q(stream->duration, stream->time_base, unit);
    } else if (container->duration != AV_NOPTS_VALUE && container->duration > 0) {
        info.duration = av_rescale_q(container->duration, AVRational{1, AV_TIME_BASE}, unit);
    } else if (stream->nb_frames > 0) {
        info.duration =
            stream->nb_frames > INT64_MAX / sampleSize ? INT64_MAX : stream->nb_frames * sampleSize;
    }
    if (info.duration <= 0)
        info.duration = sampleSize;  // at least the frame it has
    info.frameCount = info.duration / sampleSize + (info.duration % sampleSize != 0 ? 1 : 0);

    AVRational par =
        av_guess_sample_aspect_ratio(const_cast<AVFormatContext*>(container), stream, nullptr);
    if (par.num > 0 && par.den > 0) {
        av_reduce(&par.num, &par.den, par.num, par.den, INT32_MAX);
        info.parNumerator = std::uint32_t(par.num);
        info.parDenominator = std::uint32_t(par.den);
    }
    info.fieldType = FieldTypeOf(AVFieldOrder(codec->field_order));

    auto format = AVPixelFormat(codec->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc) {
        info.bitsPerComponent = desc->comp[0].depth;
        info.hasAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    }
    info.depth = info.hasAlpha ? 32 : 24;
    info.codecFourCC = VideoCodecFourCC(container, codec);
    info.codecName = avcodec_get_name(codec->codec_id);
    AddFormats(info, format);
}

void ReadAudioInfo(AVFormatContext const* container, int index, int audioStreams, AudioInfo& info,
                   bool& exactDuration) {
    AVStream const* stream = container->streams[index];
    AVCodecParameters const* codec = stream->codecpar;
    info.present = true;
    info.trackCount = audioStreams;
    info.channels = codec->ch_layout.nb_channels;
    info.sampleRate = codec->sample_rate;
    info.sampleType = AudioSampleType(codec);
    info.formatID = AudioFormatID(codec);
    info.channelLayout = ChannelLabels(codec->ch_layout);

    AVRational perSample{1, codec->sample_rate};
    bool pcm = info.sampleType != kSampleTypeCompressed;
    exactDuration = false;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        info.duration = av_rescale_q(stream->duration, stream->time_base, perSample);
        exactDuration = container->duration_estimation_method == AVFMT_DURATION_FROM_STREAM;
    } else if (pcm && stream->nb_frames > 0) {
        // Containers that count PCM in sample frames (AVI) give the exact total here.
        info.duration = stream->nb_frames;
        exactDuration = true;
    } else if (container->duration != AV_NOPTS_VALUE && container->duration > 0) {
        info.duration = av_rescale_q(container->duration, AVRational{1, AV_TIME_BASE}, perSample);
    }
}

void ReadTimecode(AVFormatContext const* container, int videoStream, VideoInfo const& video,
                  TimecodeInfo& info) {
    const char* text = nullptr;
    const char* reel = nullptr;
    AVRational rate{0, 0};
    // A QuickTime timecode track shows as a data stream tagged 'tmcd'.
    for (unsigned i = 0; i < container->nb_streams && !text; ++i) {
        AVStream const* stream = container->streams[i];
        if (stream->codecpar->codec_tag != MKTAG('t', 'm', 'c', 'd'))
            continue;
        text = MetadataValue(stream->metadata, "timecode");
        reel = MetadataValue(stream->metadata, "reel_name");
        rate = stream->avg_frame_rate;
    }
    if (!text && videoStream >= 0) {
        AVStream const* stream = container->streams[videoStream];
        text = MetadataValue(stream->metadata, "timecode");
        if (!reel)
            reel = MetadataValue(stream->metadata, "reel_name");
    }
    if (!text)
        text = MetadataValue(container->metadata, "timecode");
    if (!reel)
        reel = MetadataValue(container->metadata, "reel_name");
    bool dropFrame = false;
    std::string start;
    if (!text || !ParseTimecode(text, start, dropFrame))
        return;
    info.present = true;
    info.start = start;
    info.dropFrame = dropFrame;
    info.reel = reel ? reel : "";
    if (IsValidRate(rate)) {
        int scale = 0, size = 0;
        av_reduce(&scale, &size, rate.num, rate.den, INT32_MAX);
        info.timeScale = scale;
        info.sampleSize = size;
    } else if (video.present) {
        info.timeScale = video.timeScale;
        info.sampleSize = video.sampleSize;
    }
}

void ReadCreationTime(AVFormatContext const* container, CreationTime& info) {
    const char* text = MetadataValue(container->metadata, "creation_time");
    for (unsigned i = 0; !text && i < container->nb_streams; ++i)
        text = MetadataValue(container->streams[i]->metadata, "creation_time");
    if (!text)
        return;
    CreationTime t;
    if (std::sscanf(text, "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d", &t.year, &t.month, &t.day, &t.hours,
                    &t.minutes, &t.seconds) != 6)
        return;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hours > 23 || t.minutes > 59 ||
        t.seconds > 60)
        return;
    t.present = true;
    info = t;
}

}  // namespace vireo::engine::detail
