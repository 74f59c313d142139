// A frame from the engine equals, byte for byte, the same frame decoded and converted here
// directly with FFmpeg: decode the whole stream in order, take the n-th frame in presentation
// order, convert it with libswscale using the engine's documented conversion settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "EngineTestSupport.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace vireo::test::engine {
namespace {

// Every frame of a file's first video stream, by presentation time.
class ReferenceDecoding {
  public:
    explicit ReferenceDecoding(std::string const& path) {
        AVFormatContext* input = nullptr;
        if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
            return;
        avformat_find_stream_info(input, nullptr);
        int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        const AVCodec* codec =
            index >= 0 ? avcodec_find_decoder(input->streams[index]->codecpar->codec_id) : nullptr;
        AVCodecContext* decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (decoder &&
            avcodec_parameters_to_context(decoder, input->streams[index]->codecpar) >= 0 &&
            avcodec_open2(decoder, codec, nullptr) >= 0) {
            AVPacket* packet = av_packet_alloc();
            auto drain = [&] {
                for (;;) {
                    AVFrame* frame = av_frame_alloc();
                    if (avcodec_receive_frame(decoder, frame) < 0) {
                        av_frame_free(&frame);
                        return;
                    }
                    mFrames.emplace(frame->best_effort_timestamp, frame);
                }
            };
            while (av_read_frame(input, packet) >= 0) {
                if (packet->stream_index == index) {
                    avcodec_send_packet(decoder, packet);
                    drain();
                }
                av_packet_unref(packet);
            }
            avcodec_send_packet(decoder, nullptr);
            drain();
            av_packet_free(&packet);
        }
        avcodec_free_context(&decoder);
        avformat_close_input(&input);
    }
    ~ReferenceDecoding() {
        for (auto& entry : mFrames)
            av_frame_free(&entry.second);
    }

    std::size_t Count() const { return mFrames.size(); }

    // Frame `index` in presentation order converted to `fourcc` at its own size.
    std::vector<std::uint8_t> Convert(std::size_t index, std::uint32_t fourcc,
                                      std::size_t rowBytes) const {
        auto it = mFrames.begin();
        std::advance(it, std::ptrdiff_t(index));
        AVFrame const* frame = it->second;

        // The documented source description: "J" formats are their plain twins in full range,
        // RGB is full range, the matrix is the frame's own or by picture height.
        auto format = AVPixelFormat(frame->format);
        bool full = frame->color_range == AVCOL_RANGE_JPEG;
        if (format == AV_PIX_FMT_YUVJ420P)
            format = AV_PIX_FMT_YUV420P, full = true;
        if (format == AV_PIX_FMT_YUVJ422P)
            format = AV_PIX_FMT_YUV422P, full = true;
        if (format == AV_PIX_FMT_YUVJ444P)
            format = AV_PIX_FMT_YUV444P, full = true;
        if (av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_RGB)
            full = true;
        int matrix =
            frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709
            : (frame->colorspace == AVCOL_SPC_SMPTE170M || frame->colorspace == AVCOL_SPC_BT470BG)
                ? SWS_CS_ITU601
            : frame->height >= 720 ? SWS_CS_ITU709
                                   : SWS_CS_ITU601;
        // 'b64a' goes through planar 16-bit RGB and is packed as big-endian A, R, G, B.
        bool deep = fourcc == vireo::engine::kFormatB64a;
        bool alpha = av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_ALPHA;
        AVPixelFormat output = fourcc == vireo::engine::kFormatBGRA   ? AV_PIX_FMT_BGRA
                               : fourcc == vireo::engine::kFormat2vuy ? AV_PIX_FMT_UYVY422
                               : alpha                                ? AV_PIX_FMT_GBRAP16
                                                                      : AV_PIX_FMT_GBRP16;
        SwsContext* context =
            sws_getContext(frame->width, frame->height, format, frame->width, frame->height, output,
                           SWS_BILINEAR, nullptr, nullptr, nullptr);
        const int* coefficients = sws_getCoefficients(matrix);
        sws_setColorspaceDetails(context, coefficients, full, coefficients,
                                 output == AV_PIX_FMT_UYVY422 ? 0 : 1, 0, 1 << 16, 1 << 16);
        std::vector<std::uint8_t> bytes(rowBytes * std::size_t(frame->height), 0xCD);
        AVFrame* planar = av_frame_alloc();
        if (deep) {
            planar->format = output;
            planar->width = frame->width;
            planar->height = frame->height;
            av_frame_get_buffer(planar, 0);
            sws_scale(context, frame->data, frame->linesize, 0, frame->height, planar->data,
                      planar->linesize);
        } else {
            std::uint8_t* planes[4] = {bytes.data()};
            int strides[4] = {int(rowBytes)};
            sws_scale(context, frame->data, frame->linesize, 0, frame->height, planes, strides);
        }
        sws_freeContext(context);
        if (deep) {
            auto sample = [&](int plane, int x, int y) {
                std::uint16_t value;
                std::memcpy(&value, planar->data[plane] + y * planar->linesize[plane] + x * 2, 2);
                return value;
            };
            for (int y = 0; y < frame->height; ++y) {
                for (int x = 0; x < frame->width; ++x) {
                    std::uint8_t* p = bytes.data() + std::size_t(y) * rowBytes + x * 8;
                    // GBR(A) planes: 0 green, 1 blue, 2 red, 3 alpha.
                    std::uint16_t argb[4] = {alpha ? sample(3, x, y) : std::uint16_t(0xFFFF),
                                             sample(2, x, y), sample(0, x, y), sample(1, x, y)};
                    for (int c = 0; c < 4; ++c) {
                        p[2 * c] = std::uint8_t(argb[c] >> 8);
                        p[2 * c + 1] = std::uint8_t(argb[c]);
                    }
                }
            }
        }
        av_frame_free(&planar);
        return bytes;
    }

