// Frame rate of exporting 1080p frames through the export engine (ExportService: frames handed
// over as pointers to the host's bytes, converted and encoded on the service's threads, written
// to a temporary movie that is synced and renamed into place), beside encoding the same frames
// in this process with FFmpeg directly, with the same encoder and settings, into a movie file
// that is synced as well: the engine's own cost on top of the encoder's.
//
//   bench_export_encode [frames, default 300] [runs, default 3]
//
// The same export is also run through the library and the real server ("bridge"): the frames
// are shared by this process as Pix frames under a fresh identifier each, submitted with
// CompressAndWriteFrame, and encoded by the server's engine; the bridge's rate beside the
// in-process reference is the whole system's cost on top of the encoder's.
//
// Two codecs: Apple ProRes 422 HQ from 'v210' frames (the reference unpacks them with FFmpeg's
// v210 decoder) and H.264 (x264 "veryfast", CRF from quality 512, B-frames) from '2vuy' frames
// (the reference converts them with libswscale). Runs alternate between the engine and the
// reference; the median of each is printed with the ratio (engine / reference).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kino/VideoFrame.h"
#include "Pix/Pix.h"
#include "SystemBench.h"
#include "VireoClient/VireoClient.h"
#include "basekit/utility/Guid.h"
#include "basekit/utility/Text.h"
#include "crossprocess/CrossProcess.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"
#include "export/CodecSettings.h"
#include "export/ExportService.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace vireo::bench {
namespace {

namespace ex = vireo::server::exporting;
using Clock = std::chrono::steady_clock;
using engine::MakeFourCC;

constexpr int kWidth = 1920, kHeight = 1080, kDistinctFrames = 8;
constexpr int kInFlight = 4;  // submissions the engine variant keeps outstanding

struct Source {
    std::uint32_t fourcc;
    std::uint32_t rowBytes;
    std::vector<std::shared_ptr<std::vector<std::uint8_t>>> frames;
};

void StoreLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = std::uint8_t(v >> (8 * i));
    }
}

// Moving gradients with a fine texture, so the encoders have detail to code.
int Luma(int x, int y, int f) {
    return 64 + ((x * 3 + y * 2 + f * 40) % 700) + ((x * 7 ^ y * 13) & 63);
}

Source MakeSource(std::uint32_t fourcc) {
    Source source{fourcc,
                  fourcc == MakeFourCC("v210") ? std::uint32_t((kWidth + 47) / 48 * 128)
                                               : std::uint32_t(kWidth * 2),
                  {}};
    for (int f = 0; f < kDistinctFrames; ++f) {
        auto bytes =
            std::make_shared<std::vector<std::uint8_t>>(std::size_t(source.rowBytes) * kHeight, 0);
        for (int y = 0; y < kHeight; ++y) {
            std::uint8_t* row = bytes->data() + std::size_t(y) * source.rowBytes;
            if (fourcc == MakeFourCC("2vuy")) {
                for (int x = 0; x < kWidth; x += 2) {
                    row[2 * x] = std::uint8_t(128 + (y + f * 3) % 60);
                    row[2 * x + 1] = std::uint8_t(Luma(x, y, f) >> 2);
                    row[2 * x + 2] = std::uint8_t(100 + (x / 8 + f) % 80);
                    row[2 * x + 3] = std::uint8_t(Luma(x + 1, y, f) >> 2);
                }
            } else {
                for (int g = 0; g * 6 < kWidth; ++g) {
                    int Y[6];
                    for (int i = 0; i < 6; ++i) {
                        Y[i] = Luma(g * 6 + i, y, f);
                    }
                    std::uint32_t const u = std::uint32_t(512 + (y + f * 3) % 200);
                    std::uint32_t const v = std::uint32_t(400 + (g + f) % 300);
                    std::uint8_t* out = row + g * 16;
                    StoreLE32(out, u | (std::uint32_t(Y[0]) << 10) | (v << 20));
                    StoreLE32(out + 4,
                              std::uint32_t(Y[1]) | (u << 10) | (std::uint32_t(Y[2]) << 20));
                    StoreLE32(out + 8, v | (std::uint32_t(Y[3]) << 10) | (u << 20));
                    StoreLE32(out + 12,
                              std::uint32_t(Y[4]) | (v << 10) | (std::uint32_t(Y[5]) << 20));
                }
            }
        }
        source.frames.push_back(bytes);
    }
    return source;
}

