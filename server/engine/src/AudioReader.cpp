#include "AudioReader.h"

#include <algorithm>
#include <cstring>

#include "Container.h"
#include "engine/Errors.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace vireo::engine::detail {

namespace {
constexpr int kMaxBadPackets = 64;
constexpr int kMaxEmptyReads = 1000;
}  // namespace

AudioReader::AudioReader(std::string path, const AVInputFormat* format, int stream, int channels,
                         std::int64_t limit, std::int32_t openTimeLimitMs)
    : mPath(std::move(path)),
      mFormat(format),
      mIndex(stream),
      mChannels(channels),
      mLimit(limit),
      mOpenTimeLimitMs(openTimeLimitMs) {}

void AudioReader::Restart() noexcept {
    mResampler.reset();
    mDecoder.reset();
    mContainer.reset();
    mPacket.reset();
    mFrame.reset();
    av_channel_layout_uninit(&mOutputLayout);
    av_channel_layout_uninit(&mInputLayout);
    mInputRate = mOutputRate = 0;
    mInputFormat = -1;
    mPending.clear();
    mPendingOffset = 0;
    mPosition = 0;
    mDemuxEnd = mDecoderEnd = false;
    mBadPackets = 0;
}

std::int32_t AudioReader::Open() {
    std::int32_t result =
        OpenContainer(mPath, mFormat, OpeningDeadline(mOpenTimeLimitMs), mContainer);
    if (result != kOK)
        return result;
    if (unsigned(mIndex) >= mContainer->nb_streams)
        return kErrCorrupt;
    for (unsigned i = 0; i < mContainer->nb_streams; ++i)
        mContainer->streams[i]->discard = int(i) == mIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* stream = mContainer->streams[mIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return kErrNoAudio;
    mDecoder.reset(avcodec_alloc_context3(codec));
    mPacket.reset(av_packet_alloc());
    mFrame.reset(av_frame_alloc());
    if (!mDecoder || !mPacket || !mFrame)
        return kErrOutOfMemory;
    if (avcodec_parameters_to_context(mDecoder.get(), stream->codecpar) < 0)
        return kErrCorrupt;
    mDecoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(mDecoder.get(), codec, nullptr) < 0)
        return kErrNoAudio;
    mOutputRate = stream->codecpar->sample_rate;
    if (stream->codecpar->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
        av_channel_layout_copy(&mOutputLayout, &stream->codecpar->ch_layout) < 0)
        av_channel_layout_default(&mOutputLayout, mChannels);
    return kOK;
}

std::int32_t AudioReader::Convert(AVFrame const* frame) {
    AVChannelLayout input{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
        av_channel_layout_copy(&input, &frame->ch_layout) < 0)
        av_channel_layout_default(&input, frame->ch_layout.nb_channels);
    bool same = mResampler && frame->sample_rate == mInputRate && frame->format == mInputFormat &&
                av_channel_layout_compare(&input, &mInputLayout) == 0;
    if (!same) {
        // A stream that changes its rate or layout midway is converted back to the first one,
        // so the block layout the caller was told about holds.
        std::int32_t result = Drain();
        SwrContext* made = nullptr;
        if (result != kOK ||
            swr_alloc_set_opts2(&made, &mOutputLayout, AV_SAMPLE_FMT_FLT, mOutputRate, &input,
                                AVSampleFormat(frame->format), frame->sample_rate, 0,
                                nullptr) < 0 ||
            swr_init(made) < 0) {
            swr_free(&made);
            av_channel_layout_uninit(&input);
            return kErrDecodeFailed;
        }
        mResampler.reset(made);
        av_channel_layout_uninit(&mInputLayout);
        mInputLayout = input;
        input = AVChannelLayout{};
        mInputRate = frame->sample_rate;
        mInputFormat = frame->format;
    }
    av_channel_layout_uninit(&input);
    return Append(frame->extended_data, frame->nb_samples);
}

std::int32_t AudioReader::Drain() {
    if (!mResampler)
        return kOK;
    return Append(nullptr, 0);
}

