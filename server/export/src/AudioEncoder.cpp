#include "AudioEncoder.h"

#include <algorithm>
#include <vector>

#include "export/ExportErrors.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

namespace vireo::server::exporting::detail {

namespace {

// Encoders that take any number of samples per frame get blocks of this many.
constexpr int kPcmFrameSamples = 4096;
// Silence is queued in pieces of this many sample frames.
constexpr std::int64_t kSilencePiece = 1 << 16;

std::int32_t CodeOf(int averror) {
    return averror == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrEncoderFailed;
}

}  // namespace

std::int32_t AudioEncoder::Open(MovieWriter& writer) {
    AVCodec const* codec = avcodec_find_encoder_by_name(mPlan.entry->encoder);
    mContext.reset(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    mPacket.reset(av_packet_alloc());
    if (!mContext || !mPacket) {
        return codec == nullptr ? kErrEncoderFailed : kErrOutOfMemory;
    }
    AVCodecContext* c = mContext.get();
    c->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLT;
    // ALAC takes 16-bit samples first; 32-bit keeps 24 bits of the host's precision.
    if (codec->id == AV_CODEC_ID_ALAC) {
        c->sample_fmt = AV_SAMPLE_FMT_S32P;
        c->bits_per_raw_sample = 24;
    }
    if (codec->id == AV_CODEC_ID_PCM_S24BE || codec->id == AV_CODEC_ID_PCM_S24LE) {
        c->bits_per_raw_sample = 24;
    }
    c->sample_rate = mPlan.sampleRate;
    c->time_base = AVRational{1, mPlan.sampleRate};
    if (av_channel_layout_copy(&c->ch_layout, &mPlan.layout) < 0) {
        return kErrOutOfMemory;
    }
    if (mPlan.bitrate > 0) {
        c->bit_rate = mPlan.bitrate;
    }
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int ret = avcodec_open2(c, codec, nullptr);
    if (ret < 0) {
        return ret == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrAudioChannels;
    }
    mFrameSize = c->frame_size > 0 ? c->frame_size : kPcmFrameSamples;

    SwrContext* resampler = nullptr;
    ret = swr_alloc_set_opts2(&resampler, &c->ch_layout, c->sample_fmt, c->sample_rate,
                              &c->ch_layout, mPlan.inputFormat, mPlan.sampleRate, 0, nullptr);
    mResampler.reset(resampler);
    if (ret < 0 || swr_init(resampler) < 0) {
        return kErrEncoderFailed;
    }
    mQueue.reset(av_audio_fifo_alloc(c->sample_fmt, mPlan.channels, mFrameSize * 2));
    if (!mQueue) {
        return kErrOutOfMemory;
    }
    mStream = writer.AddStream(c, c->time_base);
    if (mStream == nullptr) {
        return kErrOutOfMemory;
    }
    mWriter = &writer;
    return kExportOK;
}

std::int32_t AudioEncoder::Check(std::int64_t firstSample, std::int64_t sampleCount,
                                 AudioBlockView const& block) const {
    if (sampleCount < 1 || block.samples == nullptr) {
        return kErrAudioBlock;
    }
    std::uint64_t const frameBytes = std::uint64_t(mPlan.channels) * mPlan.bytesPerSample;
    if (std::uint64_t(sampleCount) > block.size / frameBytes) {
        return kErrAudioBlock;
    }
    if (firstSample < mPosition || firstSample >= mPlan.sampleLimit) {
        return kErrAudioPosition;
    }
    return kExportOK;
}

std::int32_t AudioEncoder::Encode(std::int64_t firstSample, std::int64_t sampleCount,
                                  AudioBlockView const& block) {
    AVCodecContext* c = mContext.get();
    // Silence up to the block, in pieces, so a long gap needs little memory.
    while (mPosition < firstSample) {
        if (std::int32_t stop = mStop.load(); stop != 0) {
            return stop;
        }
        int const count = int(std::min(firstSample - mPosition, kSilencePiece));
        std::vector<std::uint8_t*> planes(std::size_t(mPlan.channels), nullptr);
        int linesize = 0;
        if (av_samples_alloc(planes.data(), &linesize, mPlan.channels, count, c->sample_fmt, 0) <
            0) {
            return kErrOutOfMemory;
        }
        av_samples_set_silence(planes.data(), 0, count, mPlan.channels, c->sample_fmt);
        int const written =
            av_audio_fifo_write(mQueue.get(), reinterpret_cast<void**>(planes.data()), count);
        av_freep(&planes[0]);
        if (written != count) {
            return kErrOutOfMemory;
        }
        mPosition += count;
        if (std::int32_t r = EncodeQueued(false); r != kExportOK) {
            return r;
        }
    }
    std::int64_t const count = std::min(sampleCount, mPlan.sampleLimit - firstSample);
    std::uint64_t const frameBytes = std::uint64_t(mPlan.channels) * mPlan.bytesPerSample;
    for (std::int64_t done = 0; done < count;) {
        int const piece = int(std::min<std::int64_t>(count - done, kSilencePiece));
        std::uint8_t const* in = block.samples + std::uint64_t(done) * frameBytes;
        std::vector<std::uint8_t*> planes(std::size_t(mPlan.channels), nullptr);
        int linesize = 0;
        if (av_samples_alloc(planes.data(), &linesize, mPlan.channels, piece, c->sample_fmt, 0) <
            0) {
            return kErrOutOfMemory;
        }
        int const converted = swr_convert(mResampler.get(), planes.data(), piece, &in, piece);
        int const written =
            converted > 0 ? av_audio_fifo_write(mQueue.get(),
                                                reinterpret_cast<void**>(planes.data()), converted)
                          : converted;
        av_freep(&planes[0]);
        if (converted != piece || written != piece) {
            return converted < 0 ? kErrEncoderFailed : kErrOutOfMemory;
        }
        done += piece;
        mPosition += piece;
        if (std::int32_t r = EncodeQueued(false); r != kExportOK) {
            return r;
        }
    }
    return kExportOK;
}

std::int32_t AudioEncoder::EncodeQueued(bool all) {
    AVCodecContext* c = mContext.get();
    while (av_audio_fifo_size(mQueue.get()) >= mFrameSize ||
           (all && av_audio_fifo_size(mQueue.get()) > 0)) {
        int const count = std::min(av_audio_fifo_size(mQueue.get()), mFrameSize);
        engine::detail::FramePtr frame(av_frame_alloc());
        if (!frame) {
            return kErrOutOfMemory;
        }
        frame->nb_samples = count;
        frame->format = c->sample_fmt;
        frame->sample_rate = c->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &c->ch_layout) < 0 ||
            av_frame_get_buffer(frame.get(), 0) < 0) {
            return kErrOutOfMemory;
        }
        if (av_audio_fifo_read(mQueue.get(), reinterpret_cast<void**>(frame->data), count) !=
            count) {
            return kErrEncoderFailed;
        }
        frame->pts = mSent;
        mSent += count;
        if (std::int32_t r = Send(frame.get()); r != kExportOK) {
            return r;
        }
    }
    return kExportOK;
}

std::int32_t AudioEncoder::Send(AVFrame* frame) {
    int ret = avcodec_send_frame(mContext.get(), frame);
    if (ret < 0) {
        return CodeOf(ret);
    }
    for (;;) {
        ret = avcodec_receive_packet(mContext.get(), mPacket.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return kExportOK;
        }
        if (ret < 0) {
            return CodeOf(ret);
        }
        if (std::int32_t r = mWriter->Write(mPacket.get(), mContext->time_base, mStream);
            r != kExportOK) {
            return r;
        }
    }
}

std::int32_t AudioEncoder::Flush() {
    if (std::int32_t r = EncodeQueued(true); r != kExportOK) {
        return r;
    }
    return Send(nullptr);
}

}  // namespace vireo::server::exporting::detail