struct Codec {
    const char* label;
    std::uint32_t fourcc;
    Source const* source;
};

ex::ExportSettings Settings(Codec const& codec, std::string const& path, int frames) {
    ex::ExportSettings s;
    s.mFilePath = path;
    s.mExportVideo = true;
    s.mTicksPerSecond = ex::kCatalogueTicksPerSecond;
    s.mExportEndTime = std::int64_t(frames) * (ex::kCatalogueTicksPerSecond / 25);
    s.mVideoCodecFourCC = std::int32_t(codec.fourcc);
    s.mVideoCodecQuality = 512;
    s.mVideoFrameWidth = kWidth;
    s.mVideoFrameHeight = kHeight;
    s.mQTVideoTimescale = 25;
    s.mQTVideoSampleSize = 1;
    s.mReorderFrames = true;
    if (codec.fourcc == MakeFourCC("avc1")) {
        ex::CodecSettings options = ex::DefaultCodecSettings(codec.fourcc);
        options.options["preset"].choice = "veryfast";
        s.mVideoCodecPrefsData = ex::WriteCodecSettings(options);
    }
    return s;
}

// Seconds to export `frames` frames through the engine; < 0 on failure.
double RunEngine(Codec const& codec, std::string const& path, int frames) {
    ex::ExportService service;
    ex::ExportId const id = basekit::utility::Guid::CreateUnique();
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0, failures = 0, completed = 1;
    auto answer = [&](std::int32_t result) {
        std::lock_guard<std::mutex> lock(mutex);
        ++answered;
        failures += result != 0;
        changed.notify_all();
    };
    service.Start(1, id, Settings(codec, path, frames), answer);
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return answered == 1; });
        if (failures != 0) {
            return -1;
        }
    }
    auto const start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return i - (answered - 1) < kInFlight; });
        }
        auto const& bytes = codec.source->frames[std::size_t(i % kDistinctFrames)];
        ex::VideoFrameView view{
            codec.source->fourcc, kWidth,        kHeight, codec.source->rowBytes,
            bytes->data(),        bytes->size(), bytes};
        service.SubmitFrame(1, id, std::uint32_t(i), view, answer);
    }
    service.Complete(1, id, 0, [&](std::int32_t result) {
        std::lock_guard<std::mutex> lock(mutex);
        completed = result;
        ++answered;
        changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return answered == frames + 2; });
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failures == 0 && completed == 0 ? seconds : -1;
}

// The export's settings as a host sends them through the library.
VireoServer::StartExportData BridgeSettings(ex::ExportSettings const& s) {
    VireoServer::StartExportData d;
    d.mFilePath = basekit::utility::UTF8to16(s.mFilePath);
    d.mExportVideo = true;
    d.mTicksPerSecond = s.mTicksPerSecond;
    d.mExportEndTime = s.mExportEndTime;
    d.mVideoCodecFourCC = s.mVideoCodecFourCC;
    d.mVideoCodecQuality = s.mVideoCodecQuality;
    d.mVideoFrameWidth = s.mVideoFrameWidth;
    d.mVideoFrameHeight = s.mVideoFrameHeight;
    d.mQTVideoTimescale = s.mQTVideoTimescale;
    d.mQTVideoSampleSize = s.mQTVideoSampleSize;
    d.mReorderFrames = s.mReorderFrames;
    d.mVideoCodecPrefsData = Kino::BinaryData(s.mVideoCodecPrefsData);
    return d;
}

