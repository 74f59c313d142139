#include "TrimWriter.h"
#include "TrimStreamPlan.h"

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
#include "engine/Errors.h"
#include "files/FileErrors.h"

namespace vireo::server::files {

namespace {

// Pending packets wait for every track to show its first one (see ReadyForHeader); beyond this
// much they are written without waiting for tracks that show nothing.
constexpr std::size_t kMaxPendingBytes = 64u << 20;

std::int64_t PresentationTime(AVPacket const* packet) {
    return packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
}

std::int64_t DecodingTime(AVPacket const* packet) {
    return packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
}

}  // namespace

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
            plan->declaredEnd = av_rescale_q(start + input->duration, AV_TIME_BASE_Q, plan->tb);
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

std::int32_t TrimWriter::CopyPackets(OutputFile& output, bool fromStart, bool& restart) {
    AVFormatContext* input = mSource.Format();
    std::vector<std::ptrdiff_t> planOf(input->nb_streams, -1);
    for (std::size_t i = 0; i < mPlans.size(); ++i) {
        planOf[std::size_t(mPlans[i]->input)] = std::ptrdiff_t(i);
        input->streams[mPlans[i]->input]->discard = AVDISCARD_DEFAULT;
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (planOf[i] < 0) {
            input->streams[i]->discard = AVDISCARD_ALL;  // not read at all
        }
    }
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        return engine::kErrOutOfMemory;
    }
    mWriteError = engine::kOK;
    std::int32_t result = engine::kOK;
    for (;;) {
        if (mControl.cancel != nullptr && mControl.cancel->load()) {
            result = kErrTrimCancelled;
            break;
        }
        int const read = av_read_frame(input, packet);
        if (read == AVERROR_EOF) {
            break;
        }
        if (read < 0) {
            result = read == AVERROR(ENOMEM) ? std::int32_t(engine::kErrOutOfMemory)
                                             : std::int32_t(kErrTrimSourceDamaged);
            break;
        }
        std::ptrdiff_t const index =
            packet->stream_index >= 0 && unsigned(packet->stream_index) < planOf.size()
                ? planOf[std::size_t(packet->stream_index)]
                : -1;
        if (index < 0) {
            av_packet_unref(packet);
            continue;
        }
        StreamPlan& plan = *mPlans[std::size_t(index)];
        ReportProgress(plan, packet);
        AVPacket* owned = av_packet_alloc();
        if (owned == nullptr) {
            av_packet_unref(packet);
            result = engine::kErrOutOfMemory;
            break;
        }
        av_packet_move_ref(owned, packet);
        Step const step = Take(plan, std::size_t(index), owned, fromStart);
        if (step == Step::kRestart) {
            restart = true;
            break;
        }
        if (step == Step::kFailed) {
            result = mWriteError;
            break;
        }
        if (!mHeaderWritten && ReadyForHeader()) {
            result = WriteHeader(output);
            if (result != engine::kOK) {
                break;
            }
        }
        if (AllDone()) {
            break;
        }
    }
    av_packet_free(&packet);
    if (result != engine::kOK || restart) {
        return result;
    }
    for (std::size_t i = 0; i < mPlans.size(); ++i) {
        mPlans[i]->decided = true;  // the file has ended: no later frame can change the start
        if (EndTrack(*mPlans[i], i) == Step::kFailed) {
            return mWriteError;
        }
    }
    return mHeaderWritten ? engine::kOK : WriteHeader(output);
}

