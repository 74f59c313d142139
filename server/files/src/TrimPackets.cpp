// Reading the source's packets, choosing those a trim keeps, and writing them.
#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "OutputFile.h"
#include "SourceInput.h"
#include "TrimStreamPlan.h"
#include "TrimWriter.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"

namespace vireo::server::files {

namespace {

// Pending packets wait for every track to show its first one (see ReadyForHeader); beyond this
// much they are written without waiting for tracks that show nothing.
constexpr std::size_t kMaxPendingBytes = 64u << 20;

}  // namespace

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