  private:
    std::map<std::int64_t, AVFrame*> mFrames;
};

struct ReferenceCase {
    const char* file;
    std::uint32_t fourcc;
};

class EngineMatchesReference : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(EngineMatchesReference, FramesAreByteForByteEqual) {
    ReferenceCase const& c = GetParam();
    samples::SampleMovie const& written = samples::FindSample(c.file);
    ReferenceDecoding reference(SamplePath(c.file));
    ASSERT_EQ(reference.Count(), std::size_t(written.video->frames));
    auto movie = OpenSample(c.file);
    ASSERT_TRUE(movie);
    vireo::engine::VideoInfo const& info = movie->Info().video;
    FrameBuffer buffer(c.fourcc, info.width, info.height);

    std::vector<int> order;
    for (int i = 0; i < written.video->frames; ++i)
        order.push_back(i);
    std::mt19937 random(99);
    std::shuffle(order.begin(), order.end(), random);
    order.resize(std::min<std::size_t>(order.size(), written.video->fast ? 5 : 12));
    for (int i : order) {
        std::fill(buffer.bytes.begin(), buffer.bytes.end(), 0xCD);
        ASSERT_EQ(movie->ReadVideoFrame(TimeOfFrame(*written.video, info, i), c.fourcc,
                                        buffer.bytes.data(), buffer.rowBytes, 0, 0),
                  vireo::engine::kOK);
        std::vector<std::uint8_t> expected =
            reference.Convert(std::size_t(i), c.fourcc, buffer.rowBytes);
        std::size_t used = vireo::engine::MinimumRowBytes(c.fourcc, info.width);
        for (int y = 0; y < info.height; ++y) {
            std::size_t offset = std::size_t(y) * buffer.rowBytes;
            ASSERT_EQ(0, std::memcmp(buffer.bytes.data() + offset, expected.data() + offset, used))
                << c.file << " frame " << i << " row " << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, EngineMatchesReference,
    ::testing::Values(ReferenceCase{"h264_aac_tc.mov", vireo::engine::kFormatBGRA},
                      ReferenceCase{"h264_aac_tc.mov", vireo::engine::kFormat2vuy},
                      ReferenceCase{"prores_422.mov", vireo::engine::kFormatB64a},
                      ReferenceCase{"prores_422.mov", vireo::engine::kFormatBGRA},
                      ReferenceCase{"mjpeg_pcm.avi", vireo::engine::kFormatBGRA},
                      ReferenceCase{"odd_33x17.mov", vireo::engine::kFormat2vuy},
                      ReferenceCase{"tiny_1x1.mov", vireo::engine::kFormatB64a},
                      ReferenceCase{"offset.ts", vireo::engine::kFormatBGRA},
                      ReferenceCase{"h264_1080p.mov", vireo::engine::kFormatBGRA}),
    [](auto const& param) {
        return TestName(std::string(param.param.file) + "_" +
                        vireo::engine::FourCCToString(param.param.fourcc));
    });

}  // namespace
}  // namespace vireo::test::engine