TrimWriter::Step TrimWriter::Take(StreamPlan& plan, std::size_t index, AVPacket* packet,
                                  bool fromStart) {
    auto const drop = [&packet] {
        av_packet_free(&packet);
        return Step::kContinue;
    };
    std::int64_t pts = PresentationTime(packet);
    std::int64_t const dts = DecodingTime(packet);
    if (pts == AV_NOPTS_VALUE) {
        if (plan.role == Role::kVideo || plan.role == Role::kAudio) {
            av_packet_free(&packet);
            mWriteError = kErrTrimUnsupportedMovie;  // a stream without times cannot be cut
            return Step::kFailed;
        }
        return drop();
    }
    if (packet->duration <= 0) {
        packet->duration = plan.frameDuration;
    }
    bool const first = !plan.seen;
    plan.seen = true;
    // A seek that went past what a track needs is noticed on the track's first packet, before
    // anything was written.
    bool const mayRestart = !fromStart && !mHeaderWritten && first;
    if (plan.done) {
        return drop();
    }
    switch (plan.role) {
        case Role::kVideo:
            if (!plan.decided) {
                bool const key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
                // From the file's start, its first frame is a place to start decoding even
                // when not marked as a key frame.
                bool const startHere = (key || (fromStart && first)) && pts <= plan.inTs;
                if (mayRestart && !startHere) {
                    av_packet_free(&packet);
                    return Step::kRestart;
                }
                if (startHere) {
                    DropPending(index);  // a later key frame at or before the range serves
                    plan.started = true;
                } else if (!plan.started && key) {
                    // The track starts after the range does.
                    plan.started = true;
                    plan.decided = true;
                }
                if (!plan.started) {
                    return drop();  // nothing before a key frame can be decoded
                }
                // No frame decoded after this one is shown at the range's start.
                if (dts > plan.inTs) {
                    plan.decided = true;
                }
            }
            // Frames shown before the end, and the frames they refer to, decode before it.
            if (dts >= plan.endTs) {
                plan.done = plan.reachedEnd = true;
                drop();
                return EndTrack(plan, index);
            }
            break;
        case Role::kAudio:
            if (mayRestart && pts > plan.needFrom) {
                av_packet_free(&packet);
                return Step::kRestart;
            }
            if (pts >= plan.endTs) {
                plan.done = plan.reachedEnd = true;
                return drop();
            }
            if (pts + packet->duration <= plan.needFrom) {
                return drop();
            }
            if (pts + packet->duration > plan.endTs && plan.pcmFrameBytes > 0 &&
                !CutAtRangeEnd(plan, packet)) {
                av_packet_free(&packet);
                mWriteError = engine::kErrOutOfMemory;
                return Step::kFailed;
            }
            break;
        case Role::kText: {
            if (pts >= plan.endTs) {
                plan.done = true;
                return drop();
            }
            std::int64_t const end = pts + packet->duration;
            if (end <= plan.inTs) {
                return drop();
            }
            // A text that begins before the range is shown from its start; one that ends
            // after it, up to its end.
            if (pts < plan.inTs) {
                packet->pts = packet->dts = pts = plan.inTs;
            }
            packet->duration = std::min(end, plan.endTs) - pts;
            break;
        }
        case Role::kCaption:
            // Caption samples are a stream of commands: those within the range are kept whole.
            if (pts >= plan.endTs) {
                plan.done = true;
                return drop();
            }
            if (pts < plan.inTs) {
                return drop();
            }
            break;
    }
    if (plan.role == Role::kVideo) {
        // Held back one packet: the last one kept may need a longer duration (see EndTrack).
        std::swap(packet, plan.held);
        if (packet == nullptr) {
            return Step::kContinue;
        }
    }
    return Emit(plan, index, packet);
}

bool TrimWriter::CutAtRangeEnd(StreamPlan const& plan, AVPacket* packet) {
    // Uncompressed samples stand alone: the packet that runs past the range's end is cut
    // there, so the media themselves end with the range and not only the edit list (readers
    // differ in how closely they follow an edit's end).
    int const rate = mSource.Format()->streams[plan.input]->codecpar->sample_rate;
    std::int64_t const keep = av_rescale_q_rnd(plan.endTs - PresentationTime(packet), plan.tb,
                                               AVRational{1, rate}, AV_ROUND_NEAR_INF);
    std::int64_t const bytes = keep * plan.pcmFrameBytes;
    if (keep <= 0 || bytes >= packet->size) {
        return true;
    }
    if (av_packet_make_writable(packet) < 0) {
        return false;
    }
    av_shrink_packet(packet, int(bytes));
    packet->duration = av_rescale_q(keep, AVRational{1, rate}, plan.tb);
    return true;
}

TrimWriter::Step TrimWriter::Emit(StreamPlan& plan, std::size_t index, AVPacket* packet) {
    if (!mHeaderWritten) {
        mPendingBytes += std::size_t(std::max(packet->size, 0));
        mPending.push_back({index, packet});
        return Step::kContinue;
    }
    std::int32_t const result = WritePacket(plan, packet, *mOutputFile);
    if (result != engine::kOK) {
        mWriteError = result;
        return Step::kFailed;
    }
    return Step::kContinue;
}

TrimWriter::Step TrimWriter::EndTrack(StreamPlan& plan, std::size_t index) {
    AVPacket* last = plan.held;
    plan.held = nullptr;
    if (last == nullptr) {
        return Step::kContinue;
    }
    // A demuxer that does not know how long a frame lasts guesses one frame period (variable
    // frame rates): the last frame kept lasts at least until the next one, which starts at or
    // after the range's end, so the new movie's media reach the range's end.
    std::int64_t const dts = DecodingTime(last);
    if (plan.reachedEnd && dts != AV_NOPTS_VALUE && dts + last->duration < plan.endTs) {
        last->duration = plan.endTs - dts;
    }
    return Emit(plan, index, last);
}

bool TrimWriter::ReadyForHeader() const {
    bool allSeen = true;
    for (auto const& plan : mPlans) {
        if (plan->role == Role::kVideo && !plan->decided) {
            return false;
        }
        if ((plan->role == Role::kVideo || plan->role == Role::kAudio) && !plan->seen) {
            allSeen = false;
        }
    }
    return allSeen || mPendingBytes > kMaxPendingBytes;
}

