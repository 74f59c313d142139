#include "VideoReader.h"

#include <algorithm>

#include "Container.h"
#include "engine/Errors.h"

namespace vireo::engine::detail {

namespace {

constexpr int kMaxSeeks = 12;             // backing off further before starting from the top
constexpr int kMaxBadPackets = 64;        // consecutive packets the decoder refuses
constexpr int kMaxSkippedPackets = 2000;  // non-key packets skipped after a seek
constexpr int kMaxEmptyReads = 1000;      // demuxer reads that give nothing (EAGAIN)

// `from` less `step` doubled `times` times, saturating (timestamps of damaged files may be
// anywhere in the 64-bit range).
std::int64_t BackOff(std::int64_t from, std::int64_t step, int times) {
    std::int64_t distance = std::max<std::int64_t>(step, 1);
    for (int i = 0; i < times && distance < INT64_MAX / 2; ++i)
        distance *= 2;
    return av_sat_sub64(from, distance);
}

std::int64_t PacketTime(AVPacket const* packet) {
    return packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
}

void DiscardOthers(AVFormatContext* container, int index) {
    for (unsigned i = 0; i < container->nb_streams; ++i)
        container->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
}

}  // namespace

std::int32_t VideoReader::Create(std::string const& path, FormatPtr container, int index,
                                 int threads, std::int32_t openTimeLimitMs,
                                 std::unique_ptr<VideoReader>& reader) {
    std::unique_ptr<VideoReader> made(new VideoReader());
    AVStream* stream = container->streams[index];
    DiscardOthers(container.get(), index);
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return kErrNoVideo;
    made->mDecoder.reset(avcodec_alloc_context3(codec));
    made->mPacket.reset(av_packet_alloc());
    if (!made->mDecoder || !made->mPacket)
        return kErrOutOfMemory;
    if (avcodec_parameters_to_context(made->mDecoder.get(), stream->codecpar) < 0)
        return kErrCorrupt;
    made->mDecoder->pkt_timebase = stream->time_base;
    made->mDecoder->thread_count = threads;
    made->mDecoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(made->mDecoder.get(), codec, nullptr) < 0)
        return kErrNoVideo;
    AVRational rate =
        stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0)
        made->mNominalDuration =
            std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), stream->time_base));
    made->mStream = stream;
    made->mPath = path;
    made->mIndex = index;
    made->mOpenTimeLimitMs = openTimeLimitMs;
    made->mContainer = std::move(container);
    reader = std::move(made);
    return kOK;
}

std::int32_t VideoReader::ReadFirstFrame(AVFrame const*& frame) {
    while (mQueue.empty() && !mDecoderEnd) {
        std::int32_t result = DecodeOne();
        if (result != kOK)
            return result;
    }
    if (mQueue.empty())
        return kErrCorrupt;
    mStartPts = mQueue.front().pts;
    frame = mQueue.front().frame.get();
    return kOK;
}

VideoReader::Lookup VideoReader::Locate(std::int64_t target) {
    if (mQueue.empty())
        return Lookup::NeedMore;
    if (target < mQueue.front().pts) {
        // Nothing comes before the first frame of the stream: it is shown from time 0.
        return mQueue.front().pts <= mStartPts ? Lookup::Found : Lookup::Behind;
    }
    std::size_t last = 0;
    while (last + 1 < mQueue.size() && mQueue[last + 1].pts <= target)
        ++last;
    mQueue.erase(mQueue.begin(), mQueue.begin() + std::ptrdiff_t(last));
    return mQueue.size() > 1 || mDecoderEnd ? Lookup::Found : Lookup::NeedMore;
}

