// Choosing the tracks of a trim, checking the range, and the work from the first packet read to
// the finished file (the packets themselves: TrimPackets.cpp).
#include "TrimWriter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/codec_desc.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "OutputFile.h"
#include "SourceInput.h"
#include "TrimStreamPlan.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"

namespace vireo::server::files {

TrimWriter::TrimWriter(SourceInput& source, TimeRange const& range, TrimControl const& control)
    : mSource(source), mRange(range), mControl(control) {}

TrimWriter::~TrimWriter() {
    ClearPending();
    if (mOutput != nullptr) {
        avformat_free_context(mOutput);
    }
}

std::int32_t TrimWriter::Plan() {
    AVFormatContext* input = mSource.Format();
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        std::int32_t const result = PlanStream(int(i));
        if (result != engine::kOK) {
            return result;
        }
    }
    auto const find = [&](Role role, int best) -> std::ptrdiff_t {
        std::ptrdiff_t first = -1;
        for (std::size_t i = 0; i < mPlans.size(); ++i) {
            if (mPlans[i]->role == role) {
                if (mPlans[i]->input == best) {
                    return std::ptrdiff_t(i);
                }
                first = first < 0 ? std::ptrdiff_t(i) : first;
            }
        }
        return first;
    };
    std::ptrdiff_t reference =
        find(Role::kVideo, av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0));
    if (reference < 0) {
        reference =
            find(Role::kAudio, av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0));
    }
    if (reference < 0) {
        return engine::kErrNoDecodableStream;
    }
    mReference = std::size_t(reference);
    SetStreamTimes();
    return CheckRange();
}

std::int32_t TrimWriter::PlanStream(int index) {
    AVStream const* stream = mSource.Format()->streams[index];
    AVCodecParameters const* parameters = stream->codecpar;
    Role role = Role::kVideo;
    switch (parameters->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            if ((stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
                return engine::kOK;  // cover art is not a track
            }
            role = Role::kVideo;
            break;
        case AVMEDIA_TYPE_AUDIO:
            role = Role::kAudio;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (parameters->codec_id == AV_CODEC_ID_MOV_TEXT) {
                role = Role::kText;
            } else if (parameters->codec_id == AV_CODEC_ID_EIA_608) {
                role = Role::kCaption;
            } else {
                return engine::kOK;  // subtitle formats a QuickTime movie does not hold
            }
            break;
        default:
            // Data tracks: a timecode track is made anew from the first frame kept; chapters
            // come through the container's chapter list; others are dropped.
            return engine::kOK;
    }
    if (role == Role::kVideo || role == Role::kAudio) {
        AVOutputFormat const* quicktime = av_guess_format("mov", nullptr, nullptr);
        if (parameters->codec_id == AV_CODEC_ID_NONE || quicktime == nullptr ||
            avformat_query_codec(quicktime, parameters->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
            return kErrTrimUnsupportedMovie;
        }
    }
    auto plan = std::make_unique<StreamPlan>();
    plan->input = index;
    plan->role = role;
    mPlans.push_back(std::move(plan));
    return engine::kOK;
}

void TrimWriter::SetStreamTimes() {
    AVFormatContext* input = mSource.Format();
    AVStream const* reference = input->streams[mPlans[mReference]->input];
    std::int64_t const referenceOrigin =
        reference->start_time != AV_NOPTS_VALUE ? reference->start_time : 0;
    AVRational const rangeBase{1, int(mRange.scale)};
    for (auto& plan : mPlans) {
        AVStream const* stream = input->streams[plan->input];
        AVCodecParameters const* parameters = stream->codecpar;
        plan->tb = stream->time_base;
        plan->origin = av_rescale_q(referenceOrigin, reference->time_base, plan->tb);
        plan->inTs =
            plan->origin + av_rescale_q_rnd(mRange.start, rangeBase, plan->tb, AV_ROUND_NEAR_INF);
        plan->endTs =
            plan->origin + av_rescale_q_rnd(mRange.end, rangeBase, plan->tb, AV_ROUND_NEAR_INF);
        plan->needFrom = plan->inTs;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            std::int64_t const start =
                stream->start_time != AV_NOPTS_VALUE ? stream->start_time : plan->origin;
            plan->declaredEnd = start + stream->duration;
        } else if (input->duration != AV_NOPTS_VALUE && input->duration > 0) {
            std::int64_t const start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
            plan->declaredEnd =
                av_rescale_q(start + input->duration, AVRational{1, AV_TIME_BASE}, plan->tb);
        }
        if (plan->role == Role::kVideo && stream->avg_frame_rate.num > 0 &&
            stream->avg_frame_rate.den > 0) {
            plan->frameDuration = av_rescale_q(1, av_inv_q(stream->avg_frame_rate), plan->tb);
        }
        if (plan->role == Role::kAudio && parameters->sample_rate > 0) {
            AVRational const sampleBase{1, parameters->sample_rate};
            int const bits = av_get_exact_bits_per_sample(parameters->codec_id);
            int const channels = parameters->ch_layout.nb_channels;
            if (bits > 0 && channels > 0 && (bits * channels) % 8 == 0) {
                plan->pcmFrameBytes = bits * channels / 8;
            }
            if (parameters->frame_size > 0) {
                plan->frameDuration = av_rescale_q(parameters->frame_size, sampleBase, plan->tb);
            }
            // Lossy audio (AAC, MP3, ...) decodes its first samples from the packets before
            // them (overlapping transforms); lossless packets (PCM, FLAC, ALAC) stand alone.
            AVCodecDescriptor const* descriptor = avcodec_descriptor_get(parameters->codec_id);
            bool const lossless =
                descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS) != 0;
            if (!lossless) {
                std::int64_t const samples = std::max<std::int64_t>(
                    parameters->seek_preroll, 2 * std::max(parameters->frame_size, 1024));
                plan->preroll = av_rescale_q(samples, sampleBase, plan->tb);
                plan->needFrom = plan->inTs - plan->preroll;
            }
        }
    }
}