std::int32_t AudioReader::Append(const std::uint8_t* const* data, int samples) {
    int room = swr_get_out_samples(mResampler.get(), samples);
    if (room < 0)
        return kErrDecodeFailed;
    if (room == 0)
        return kOK;
    // Drop what was handed out before appending, so the buffer stays about one block long.
    mPending.erase(mPending.begin(), mPending.begin() + std::ptrdiff_t(mPendingOffset));
    mPendingOffset = 0;
    std::size_t used = mPending.size();
    mPending.resize(used + std::size_t(room) * std::size_t(mChannels));
    auto* out = reinterpret_cast<std::uint8_t*>(mPending.data() + used);
    int got =
        swr_convert(mResampler.get(), &out, room, const_cast<const std::uint8_t**>(data), samples);
    if (got < 0)
        return kErrDecodeFailed;
    mPending.resize(used + std::size_t(got) * std::size_t(mChannels));
    return kOK;
}

std::int32_t AudioReader::DecodeMore() {
    int emptyReads = 0;
    for (;;) {
        int ret = avcodec_receive_frame(mDecoder.get(), mFrame.get());
        if (ret == 0) {
            mBadPackets = 0;
            std::int32_t result = Convert(mFrame.get());
            av_frame_unref(mFrame.get());
            return result;
        }
        if (ret == AVERROR_EOF) {
            mDecoderEnd = true;
            return Drain();
        }
        if (ret == AVERROR(ENOMEM))
            return kErrOutOfMemory;
        if (ret != AVERROR(EAGAIN)) {
            // A block lost to damaged data; the rest of the stream still plays.
            if (++mBadPackets > kMaxBadPackets)
                return kErrDecodeFailed;
            continue;
        }
        if (mDemuxEnd)
            return kErrDecodeFailed;

        AVPacket* packet = mPacket.get();
        ret = av_read_frame(mContainer.get(), packet);
        if (ret == AVERROR(EAGAIN) && ++emptyReads < kMaxEmptyReads)
            continue;
        if (ret < 0) {
            mDemuxEnd = true;
            avcodec_send_packet(mDecoder.get(), nullptr);
            continue;
        }
        if (packet->stream_index != mIndex) {
            av_packet_unref(packet);
            continue;
        }
        ret = avcodec_send_packet(mDecoder.get(), packet);
        av_packet_unref(packet);
        if (ret == AVERROR_INVALIDDATA) {
            // A damaged packet loses its samples; the rest of the stream still plays.
            if (++mBadPackets > kMaxBadPackets)
                return kErrDecodeFailed;
            continue;
        }
        if (ret < 0 && ret != AVERROR(EAGAIN))
            return kErrDecodeFailed;
        mBadPackets = 0;
    }
}

std::int64_t AudioReader::PendingFrames() const noexcept {
    return std::int64_t((mPending.size() - mPendingOffset) / std::size_t(mChannels));
}

std::int64_t AudioReader::Read(float* destination, std::int64_t maxFrames) {
    if (!destination || maxFrames <= 0 || mChannels <= 0)
        return kErrBadDestination;
    if (!mContainer) {
        std::int32_t result = Open();
        if (result != kOK) {
            Restart();
            return result;
        }
    }
    std::int64_t wanted = maxFrames;
    if (mLimit >= 0)
        wanted = std::min(wanted, mLimit - mPosition);
    if (wanted <= 0)
        return 0;
    while (PendingFrames() < wanted && !mDecoderEnd) {
        std::int32_t result = DecodeMore();
        if (result != kOK)
            return result;
    }
    std::int64_t count = std::min(PendingFrames(), wanted);
    if (count <= 0)
        return 0;  // the stream ended (nothing was decoded, the buffer may not exist)
    std::size_t values = std::size_t(count) * std::size_t(mChannels);
    std::memcpy(destination, mPending.data() + mPendingOffset, values * sizeof(float));
    mPendingOffset += values;
    mPosition += count;
    return count;
}

void AudioReader::Unread(std::int64_t frames) noexcept {
    if (frames <= 0 || mChannels <= 0)
        return;
    // What Read handed out stays in mPending until the next decoding appends to it.
    std::int64_t const count =
        std::min({frames, mPosition, std::int64_t(mPendingOffset / std::size_t(mChannels))});
    mPendingOffset -= std::size_t(count) * std::size_t(mChannels);
    mPosition -= count;
}

}  // namespace vireo::engine::detail