std::int32_t TrimWriter::WriteHeader(OutputFile& output) {
    SetTimecodes();
    if (!CopyChapters()) {
        return engine::kErrOutOfMemory;
    }
    AVDictionary* options = nullptr;
    // Movie times in the request's own units, so that the range's length is exact.
    av_dict_set_int(&options, "movie_timescale", mRange.scale, 0);
    int const ret = avformat_write_header(mOutput, &options);
    av_dict_free(&options);
    if (ret < 0) {
        return output.WriteFailed() ? kErrTrimWriteFailed : kErrTrimUnsupportedMovie;
    }
    mHeaderWritten = true;
    mOutputFile = &output;
    while (!mPending.empty()) {
        Pending const next = mPending.front();
        mPending.pop_front();
        std::int32_t const result = WritePacket(*mPlans[next.plan], next.packet, output);
        if (result != engine::kOK) {
            return result;
        }
    }
    mPendingBytes = 0;
    return engine::kOK;
}

std::int32_t TrimWriter::WritePacket(StreamPlan& plan, AVPacket* packet, OutputFile& output) {
    packet->stream_index = plan.out->index;
    if (packet->pts != AV_NOPTS_VALUE) {
        packet->pts -= plan.inTs;
    }
    if (packet->dts != AV_NOPTS_VALUE) {
        packet->dts -= plan.inTs;
    }
    // The source's own edit list may have marked packets as not shown; the new edit list
    // decides that now.
    packet->flags &= ~AV_PKT_FLAG_DISCARD;
    packet->pos = -1;
    av_packet_rescale_ts(packet, plan.tb, plan.out->time_base);
    std::int64_t const pts = PresentationTime(packet);
    std::int64_t const dts = DecodingTime(packet);
    std::int64_t const end = pts + std::max<std::int64_t>(packet->duration, 0);
    if (!plan.wrote) {
        plan.wrote = true;
        plan.firstDts = dts;
        plan.minPts = pts;
        plan.maxEnd = end;
    } else {
        plan.minPts = std::min(plan.minPts, pts);
        plan.maxEnd = std::max(plan.maxEnd, end);
    }
    int const ret = av_interleaved_write_frame(mOutput, packet);
    av_packet_free(&packet);
    if (ret < 0) {
        return output.WriteFailed() ? kErrTrimWriteFailed : kErrTrimUnsupportedMovie;
    }
    return engine::kOK;
}

void TrimWriter::DropPending(std::size_t plan) {
    av_packet_free(&mPlans[plan]->held);
    for (auto it = mPending.begin(); it != mPending.end();) {
        if (it->plan == plan) {
            mPendingBytes -= std::min(mPendingBytes, std::size_t(std::max(it->packet->size, 0)));
            av_packet_free(&it->packet);
            it = mPending.erase(it);
        } else {
            ++it;
        }
    }
}

void TrimWriter::ClearPending() {
    for (auto& plan : mPlans) {
        av_packet_free(&plan->held);
    }
    for (Pending& pending : mPending) {
        av_packet_free(&pending.packet);
    }
    mPending.clear();
    mPendingBytes = 0;
}

bool TrimWriter::AllDone() const {
    return std::all_of(mPlans.begin(), mPlans.end(), [](auto const& plan) { return plan->done; });
}

void TrimWriter::ReportProgress(StreamPlan const& plan, AVPacket const* packet) {
    if (!mControl.progress || &plan != mPlans[mReference].get()) {
        return;
    }
    std::int64_t const position = DecodingTime(packet);
    std::int64_t const span = plan.endTs - mProgressFrom;
    if (position == AV_NOPTS_VALUE || span <= 0) {
        return;
    }
    double const fraction =
        0.95 * std::clamp(double(position - mProgressFrom) / double(span), 0.0, 1.0);
    if (fraction >= mReported + 0.01) {
        mReported = fraction;
        mControl.progress(fraction);
    }
}

std::vector<TrackTiming> TrimWriter::Timings() const {
    std::vector<TrackTiming> timings;
    for (auto const& plan : mPlans) {
        if (!plan->wrote) {
            continue;
        }
        TrackTiming timing;
        timing.trackId = std::uint32_t(plan->out->index + 1);
        timing.kind = plan->role == Role::kVideo   ? TrackTiming::Kind::kVideo
                      : plan->role == Role::kAudio ? TrackTiming::Kind::kSound
                                                   : TrackTiming::Kind::kText;
        timing.tbNum = plan->out->time_base.num;
        timing.tbDen = plan->out->time_base.den;
        timing.firstDts = plan->firstDts;
        timing.presentationStart = plan->minPts;
        timing.presentationEnd = plan->maxEnd;
        // A track that went on past the range, or that the source says does, ends with it.
        timing.reachesRangeEnd =
            plan->reachedEnd || (plan->declaredEnd != AV_NOPTS_VALUE &&
                                 (plan->role == Role::kVideo || plan->role == Role::kAudio) &&
                                 plan->declaredEnd >= plan->endTs);
        timings.push_back(timing);
    }
    return timings;
}

}  // namespace vireo::server::files