// Seconds to export `frames` frames through the library and the server; < 0 on failure.
double RunBridge(InterfaceRef<VireoClient::IVireoClient, VireoClient::IVireoClient> const& client,
                 Codec const& codec, std::string const& path, int frames) {
    // The distinct frames, made once in shared memory as a host renders them.
    std::vector<InterfaceRef<Kino::IVideoFrame>> shared;
    for (auto const& bytes : codec.source->frames) {
        crossprocess::WritableBinaryReferencePtr block;
        auto frame = Pix::CreateSharedVideoFrame(
            kWidth, kHeight, codec.source->fourcc, 0, basemediatypes::PixelAspectRatio(1, 1),
            Kino::kFieldOrder_Progressive, block, codec.source->rowBytes);
        if (!frame) {
            return -1;
        }
        std::copy(bytes->begin(), bytes->end(),
                  static_cast<std::uint8_t*>(frame->GetMutablePixels()));
        shared.push_back(frame);
    }
    basekit::utility::Guid const id = basekit::utility::Guid::CreateUnique();
    if (client->StartExport(id, BridgeSettings(Settings(codec, path, frames))) != 0) {
        return -1;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0, failures = 0;
    std::int32_t completed = 1;
    bool done = false;
    auto const start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return i - answered < kInFlight; });
        }
        basekit::utility::Guid const frameId = basekit::utility::Guid::CreateUnique();
        auto held = std::make_shared<crossprocess::WritableBinaryReferencePtr>();
        if (Pix::PublishVideoFrameProvidingReference(shared[std::size_t(i % kDistinctFrames)],
                                                     frameId, *held) != Pix::kOK) {
            return -1;
        }
        client->CompressAndWriteFrame(id, frameId, std::uint32_t(i), 0, false,
                                      [&, held](VireoServer::ExportFrameReceivedData r) {
                                          held->reset();
                                          std::lock_guard<std::mutex> lock(mutex);
                                          ++answered;
                                          failures += r.mExporterResultCode != 0;
                                          changed.notify_all();
                                      });
    }
    client->ExportCompleted(id, 0, [&](VireoServer::ExportCompletedData r) {
        std::lock_guard<std::mutex> lock(mutex);
        completed = r.mServerResultCode;
        done = true;
        changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return done && answered == frames; });
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return failures == 0 && completed == 0 ? seconds : -1;
}

// The same frames, encoder and settings, in this process: convert, encode, mux, sync.
double RunReference(Codec const& codec, std::string const& path, int frames) {
    bool const prores = codec.fourcc == MakeFourCC("apch");
    AVFormatContext* out = nullptr;
    avformat_alloc_output_context2(&out, nullptr, "mov", path.c_str());
    AVCodec const* encoder = avcodec_find_encoder_by_name(prores ? "prores_ks" : "libx264");
    AVCodecContext* c = avcodec_alloc_context3(encoder);
    c->width = kWidth;
    c->height = kHeight;
    c->pix_fmt = prores ? AV_PIX_FMT_YUV422P10 : AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 25};
    c->framerate = AVRational{25, 1};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT709;
    AVDictionary* options = nullptr;
    if (prores) {
        av_dict_set(&options, "profile", "hq", 0);
    } else {
        av_dict_set(&options, "preset", "veryfast", 0);
        av_dict_set(&options, "profile", "high", 0);
        av_dict_set(&options, "crf", "25.5", 0);
        c->gop_size = 24;
        c->max_b_frames = 2;
    }
    if (avcodec_open2(c, encoder, &options) < 0) {
        return -1;
    }
    av_dict_free(&options);
    AVStream* stream = avformat_new_stream(out, nullptr);
    avcodec_parameters_from_context(stream->codecpar, c);
    stream->time_base = AVRational{1, 25};
    if (avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(out, nullptr) < 0) {
        return -1;
    }
    // 'v210' is unpacked by FFmpeg's own v210 decoder; '2vuy' converted by libswscale.
    AVCodecContext* unpacker = nullptr;
    SwsContext* scaler = nullptr;
    if (prores) {
        AVCodec const* v210 = avcodec_find_decoder(AV_CODEC_ID_V210);
        unpacker = avcodec_alloc_context3(v210);
        unpacker->width = kWidth;
        unpacker->height = kHeight;
        avcodec_open2(unpacker, v210, nullptr);
    } else {
        scaler =
            sws_getContext(kWidth, kHeight, AV_PIX_FMT_UYVY422, kWidth, kHeight, AV_PIX_FMT_YUV420P,
                           SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    }
    AVPacket* packet = av_packet_alloc();
    auto drain = [&](AVFrame* frame) {
        avcodec_send_frame(c, frame);
        while (avcodec_receive_packet(c, packet) == 0) {
            av_packet_rescale_ts(packet, c->time_base, stream->time_base);
            packet->stream_index = 0;
            av_write_frame(out, packet);
        }
    };
    auto const start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        auto const& bytes = *codec.source->frames[std::size_t(i % kDistinctFrames)];
        AVFrame* frame = av_frame_alloc();
        if (prores) {
            AVPacket* raw = av_packet_alloc();
            av_new_packet(raw, int(bytes.size()));
            std::copy(bytes.begin(), bytes.end(), raw->data);
            avcodec_send_packet(unpacker, raw);
            avcodec_receive_frame(unpacker, frame);
            av_packet_free(&raw);
        } else {
            frame->format = c->pix_fmt;
            frame->width = kWidth;
            frame->height = kHeight;
            av_frame_get_buffer(frame, 0);
            std::uint8_t const* planes[1] = {bytes.data()};
            int const strides[1] = {int(codec.source->rowBytes)};
            sws_scale(scaler, planes, strides, 0, kHeight, frame->data, frame->linesize);
        }
        frame->pts = i;
        drain(frame);
        av_frame_free(&frame);
    }
    drain(nullptr);
    av_write_trailer(out);
    avio_flush(out->pb);
    int const fd = open(path.c_str(), O_RDONLY);
    fsync(fd);
    close(fd);
    double const seconds = std::chrono::duration<double>(Clock::now() - start).count();
    av_packet_free(&packet);
    avcodec_free_context(&unpacker);
    sws_freeContext(scaler);
    avcodec_free_context(&c);
    avio_closep(&out->pb);
    avformat_free_context(out);
    return seconds;
}