bool VideoReader::FarAhead(std::int64_t target) const {
    if (mDemuxEnd)
        return false;
    std::int64_t position = mLastPts != AV_NOPTS_VALUE ? mLastPts : mStartPts;
    if (position == AV_NOPTS_VALUE)
        return false;
    // Up to a second of frames is decoded rather than sought over.
    std::int64_t oneSecond = av_rescale_q(1, AVRational{1, 1}, mStream->time_base);
    if (av_sat_sub64(target, position) <= oneSecond)
        return false;
    int index = av_index_search_timestamp(mStream, target, AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* entry = index >= 0 ? avformat_index_get_entry(mStream, index) : nullptr;
    if (!entry)
        return true;  // no index: seeking by timestamp beats decoding everything
    return mLastPacketDts == AV_NOPTS_VALUE || entry->timestamp > mLastPacketDts;
}

void VideoReader::ResetDecoding() {
    avcodec_flush_buffers(mDecoder.get());
    mQueue.clear();
    mDemuxEnd = mDecoderEnd = false;
    mNeedKeyframe = true;
    mSkippedPackets = 0;
    mLastPts = mLastPacketDts = mStartKeyDts = AV_NOPTS_VALUE;
}

std::int32_t VideoReader::Seek(std::int64_t timestamp) {
    ++mSeeks;
    if (timestamp == INT64_MIN)
        return Rewind();
    if (av_seek_frame(mContainer.get(), mIndex, timestamp, AVSEEK_FLAG_BACKWARD) < 0) {
        // Before the first key frame, or a demuxer that cannot seek there: start from the top.
        return Rewind();
    }
    ResetDecoding();
    return kOK;
}

std::int32_t VideoReader::Rewind() {
    // Opening the file again is the one way to the start that every demuxer supports.
    FormatPtr container;
    std::int32_t result =
        OpenContainer(mPath, mContainer->iformat, OpeningDeadline(mOpenTimeLimitMs), container);
    if (result != kOK)
        return result;
    if (unsigned(mIndex) >= container->nb_streams)
        return kErrCorrupt;
    DiscardOthers(container.get(), mIndex);
    mContainer = std::move(container);
    mStream = mContainer->streams[mIndex];
    ResetDecoding();
    return kOK;
}

std::int32_t VideoReader::FrameAt(std::int64_t target, AVFrame const*& frame) {
    int seeks = 0;
    bool sought = false;
    std::int64_t seekTo = target;
    for (;;) {
        Lookup where = Locate(target);
        if (where == Lookup::Found) {
            Decoded const& found = mQueue.front();
            // Past the end of what the file holds (a truncated file): more than a frame beyond
            // the last frame's end is not that frame any more.
            if (mDecoderEnd && mQueue.size() == 1 &&
                target >= av_sat_add64(av_sat_add64(found.pts, found.duration), mNominalDuration))
                return kErrFrameUnavailable;
            frame = found.frame.get();
            return kOK;
        }
        bool seek = false;
        if (where == Lookup::Behind) {
            seek = true;
            if (sought) {
                // The key frame we landed on shows after the target (reordered frames): back
                // off before it, further each time.
                std::int64_t from =
                    mStartKeyDts != AV_NOPTS_VALUE ? std::min(mStartKeyDts, seekTo) : seekTo;
                seekTo = BackOff(from, mNominalDuration, std::min(seeks, 20));
            }
        } else if (mDecoderEnd) {
            if (!sought)
                return kErrFrameUnavailable;
            seek = true;  // landed beyond the end after a seek: back off
            seekTo = BackOff(seekTo, mNominalDuration, std::min(seeks, 20));
        } else if (!sought && FarAhead(target)) {
            seek = true;
        }
        if (seek) {
            if (++seeks > kMaxSeeks)
                seekTo = INT64_MIN;
            if (seeks > kMaxSeeks + 1)
                return kErrDecodeFailed;
            std::int32_t result = Seek(seekTo);
            if (result != kOK)
                return result;
            sought = true;
            continue;
        }
        std::int32_t result = DecodeOne();
        if (result != kOK)
            return result;
    }
}

std::int32_t VideoReader::DecodeAhead(int count) {
    while (!mDecoderEnd && mQueue.size() < std::size_t(count) + 1) {
        std::int32_t result = DecodeOne();
        if (result != kOK)
            return result;
    }
    return kOK;
}

std::int32_t VideoReader::ReceiveFrame(Received& outcome) {
    outcome = Received::Again;
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return kErrOutOfMemory;
    int ret = avcodec_receive_frame(mDecoder.get(), frame.get());
    if (ret == AVERROR(EAGAIN))
        return kOK;
    if (ret == AVERROR_EOF) {
        mDecoderEnd = true;
        outcome = Received::End;
        return kOK;
    }
    if (ret == AVERROR(ENOMEM))
        return kErrOutOfMemory;
    if (ret < 0) {
        // A frame the decoder could not make from damaged data (with frame threads the error of
        // a packet shows here, not when it was sent). Later frames still decode; only a run of
        // failures ends the read, so the answer for a frame does not depend on where the decoder
        // happened to stand when it met the damage.
        outcome = Received::Damaged;
        return ++mBadPackets > kMaxBadPackets ? kErrDecodeFailed : kOK;
    }
    mBadPackets = 0;
    std::int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE)
        pts = frame->pts;
    if (mLastPts != AV_NOPTS_VALUE && (pts == AV_NOPTS_VALUE || pts <= mLastPts)) {
        // Missing or repeated timestamps: place the frame one nominal period after the last.
        pts = av_sat_add64(mLastPts, mNominalDuration);
    } else if (pts == AV_NOPTS_VALUE) {
        pts = mStartPts != AV_NOPTS_VALUE ? mStartPts : 0;
    }
    mLastPts = pts;
    ++mFramesDecoded;
    std::int64_t duration = frame->pkt_duration > 0 ? frame->pkt_duration : mNominalDuration;
    mQueue.push_back(Decoded{std::move(frame), pts, duration});
    outcome = Received::Frame;
    return kOK;
}

