#include "VideoEncoder.h"

#include <cmath>
#include <string>

#include "engine/FourCC.h"
#include "export/ExportErrors.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace vireo::server::exporting::detail {

namespace {

AVFieldOrder FieldOrderOf(std::int32_t fieldType) {
    switch (fieldType) {
        case 0:
            return AV_FIELD_PROGRESSIVE;
        case 1:
            return AV_FIELD_TT;
        case 2:
            return AV_FIELD_BB;
        default:
            return AV_FIELD_UNKNOWN;
    }
}

bool Interlaced(VideoPlan const& plan) {
    return plan.fieldType == 1 || plan.fieldType == 2;
}

// The encoder gets the host's frame as a packet: the buffer holds the frame until the muxer
// lets go of the packet.
void ReleaseHold(void* opaque, std::uint8_t*) {
    delete static_cast<std::shared_ptr<void const>*>(opaque);
}

}  // namespace

std::int32_t VideoEncoder::Configure(AVCodecContext* c, AVDictionary** options) const {
    VideoPlan const& p = mPlan;
    c->width = p.width;
    c->height = p.height;
    c->pix_fmt = p.encoderFormat;
    c->time_base = AVRational{int(p.sampleSize), int(p.timeScale)};
    c->framerate = AVRational{int(p.timeScale), int(p.sampleSize)};
    c->sample_aspect_ratio = p.pixelAspect;
    c->field_order = FieldOrderOf(p.fieldType);
    c->color_range = p.colorRange;
    c->colorspace = p.colorSpace;
    if (!p.rgb) {
        bool const hd = p.colorSpace == AVCOL_SPC_BT709;
        c->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
        c->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    }
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // QuickTime keeps parameter sets in the header
    switch (p.entry->family) {
        case VideoFamily::kH264: {
            av_dict_set(options, "preset", p.x264Preset.c_str(), 0);
            av_dict_set(options, "profile", p.x264Profile.c_str(), 0);
            c->gop_size = p.keyFrameInterval;
            c->max_b_frames = p.bFrames;
            if (p.rateByBitrate) {
                c->bit_rate = p.averageBitrate;
            } else {
                // Quality 0 .. 1024 over the CRF scale 51 .. 0; 1 is the finest the profiles
                // offered here encode (0 would need a lossless profile).
                double const crf = std::max(1.0, 51.0 * (1024 - p.quality) / 1024.0);
                av_dict_set(options, "crf", std::to_string(crf).c_str(), 0);
            }
            if (p.maxBitrate > 0) {
                c->rc_max_rate = p.maxBitrate;
                c->rc_buffer_size = int(std::min<std::int64_t>(p.maxBitrate, INT32_MAX));
            }
            if (Interlaced(p)) {
                c->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
            }
            break;
        }
        case VideoFamily::kProRes:
            av_dict_set(options, "profile", p.proresProfile, 0);
            if (p.proresQuantiser > 0) {
                c->flags |= AV_CODEC_FLAG_QSCALE;
                c->global_quality = p.proresQuantiser * FF_QP2LAMBDA;
            }
            if (Interlaced(p)) {
                c->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
            }
            break;
        case VideoFamily::kDNxHD:
        case VideoFamily::kDNxHR:
            av_dict_set(options, "profile", p.dnxProfile.c_str(), 0);
            c->bit_rate = p.dnxBitrate;
            if (p.entry->family == VideoFamily::kDNxHD && Interlaced(p)) {
                c->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
            }
            break;
        case VideoFamily::kJPEG:
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = p.jpegQuantiser * FF_QP2LAMBDA;
            c->qmin = 1;
            c->qmax = 31;
            break;
        case VideoFamily::kPNG:
            c->compression_level = p.pngCompression;
            av_dict_set_int(options, "pred", p.pngPrediction, 0);
            break;
        case VideoFamily::kAnimation:
            c->gop_size = p.keyFrameInterval;
            break;
        case VideoFamily::kUncompressed8:
        case VideoFamily::kV210:
            break;
    }
    return kExportOK;
}