std::int32_t TrimWriter::CheckRange() const {
    AVRational const rangeBase{1, int(mRange.scale)};
    bool known = false;
    std::int64_t longest = 0;
    AVRational longestBase{1, 1};
    for (auto const& plan : mPlans) {
        if (plan->role != Role::kVideo && plan->role != Role::kAudio) {
            continue;
        }
        if (plan->declaredEnd == AV_NOPTS_VALUE) {
            continue;
        }
        std::int64_t const end = plan->declaredEnd - plan->origin;
        if (!known || av_compare_ts(end, plan->tb, longest, longestBase) > 0) {
            longest = end;
            longestBase = plan->tb;
            known = true;
        }
    }
    if (!known) {
        return engine::kOK;  // the movie does not tell its length: its packets will
    }
    if (av_compare_ts(mRange.start, rangeBase, longest, longestBase) >= 0 ||
        av_compare_ts(mRange.end, rangeBase, longest, longestBase) > 0) {
        return kErrTrimOutOfRange;
    }
    return engine::kOK;
}

std::int32_t TrimWriter::CreateOutput(OutputFile& output) {
    AVFormatContext* input = mSource.Format();
    if (avformat_alloc_output_context2(&mOutput, nullptr, "mov", nullptr) < 0 ||
        mOutput == nullptr) {
        return engine::kErrOutOfMemory;
    }
    mOutput->pb = output.Io();
    av_dict_copy(&mOutput->metadata, input->metadata, 0);
    for (auto& plan : mPlans) {
        AVStream const* stream = input->streams[plan->input];
        AVStream* out = avformat_new_stream(mOutput, nullptr);
        if (out == nullptr || avcodec_parameters_copy(out->codecpar, stream->codecpar) < 0) {
            return engine::kErrOutOfMemory;
        }
        // Keep the source's sample description code where QuickTime knows it for this codec;
        // otherwise (an AVI's 'MJPG', say) the muxer chooses.
        std::uint32_t const tag = stream->codecpar->codec_tag;
        if (tag != 0 &&
            av_codec_get_id(mOutput->oformat->codec_tag, tag) != stream->codecpar->codec_id) {
            out->codecpar->codec_tag = 0;
        }
        out->time_base = stream->time_base;
        out->avg_frame_rate = stream->avg_frame_rate;
        out->r_frame_rate = stream->r_frame_rate;
        out->sample_aspect_ratio = stream->sample_aspect_ratio;
        out->disposition = stream->disposition;
        av_dict_copy(&out->metadata, stream->metadata, 0);
        for (int i = 0; i < stream->nb_side_data; ++i) {
            AVPacketSideData const& side = stream->side_data[i];
            std::uint8_t* copy = av_stream_new_side_data(out, side.type, side.size);
            if (copy == nullptr) {
                return engine::kErrOutOfMemory;
            }
            std::memcpy(copy, side.data, side.size);
        }
        plan->out = out;
    }
    return engine::kOK;
}

std::int32_t TrimWriter::Write(OutputFile& output) {
    std::int32_t result = CreateOutput(output);
    if (result != engine::kOK) {
        return result;
    }
    if (mControl.progress) {
        mControl.progress(0.0);
        mReported = 0;
    }
    // Start reading a little before the range (a second, plus the audio's warm-up), where the
    // file allows seeking. Caption and text tracks hold few samples, one of which may begin
    // long before the range and last into it: with those, the file is read from its start.
    StreamPlan const& reference = *mPlans[mReference];
    AVStream const* referenceStream = mSource.Format()->streams[reference.input];
    std::int64_t const streamStart = referenceStream->start_time != AV_NOPTS_VALUE
                                         ? referenceStream->start_time
                                         : reference.origin;
    std::int64_t margin = av_rescale_q(1, AVRational{1, 1}, reference.tb);
    bool fromStart = false;
    for (auto const& plan : mPlans) {
        margin = std::max(margin, av_rescale_q(1, AVRational{1, 1}, reference.tb) +
                                      av_rescale_q(plan->preroll, plan->tb, reference.tb));
        fromStart = fromStart || plan->role == Role::kText || plan->role == Role::kCaption;
    }
    std::int64_t const target = reference.inTs - margin;
    if (!fromStart && target > streamStart) {
        if (av_seek_frame(mSource.Format(), reference.input, target, AVSEEK_FLAG_BACKWARD) < 0) {
            fromStart = true;
            result = mSource.OpenMedia();
            if (result != engine::kOK) {
                return result;
            }
        }
    } else {
        fromStart = true;
    }
    mProgressFrom = fromStart ? streamStart : target;

    for (;;) {
        bool restart = false;
        result = CopyPackets(output, fromStart, restart);
        if (!restart) {
            break;
        }
        // The seek landed after what some track needs: read the file from its start.
        ClearPending();
        for (auto& plan : mPlans) {
            plan->seen = plan->started = plan->decided = plan->done = false;
        }
        result = mSource.OpenMedia();
        if (result != engine::kOK) {
            return result;
        }
        fromStart = true;
        mProgressFrom = streamStart;
    }
    if (result != engine::kOK) {
        return result;
    }
    if (av_write_trailer(mOutput) < 0) {
        return output.WriteFailed() ? kErrTrimWriteFailed : kErrTrimUnsupportedMovie;
    }
    output.CloseIo();
    if (output.WriteFailed()) {
        return kErrTrimWriteFailed;
    }
    return SetEditLists(output.Fd(), Timings(), mRange.end - mRange.start, mRange.scale);
}

}  // namespace vireo::server::files