std::int32_t VideoReader::DecodeOne() {
    int emptyReads = 0;
    for (;;) {
        Received outcome = Received::Again;
        std::int32_t result = ReceiveFrame(outcome);
        if (result != kOK || outcome == Received::Frame || outcome == Received::End)
            return result;
        if (outcome == Received::Damaged)
            continue;  // the decoder may hold further frames
        if (mDemuxEnd)
            return kErrDecodeFailed;  // drained decoder that neither ends nor gives

        AVPacket* packet = mPacket.get();
        int ret = av_read_frame(mContainer.get(), packet);
        if (ret == AVERROR(EAGAIN) && ++emptyReads < kMaxEmptyReads)
            continue;
        if (ret < 0) {
            // End of file, or a read error in a damaged file: give the decoder what it holds.
            mDemuxEnd = true;
            avcodec_send_packet(mDecoder.get(), nullptr);
            continue;
        }
        if (packet->stream_index != mStream->index) {
            av_packet_unref(packet);
            continue;
        }
        if (mNeedKeyframe) {
            // After a seek, decoding starts at a key frame; demuxers without an index may land
            // anywhere.
            if (!(packet->flags & AV_PKT_FLAG_KEY) && ++mSkippedPackets < kMaxSkippedPackets) {
                av_packet_unref(packet);
                continue;
            }
            mNeedKeyframe = false;
            mStartKeyDts = PacketTime(packet);
        }
        if (PacketTime(packet) != AV_NOPTS_VALUE)
            mLastPacketDts = PacketTime(packet);
        ret = avcodec_send_packet(mDecoder.get(), packet);
        av_packet_unref(packet);
        if (ret == AVERROR_INVALIDDATA) {
            if (++mBadPackets > kMaxBadPackets)
                return kErrDecodeFailed;
            continue;
        }
        if (ret < 0 && ret != AVERROR(EAGAIN))
            return kErrDecodeFailed;
        mBadPackets = 0;
    }
}

}  // namespace vireo::engine::detail
