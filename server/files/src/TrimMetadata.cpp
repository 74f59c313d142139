// What a trimmed movie says besides its tracks' media: its timecode and its chapters.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/timecode.h>
}

#include "SourceInput.h"
#include "TrimStreamPlan.h"
#include "TrimWriter.h"

namespace vireo::server::files {

namespace {

char const* Entry(AVDictionary const* dictionary, char const* key) {
    AVDictionaryEntry const* entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry != nullptr && entry->value != nullptr && *entry->value != '\0' ? entry->value
                                                                                : nullptr;
}

// The source's timecode track (FFmpeg shows a QuickTime 'tmcd' track as a data stream).
AVStream const* TimecodeStream(AVFormatContext const* input) {
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream const* stream = input->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_DATA &&
            stream->codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd')) {
            return stream;
        }
    }
    return nullptr;
}

}  // namespace

std::int64_t TrimWriter::FirstShownTime(std::size_t index) const {
    // The frame shown at the range's start is the last one presented at or before it; when the
    // track starts later, its first frame.
    StreamPlan const& plan = *mPlans[index];
    std::int64_t shown = AV_NOPTS_VALUE;
    std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
    std::vector<AVPacket const*> packets;
    for (Pending const& pending : mPending) {
        if (pending.plan == index) {
            packets.push_back(pending.packet);
        }
    }
    if (plan.held != nullptr) {
        packets.push_back(plan.held);
    }
    for (AVPacket const* packet : packets) {
        std::int64_t const pts = PresentationTime(packet);
        earliest = std::min(earliest, pts);
        if (pts <= plan.inTs && (shown == AV_NOPTS_VALUE || pts > shown)) {
            shown = pts;
        }
    }
    if (shown == AV_NOPTS_VALUE && earliest != std::numeric_limits<std::int64_t>::max()) {
        shown = earliest;
    }
    return shown;
}

void TrimWriter::SetTimecodes() {
    // The muxer makes a timecode track for each video track that carries a "timecode" entry,
    // starting at that timecode; a container entry would apply to every video track, so the
    // source's (wherever it was) moves to the tracks, advanced to the first frame kept.
    AVFormatContext const* input = mSource.Format();
    AVStream const* timecodeTrack = TimecodeStream(input);
    for (std::size_t i = 0; i < mPlans.size(); ++i) {
        StreamPlan const& plan = *mPlans[i];
        if (plan.role != Role::kVideo) {
            continue;
        }
        AVStream const* stream = input->streams[plan.input];
        av_dict_set(&plan.out->metadata, "timecode", nullptr, 0);
        char const* start = Entry(stream->metadata, "timecode");
        if (start == nullptr && i == mReference) {
            start = timecodeTrack != nullptr ? Entry(timecodeTrack->metadata, "timecode") : nullptr;
            start = start != nullptr ? start : Entry(input->metadata, "timecode");
        }
        AVRational rate = stream->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) {
            rate = stream->r_frame_rate;
        }
        std::int64_t const shown = FirstShownTime(i);
        AVTimecode timecode{};
        if (start == nullptr || rate.num <= 0 || rate.den <= 0 || shown == AV_NOPTS_VALUE ||
            av_timecode_init_from_string(&timecode, rate, start, nullptr) < 0) {
            continue;
        }
        std::int64_t const frames = std::clamp<std::int64_t>(
            av_rescale_q_rnd(shown - plan.origin, plan.tb, av_inv_q(rate), AV_ROUND_NEAR_INF), 0,
            std::numeric_limits<int>::max());
        char text[AV_TIMECODE_STR_SIZE] = {};
        av_timecode_make_string(&timecode, text, int(frames));
        av_dict_set(&plan.out->metadata, "timecode", text, 0);
        if (Entry(plan.out->metadata, "reel_name") == nullptr && timecodeTrack != nullptr) {
            if (char const* reel = Entry(timecodeTrack->metadata, "reel_name")) {
                av_dict_set(&plan.out->metadata, "reel_name", reel, 0);
            }
        }
    }
    av_dict_set(&mOutput->metadata, "timecode", nullptr, 0);
}

bool TrimWriter::CopyChapters() {
    AVFormatContext const* input = mSource.Format();
    StreamPlan const& reference = *mPlans[mReference];
    AVRational const rangeBase{1, int(mRange.scale)};
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        AVChapter const* chapter = input->chapters[i];
        AVRational const base = chapter->time_base;
        if (base.num <= 0 || base.den <= 0) {
            continue;
        }
        std::int64_t const origin = av_rescale_q(reference.origin, reference.tb, base);
        std::int64_t const start = origin + av_rescale_q(mRange.start, rangeBase, base);
        std::int64_t const end = origin + av_rescale_q(mRange.end, rangeBase, base);
        if (chapter->end <= start || chapter->start >= end) {
            continue;
        }
        auto* copy = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        void* grown =
            copy != nullptr
                ? av_realloc_array(mOutput->chapters, mOutput->nb_chapters + 1, sizeof(AVChapter*))
                : nullptr;
        if (grown == nullptr) {
            av_free(copy);
            return false;
        }
        mOutput->chapters = static_cast<AVChapter**>(grown);
        copy->id = chapter->id;
        copy->time_base = base;
        copy->start = std::max(chapter->start, start) - start;
        copy->end = std::min(chapter->end, end) - start;
        av_dict_copy(&copy->metadata, chapter->metadata, 0);
        mOutput->chapters[mOutput->nb_chapters++] = copy;
    }
    return true;
}

}  // namespace vireo::server::files