double MedianOfRuns(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

}  // namespace
}  // namespace vireo::bench

int main(int argc, char** argv) {
    using namespace vireo::bench;
    int const frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    int const runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    av_log_set_level(AV_LOG_QUIET);
    // A registry of our own (before any thread exists), so that the server this program starts
    // is neither shared with nor disturbed by other programs.
    vireo::bench::PrivateRegistry registry;
    if (!registry.Make()) {
        std::fprintf(stderr, "could not make a registry directory\n");
        return 1;
    }
    auto client = VireoClient::Create();
    if (!client || !client->IsQuicktimeAvailable()) {
        std::fprintf(stderr, "the library found no working server\n");
        registry.StopServers();
        registry.Remove();
        return 1;
    }
    auto const directory =
        std::filesystem::temp_directory_path() / ("vireo-bench-export-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    Source const v210 = MakeSource(MakeFourCC("v210"));
    Source const uyvy = MakeSource(MakeFourCC("2vuy"));
    Codec const codecs[] = {{"ProRes 422 HQ from v210", MakeFourCC("apch"), &v210},
                            {"H.264 veryfast from 2vuy", MakeFourCC("avc1"), &uyvy}};
    int status = 0;
    std::printf("%d frames of %dx%d, %d runs each, median frames per second\n", frames, kWidth,
                kHeight, runs);
    for (auto const& codec : codecs) {
        std::vector<double> engine, reference, bridge;
        for (int run = 0; run < runs; ++run) {
            double const a = RunEngine(codec, (directory / "engine.mov").string(), frames);
            double const b = RunReference(codec, (directory / "reference.mov").string(), frames);
            double const c = RunBridge(client, codec, (directory / "bridge.mov").string(), frames);
            if (a <= 0 || b <= 0 || c <= 0) {
                std::printf("%s: run %d failed (engine %s, reference %s, bridge %s)\n", codec.label,
                            run, a <= 0 ? "failed" : "ok", b <= 0 ? "failed" : "ok",
                            c <= 0 ? "failed" : "ok");
                status = 1;
                continue;
            }
            engine.push_back(frames / a);
            reference.push_back(frames / b);
            bridge.push_back(frames / c);
        }
        double const ours = MedianOfRuns(engine), theirs = MedianOfRuns(reference),
                     whole = MedianOfRuns(bridge);
        std::printf("%-26s engine %7.1f fps   in-process FFmpeg %7.1f fps   ratio %.2f\n",
                    codec.label, ours, theirs, theirs > 0 ? ours / theirs : 0);
        std::printf("%-26s bridge %7.1f fps   in-process FFmpeg %7.1f fps   ratio %.2f\n", "",
                    whole, theirs, theirs > 0 ? whole / theirs : 0);
    }
    std::filesystem::remove_all(directory);
    client.reset();
    registry.StopServers();
    // The server keeps the records of running exports in the registry's "exports" folder.
    if (char const* dir = std::getenv("CORVIDHOST_REGISTRY_DIR")) {
        std::filesystem::remove(std::filesystem::path(dir) / "exports");
    }
    registry.Remove();
    return status;
}
