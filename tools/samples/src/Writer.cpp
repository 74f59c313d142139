// Writes one sample movie with FFmpeg's encoders and muxers.
#include <algorithm>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "samples/Pattern.h"
#include "samples/SampleSet.h"

namespace vireo::samples {

namespace {

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct OutputFree {
    void operator()(AVFormatContext* f) const {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};

// Video range 8-bit from full range, for luma and for chroma.
int VideoLuma(int value) {
    return 16 + value * 219 / 255;
}
int VideoChroma(int value) {
    return 128 + (value - 128) * 224 / 255;
}

class Writer {
  public:
    Writer(SampleMovie const& movie, std::string path) : mMovie(movie), mPath(std::move(path)) {}

    bool Write(std::string& error) {
        if (!Open(error))
            return false;
        if (!Run(error))
            return false;
        int ret = av_write_trailer(mOutput.get());
        if (ret < 0)
            return Fail(error, "write trailer", ret);
        return true;
    }

  private:
    bool Fail(std::string& error, std::string const& what, int code) {
        error = mMovie.fileName + ": " + what + ": " + AvError(code);
        return false;
    }

    bool Open(std::string& error) {
        AVFormatContext* output = nullptr;
        int ret = avformat_alloc_output_context2(&output, nullptr, mMovie.container.c_str(),
                                                 mPath.c_str());
        if (ret < 0 || !output)
            return Fail(error, "output context", ret);
        mOutput.reset(output);
        mOutput->flags |= AVFMT_FLAG_BITEXACT;
        if (!mMovie.creationTime.empty())
            av_dict_set(&mOutput->metadata, "creation_time", mMovie.creationTime.c_str(), 0);
        if (mMovie.video && !OpenVideo(error))
            return false;
        if (mMovie.audio && !OpenAudio(error))
            return false;
        ret = avio_open(&mOutput->pb, mPath.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0)
            return Fail(error, "open file", ret);
        ret = avformat_write_header(mOutput.get(), nullptr);
        if (ret < 0)
            return Fail(error, "write header", ret);
        mPacket.reset(av_packet_alloc());
        mFrame.reset(av_frame_alloc());
        return true;
    }

    bool OpenEncoder(AVCodecContext* context, AVStream* stream, AVDictionary** options,
                     std::string& error) {
        if (mOutput->oformat->flags & AVFMT_GLOBALHEADER)
            context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        context->flags |= AV_CODEC_FLAG_BITEXACT;
        context->thread_count = 1;
        int ret = avcodec_open2(context, context->codec, options);
        av_dict_free(options);
        if (ret < 0)
            return Fail(error, std::string("open encoder ") + context->codec->name, ret);
        ret = avcodec_parameters_from_context(stream->codecpar, context);
        if (ret < 0)
            return Fail(error, "stream parameters", ret);
        return true;
    }

    bool OpenVideo(std::string& error) {
        VideoTrack const& v = *mMovie.video;
        const char* name = "libx264";
        AVPixelFormat format = AV_PIX_FMT_YUV420P;
        switch (v.codec) {
            case VideoCodec::H264:
                break;
            case VideoCodec::ProRes422:
                name = "prores_ks";
                format = AV_PIX_FMT_YUV422P10;
                break;
            case VideoCodec::MJPEG:
                name = "mjpeg";
                format = AV_PIX_FMT_YUVJ420P;
                break;
            case VideoCodec::PNG:
                name = "png";
                format = AV_PIX_FMT_RGB24;
                break;
            case VideoCodec::MPEG4:
                name = "mpeg4";
                break;
        }
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        if (!codec) {
            error = mMovie.fileName + ": no encoder " + name;
            return false;
        }
        mVideoStream = avformat_new_stream(mOutput.get(), nullptr);
        mVideo.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = mVideo.get();
        c->width = v.width;
        c->height = v.height;
        c->pix_fmt = format;
        c->time_base = AVRational{v.rateDenominator, v.rateNumerator};
        if (!v.variableRate)
            c->framerate = AVRational{v.rateNumerator, v.rateDenominator};
        c->sample_aspect_ratio = AVRational{v.sarNumerator, v.sarDenominator};
        c->gop_size = v.gop;
        c->max_b_frames = v.bFrames;
        if (format == AV_PIX_FMT_YUVJ420P)
            c->color_range = AVCOL_RANGE_JPEG;
        AVDictionary* options = nullptr;
        if (v.codec == VideoCodec::H264) {
            av_dict_set(&options, "preset", v.fast ? "ultrafast" : "veryfast", 0);
            av_dict_set(&options, "crf", "20", 0);
        } else if (v.codec == VideoCodec::ProRes422) {
            av_dict_set(&options, "profile", "standard", 0);
            av_dict_set(&options, "vendor", "apl0", 0);
        } else if (v.codec == VideoCodec::MJPEG || v.codec == VideoCodec::MPEG4) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = FF_QP2LAMBDA * 3;
        }
        if (v.interlacedTopFirst) {
            c->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
            c->field_order = AV_FIELD_TT;
        }
        mVideoStream->time_base = c->time_base;
        if (!v.variableRate)
            mVideoStream->avg_frame_rate = c->framerate;
        mVideoStream->sample_aspect_ratio = c->sample_aspect_ratio;
        if (!mMovie.timecode.empty())
            av_dict_set(&mVideoStream->metadata, "timecode", mMovie.timecode.c_str(), 0);
        if (!mMovie.reel.empty())
            av_dict_set(&mVideoStream->metadata, "reel_name", mMovie.reel.c_str(), 0);
        return OpenEncoder(c, mVideoStream, &options, error);
    }

    bool OpenAudio(std::string& error) {
        AudioTrack const& a = *mMovie.audio;
        const char* name = "aac";
        AVSampleFormat format = AV_SAMPLE_FMT_FLTP;
        if (a.codec == AudioCodec::PCM16) {
            name = "pcm_s16le";
            format = AV_SAMPLE_FMT_S16;
        } else if (a.codec == AudioCodec::PCM24) {
            name = mMovie.container == "mov" ? "pcm_s24be" : "pcm_s24le";
            format = AV_SAMPLE_FMT_S32;
        }
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        if (!codec) {
            error = mMovie.fileName + ": no encoder " + name;
            return false;
        }
        mAudioStream = avformat_new_stream(mOutput.get(), nullptr);
        mAudio.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = mAudio.get();
        c->sample_fmt = format;
        c->sample_rate = a.sampleRate;
        av_channel_layout_default(&c->ch_layout, a.channels);
        c->time_base = AVRational{1, a.sampleRate};
        if (a.codec == AudioCodec::AAC)
            c->bit_rate = 128000;
        if (a.codec == AudioCodec::PCM24)
            c->bits_per_raw_sample = 24;
        mAudioStream->time_base = c->time_base;
        AVDictionary* options = nullptr;
        return OpenEncoder(c, mAudioStream, &options, error);
    }

    bool Send(AVCodecContext* context, AVStream* stream, AVFrame* frame, std::string& error) {
        int ret = avcodec_send_frame(context, frame);
        if (ret < 0)
            return Fail(error, "encode", ret);
        for (;;) {
            ret = avcodec_receive_packet(context, mPacket.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
                return true;
            if (ret < 0)
                return Fail(error, "encode", ret);
            if (stream == mVideoStream && mMovie.video->variableRate)
                SetVariableDuration();
            av_packet_rescale_ts(mPacket.get(), context->time_base, stream->time_base);
            mPacket->stream_index = stream->index;
            ret = av_interleaved_write_frame(mOutput.get(), mPacket.get());
            if (ret < 0)
                return Fail(error, "write", ret);
        }
    }

    // Each frame lasts until the next one starts, so the container knows the last frame's end.
    void SetVariableDuration() {
        VideoTrack const& v = *mMovie.video;
        for (int i = 0; i < v.frames; ++i) {
            if (FramePeriods(v, i) == mPacket->pts) {
                mPacket->duration = FramePeriods(v, i + 1) - mPacket->pts;
                return;
            }
        }
    }

    void FillPicture(AVFrame* frame, int index) {
        VideoTrack const& v = *mMovie.video;
        auto format = AVPixelFormat(frame->format);
        for (int y = 0; y < v.height; ++y) {
            for (int x = 0; x < v.width; ++x) {
                PatternPixel p = PatternAt(index, x, y, v.width, v.height);
                if (format == AV_PIX_FMT_RGB24) {
                    // The pattern's colours are only grey where RGB is used (flat pictures).
                    std::uint8_t* out = frame->data[0] + y * frame->linesize[0] + x * 3;
                    out[0] = out[1] = out[2] = p.y;
                } else if (format == AV_PIX_FMT_YUV422P10) {
                    auto row = [&](int plane) {
                        return reinterpret_cast<std::uint16_t*>(frame->data[plane] +
                                                                y * frame->linesize[plane]);
                    };
                    row(0)[x] = std::uint16_t(VideoLuma(p.y) << 2);
                    if (x % 2 == 0) {
                        row(1)[x / 2] = std::uint16_t(VideoChroma(p.cb) << 2);
                        row(2)[x / 2] = std::uint16_t(VideoChroma(p.cr) << 2);
                    }
                } else {
                    bool full = format == AV_PIX_FMT_YUVJ420P;
                    frame->data[0][y * frame->linesize[0] + x] =
                        std::uint8_t(full ? p.y : VideoLuma(p.y));
                    if (x % 2 == 0 && y % 2 == 0) {
                        int offset = (y / 2) * frame->linesize[1] + x / 2;
                        frame->data[1][offset] = std::uint8_t(full ? p.cb : VideoChroma(p.cb));
                        frame->data[2][offset] = std::uint8_t(full ? p.cr : VideoChroma(p.cr));
                    }
                }
            }
        }
    }

    bool EncodeVideoFrame(int index, std::string& error) {
        AVCodecContext* c = mVideo.get();
        AVFrame* frame = mFrame.get();
        av_frame_unref(frame);
        frame->format = c->pix_fmt;
        frame->width = c->width;
        frame->height = c->height;
        int ret = av_frame_get_buffer(frame, 0);
        if (ret < 0)
            return Fail(error, "frame buffer", ret);
        FillPicture(frame, index);
        frame->pts = FramePeriods(*mMovie.video, index);
        if (mMovie.video->interlacedTopFirst) {
            frame->interlaced_frame = 1;
            frame->top_field_first = 1;
        }
        return Send(c, mVideoStream, frame, error);
    }

    bool EncodeAudioUpTo(std::int64_t end, std::string& error) {
        AVCodecContext* c = mAudio.get();
        AudioTrack const& a = *mMovie.audio;
        int chunk = c->frame_size > 0 ? c->frame_size : 1024;
        end = std::min(end, a.samples);
        while (mAudioWritten < end) {
            int count = int(std::min<std::int64_t>(chunk, a.samples - mAudioWritten));
            AVFrame* frame = mFrame.get();
            av_frame_unref(frame);
            frame->format = c->sample_fmt;
            frame->nb_samples = count;
            frame->sample_rate = c->sample_rate;
            av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
            int ret = av_frame_get_buffer(frame, 0);
            if (ret < 0)
                return Fail(error, "audio buffer", ret);
            for (int i = 0; i < count; ++i) {
                std::int64_t n = mAudioWritten + i;
                for (int ch = 0; ch < a.channels; ++ch) {
                    if (a.codec == AudioCodec::AAC) {
                        reinterpret_cast<float*>(frame->data[ch])[i] =
                            SineSample(n, ch, a.sampleRate);
                    } else if (a.codec == AudioCodec::PCM16) {
                        reinterpret_cast<std::int16_t*>(frame->data[0])[i * a.channels + ch] =
                            RampSample(n, ch);
                    } else {
                        reinterpret_cast<std::int32_t*>(frame->data[0])[i * a.channels + ch] =
                            std::int32_t(RampSample(n, ch)) * 65536;
                    }
                }
            }
            frame->pts = mAudioWritten;
            mAudioWritten += count;
            if (!Send(c, mAudioStream, frame, error))
                return false;
        }
        return true;
    }

    bool Run(std::string& error) {
        if (mMovie.video) {
            VideoTrack const& v = *mMovie.video;
            for (int i = 0; i < v.frames; ++i) {
                if (!EncodeVideoFrame(i, error))
                    return false;
                if (mMovie.audio) {
                    // Audio up to the end of this frame keeps the file interleaved.
                    std::int64_t end =
                        av_rescale(FramePeriods(v, i + 1),
                                   std::int64_t(mMovie.audio->sampleRate) * v.rateDenominator,
                                   v.rateNumerator);
                    if (!EncodeAudioUpTo(end, error))
                        return false;
                }
            }
            if (!Send(mVideo.get(), mVideoStream, nullptr, error))
                return false;
        }
        if (mMovie.audio) {
            if (!EncodeAudioUpTo(mMovie.audio->samples, error))
                return false;
            if (!Send(mAudio.get(), mAudioStream, nullptr, error))
                return false;
        }
        return true;
    }

    SampleMovie const& mMovie;
    std::string mPath;
    std::unique_ptr<AVFormatContext, OutputFree> mOutput;
    std::unique_ptr<AVCodecContext, CodecFree> mVideo, mAudio;
    std::unique_ptr<AVFrame, FrameFree> mFrame;
    std::unique_ptr<AVPacket, PacketFree> mPacket;
    AVStream* mVideoStream = nullptr;
    AVStream* mAudioStream = nullptr;
    std::int64_t mAudioWritten = 0;
};

}  // namespace

bool WriteSample(SampleMovie const& movie, std::string const& directory, std::string& error) {
    av_log_set_level(AV_LOG_ERROR);
    Writer writer(movie, directory + "/" + movie.fileName);
    return writer.Write(error);
}

}  // namespace vireo::samples