std::int32_t VideoEncoder::Open(MovieWriter& writer) {
    AVCodec const* codec = avcodec_find_encoder_by_name(mPlan.entry->encoder);
    mContext.reset(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    mPacket.reset(av_packet_alloc());
    if (!mContext || !mPacket) {
        return codec == nullptr ? kErrEncoderFailed : kErrOutOfMemory;
    }
    AVDictionary* options = nullptr;
    Configure(mContext.get(), &options);
    int const ret = avcodec_open2(mContext.get(), codec, &options);
    av_dict_free(&options);
    if (ret < 0) {
        return ret == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrEncoderFailed;
    }
    mStream = writer.AddStream(mContext.get(), AVRational{1, int(mPlan.timeScale)});
    if (mStream == nullptr) {
        return kErrOutOfMemory;
    }
    mStream->avg_frame_rate = mContext->framerate;
    mStream->sample_aspect_ratio = mPlan.pixelAspect;
    if (mPlan.entry->family == VideoFamily::kDNxHR) {
        // FFmpeg names every DNx stream 'AVdn'; DNxHR has its own sample description code.
        mStream->codecpar->codec_tag = MKTAG('A', 'V', 'd', 'h');
    }
    mWriter = &writer;
    return kExportOK;
}

std::int32_t VideoEncoder::Send(AVFrame* frame) {
    int ret = avcodec_send_frame(mContext.get(), frame);
    if (ret < 0) {
        return ret == AVERROR(ENOMEM) ? kErrOutOfMemory : kErrEncoderFailed;
    }
    for (;;) {
        ret = avcodec_receive_packet(mContext.get(), mPacket.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return kExportOK;
        }
        if (ret < 0) {
            return kErrEncoderFailed;
        }
        if (std::int32_t r = mWriter->Write(mPacket.get(), mContext->time_base, mStream);
            r != kExportOK) {
            return r;
        }
    }
}

std::int32_t VideoEncoder::WriteSample(std::uint32_t frameNumber, VideoFrameView const& frame) {
    std::size_t const size = std::size_t(frame.rowBytes) * frame.height;
    auto* hold = new std::shared_ptr<void const>(frame.hold);
    AVBufferRef* buffer = av_buffer_create(const_cast<std::uint8_t*>(frame.pixels), size,
                                           &ReleaseHold, hold, AV_BUFFER_FLAG_READONLY);
    engine::detail::PacketPtr sample(av_packet_alloc());
    if (buffer == nullptr || !sample) {
        buffer != nullptr ? av_buffer_unref(&buffer) : delete hold;
        return kErrOutOfMemory;
    }
    sample->buf = buffer;
    sample->data = buffer->data;
    sample->size = int(size);
    sample->pts = sample->dts = frameNumber;
    sample->duration = 1;
    sample->flags |= AV_PKT_FLAG_KEY;
    if (av_packet_ref(mPacket.get(), sample.get()) < 0) {
        return kErrOutOfMemory;
    }
    mLastPicture.reset();
    mLastSample = std::move(sample);
    return mWriter->Write(mPacket.get(), mContext->time_base, mStream);
}

std::int32_t VideoEncoder::RepeatUpTo(std::int64_t frameNumber) {
    for (; mNextFrame < frameNumber; ++mNextFrame) {
        if (std::int32_t stop = mStop.load(); stop != 0) {
            return stop;
        }
        if (mLastSample) {
            if (av_packet_ref(mPacket.get(), mLastSample.get()) < 0) {
                return kErrOutOfMemory;
            }
            mPacket->pts = mPacket->dts = mNextFrame;
            if (std::int32_t r = mWriter->Write(mPacket.get(), mContext->time_base, mStream);
                r != kExportOK) {
                return r;
            }
        } else if (mLastPicture) {
            engine::detail::FramePtr repeat(av_frame_clone(mLastPicture.get()));
            if (!repeat) {
                return kErrOutOfMemory;
            }
            repeat->pts = mNextFrame;
            if (std::int32_t r = Send(repeat.get()); r != kExportOK) {
                return r;
            }
        }
    }
    return kExportOK;
}

std::int32_t VideoEncoder::Encode(std::uint32_t frameNumber, VideoFrameView const& frame) {
    if (std::int32_t r = RepeatUpTo(frameNumber); r != kExportOK) {
        return r;
    }
    mNextFrame = std::int64_t(frameNumber) + 1;
    if (mConverter.IsSample(frame) && std::uint64_t(frame.rowBytes) * frame.height <= INT32_MAX) {
        return WriteSample(frameNumber, frame);
    }
    engine::detail::FramePtr picture(av_frame_alloc());
    if (!picture) {
        return kErrOutOfMemory;
    }
    if (std::int32_t r = mConverter.Convert(frame, picture.get()); r != kExportOK) {
        return r;
    }
    picture->pts = frameNumber;
    picture->sample_aspect_ratio = mPlan.pixelAspect;
    // FFmpeg's JPEG encoder takes a fixed quantiser from each picture, not from its settings.
    picture->quality = mContext->global_quality;
    if (Interlaced(mPlan)) {
        picture->interlaced_frame = 1;
        picture->top_field_first = mPlan.fieldType == 1;
    }
    mLastSample.reset();
    mLastPicture.reset(av_frame_clone(picture.get()));
    if (!mLastPicture) {
        return kErrOutOfMemory;
    }
    return Send(picture.get());
}

std::int32_t VideoEncoder::Flush() {
    mLastSample.reset();
    mLastPicture.reset();
    return Send(nullptr);
}

}  // namespace vireo::server::exporting::detail
