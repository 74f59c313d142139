#include "ExportTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "MovieWriter.h"
#include "TimeScale.h"
#include "engine/FourCC.h"
#include "export/Catalogue.h"
#include "export/ExportErrors.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace vireo::test::exporting {

namespace {

constexpr std::uint32_t kV210 = engine::MakeFourCC("v210");

struct Rgb {
    int r, g, b, a;
};

// 16-bit components of the picture at (x, y) of frame `index` (0 to 25). Neighbouring frames
// differ by about 5 levels in red and blue: a frame shown in its neighbour's place falls below
// 40 dB.
Rgb Pixel16(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, int index,
            bool alpha) {
    int const r = 8000 + int(x * 24000 / w) + index * 1300;
    int const g = 14000 + int(y * 30000 / h);
    int const b = 40000 + int((x + y) * 16000 / (w + h)) - index * 1300;
    int const a = alpha ? 20000 + int((x * 7 + y * 3) * 40000 / (7 * w + 3 * h)) : 65535;
    return {r, g, b, a};
}

// Y'CbCr (10-bit, video range) of the picture at (x, y).
void Yuv10(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h, int index, int& luma,
           int& cb, int& cr) {
    luma = 100 + int(x * 500 / w) + int(y * 80 / h) + index * 12;
    cb = 380 + int(y * 200 / h) - index * 5;
    cr = 420 + int(x * 180 / w) + index * 7;
}

void StoreLE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    static std::atomic<int> counter{0};
    auto base = std::filesystem::temp_directory_path() /
                ("vireo-export-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    mPath = base.string();
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(mPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(mPath, ignored);
}

std::vector<std::string> ScratchDirectory::Names() const {
    std::vector<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(mPath)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

ex::VideoFrameView TestFrame::View() const {
    ex::VideoFrameView view;
    view.fourcc = fourcc;
    view.width = width;
    view.height = height;
    view.rowBytes = rowBytes;
    view.pixels = bytes->data();
    view.dataSize = bytes->size();
    view.hold = bytes;
    return view;
}

TestFrame MakeFrame(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h, int index, bool alpha,
                    std::uint32_t extraRowBytes) {
    EXPECT_TRUE(index >= 0 && index <= 25) << "the test pictures have 26 frames";
    TestFrame frame;
    frame.fourcc = fourcc;
    frame.width = w;
    frame.height = h;
    if (fourcc == engine::MakeFourCC("BGRA")) {
        frame.rowBytes = 4 * w;
    } else if (fourcc == engine::MakeFourCC("2vuy")) {
        frame.rowBytes = 2 * (w + (w & 1));
    } else if (fourcc == engine::MakeFourCC("b64a")) {
        frame.rowBytes = 8 * w;
    } else {
        frame.rowBytes = (w + 47) / 48 * 128;
    }
    frame.rowBytes += extraRowBytes;
    frame.bytes = std::make_shared<std::vector<std::uint8_t>>(std::size_t(frame.rowBytes) * h, 0);
    for (std::uint32_t y = 0; y < h; ++y) {
        std::uint8_t* row = frame.bytes->data() + std::size_t(y) * frame.rowBytes;
        if (fourcc == engine::MakeFourCC("BGRA") || fourcc == engine::MakeFourCC("b64a")) {
            bool const deep = fourcc == engine::MakeFourCC("b64a");
            for (std::uint32_t x = 0; x < w; ++x) {
                Rgb p = Pixel16(x, y, w, h, index, alpha);
                if (deep) {
                    int const values[4] = {p.a, p.r, p.g, p.b};
                    for (int i = 0; i < 4; ++i) {
                        row[8 * x + 2 * i] = std::uint8_t(values[i] >> 8);
                        row[8 * x + 2 * i + 1] = std::uint8_t(values[i]);
                    }
                } else {
                    row[4 * x] = std::uint8_t(p.b >> 8);
                    row[4 * x + 1] = std::uint8_t(p.g >> 8);
                    row[4 * x + 2] = std::uint8_t(p.r >> 8);
                    row[4 * x + 3] = std::uint8_t(p.a >> 8);
                }
            }
        } else if (fourcc == engine::MakeFourCC("2vuy")) {
            for (std::uint32_t x = 0; x < w; x += 2) {
                int y0, cb, cr, y1, unused;
                Yuv10(x, y, w, h, index, y0, cb, cr);
                Yuv10(x + 1, y, w, h, index, y1, unused, unused);
                row[2 * x] = std::uint8_t(cb >> 2);
                row[2 * x + 1] = std::uint8_t(y0 >> 2);
                row[2 * x + 2] = std::uint8_t(cr >> 2);
                row[2 * x + 3] = std::uint8_t(y1 >> 2);
            }
        } else {
            // v210: six pixels in four little-endian words.
            std::vector<int> luma(w + 6, 0), cb((w + 1) / 2 + 3, 0), cr((w + 1) / 2 + 3, 0);
            for (std::uint32_t x = 0; x < w; ++x) {
                int c1, c2;
                Yuv10(x, y, w, h, index, luma[x], c1, c2);
                if (x % 2 == 0) {
                    cb[x / 2] = c1;
                    cr[x / 2] = c2;
                }
            }
            for (std::uint32_t g = 0; g * 6 < w; ++g) {
                int const* Y = &luma[g * 6];
                int const* U = &cb[g * 3];
                int const* V = &cr[g * 3];
                std::uint8_t* out = row + g * 16;
                StoreLE32(out, std::uint32_t(U[0] | (Y[0] << 10) | (V[0] << 20)));
                StoreLE32(out + 4, std::uint32_t(Y[1] | (U[1] << 10) | (Y[2] << 20)));
                StoreLE32(out + 8, std::uint32_t(V[1] | (Y[3] << 10) | (U[2] << 20)));
                StoreLE32(out + 12, std::uint32_t(Y[4] | (V[2] << 10) | (Y[5] << 20)));
            }
        }
    }
    return frame;
}

std::int64_t TicksPerFrame() {
    return ex::kCatalogueTicksPerSecond / 25;
}

ex::ExportSettings VideoSettings(std::string const& path, std::uint32_t codec, std::uint32_t width,
                                 std::uint32_t height, int frames) {
    ex::ExportSettings s;
    s.mFilePath = path;
    s.mExportVideo = true;
    s.mExportStartTime = 0;
    s.mExportEndTime = frames * TicksPerFrame();
    s.mTicksPerSecond = ex::kCatalogueTicksPerSecond;
    s.mVideoCodecFourCC = std::int32_t(codec);
    s.mVideoCodecQuality = 1000;
    s.mVideoBitDepth = 24;
    s.mVideoFrameWidth = width;
    s.mVideoFrameHeight = height;
    s.mVideoFrameRate = std::uint64_t(TicksPerFrame());
    s.mQTVideoTimescale = 25;
    s.mQTVideoSampleSize = 1;
    s.mPixelAspectNum = 1;
    s.mPixelAspectDen = 1;
    return s;
}

ex::ExportSettings AudioSettings(std::string const& path, std::uint32_t codec, int rate,
                                 int channels, std::int64_t samples) {
    ex::ExportSettings s;
    s.mFilePath = path;
    s.mExportAudio = true;
    s.mExportStartTime = 0;
    s.mTicksPerSecond = ex::kCatalogueTicksPerSecond;
    s.mExportEndTime = samples * (ex::kCatalogueTicksPerSecond / rate) + 1;
    s.mAudioCodecFourCC = std::int32_t(codec);
    s.mAudioFrameRate = rate;
    s.mAudioNumChannels = std::uint32_t(channels);
    s.mAudioSampleType = 5;
    return s;
}

namespace {

// The one answer of a call made with `call(callback)`; fails the test when none came in time.
template <class Call>
std::int32_t Await(Call&& call) {
    Answers answers;
    call(answers.Next());
    bool const answered = answers.WaitFor(1);
    EXPECT_TRUE(answered) << "no answer from the export service";
    return answered ? answers.Results()[0] : INT32_MIN;
}

}  // namespace

std::int32_t StartExport(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                         ex::ExportSettings const& settings) {
    return Await([&](auto done) { service.Start(owner, id, settings, done); });
}

std::int32_t SubmitFrame(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                         std::uint32_t number, TestFrame const& frame) {
    return Await([&](auto done) { service.SubmitFrame(owner, id, number, frame.View(), done); });
}

std::int32_t SubmitAudio(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                         std::int64_t first, std::int64_t count,
                         std::vector<std::uint8_t> const& bytes) {
    auto data = std::make_shared<std::vector<std::uint8_t>>(bytes);
    ex::AudioBlockView const block{data->data(), data->size(), data};
    return Await([&](auto done) { service.SubmitAudio(owner, id, first, count, block, done); });
}

std::int32_t CompleteExport(ex::ExportService& service, ex::OwnerKey owner, ex::ExportId const& id,
                            std::int32_t status) {
    return Await([&](auto done) { service.Complete(owner, id, status, done); });
}

struct Answers::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int32_t> results;
};

Answers::Answers() : mState(std::make_shared<State>()) {}

ex::ExportService::Callback Answers::Next() {
    auto state = mState;
    return [state](std::int32_t result) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->results.push_back(result);
        state->changed.notify_all();
    };
}

bool Answers::WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->changed.wait_for(lock, Scaled(std::chrono::seconds(60)),
                                    [&] { return mState->results.size() >= count; });
}

std::vector<std::int32_t> Answers::Results() const {
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->results;
}

std::int32_t ExportFrames(ex::ExportService& service, ex::ExportSettings const& settings,
                          std::uint32_t fourcc, int frames, bool alpha, bool still) {
    ex::ExportId const id = NewId();
    if (std::int32_t r = StartExport(service, 1, id, settings); r != 0) {
        return r;
    }
    for (int i = 0; i < frames; ++i) {
        auto frame = MakeFrame(fourcc, settings.mVideoFrameWidth, settings.mVideoFrameHeight,
                               still ? 0 : i, alpha);
        if (std::int32_t r = SubmitFrame(service, 1, id, std::uint32_t(i), frame); r != 0) {
            CompleteExport(service, 1, id, -1);
            return r;
        }
    }
    return CompleteExport(service, 1, id);
}

ex::ExportId NewId() {
    return basekit::utility::Guid::CreateUnique();
}

double Psnr(std::uint8_t const* a, std::uint8_t const* b, std::size_t size, bool sixteenBit) {
    std::size_t const step = sixteenBit ? 2 : 1;
    auto sample = [&](std::uint8_t const* p, std::size_t i) {
        return sixteenBit ? double((p[i] << 8) | p[i + 1]) : double(p[i]);
    };
    double sum = 0;
    for (std::size_t i = 0; i + step <= size; i += step) {
        double const d = sample(a, i) - sample(b, i);
        sum += d * d;
    }
    double const peak = sixteenBit ? 65535.0 : 255.0;
    return sum == 0 ? 200 : 10 * std::log10(peak * peak * double(size / step) / sum);
}

DemuxedMovie Demux(std::string const& path) {
    DemuxedMovie movie;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) {
        return movie;
    }
    movie.opened = avformat_find_stream_info(context, nullptr) >= 0;
    for (unsigned i = 0; i < context->nb_chapters; ++i) {
        AVChapter const* c = context->chapters[i];
        AVDictionaryEntry const* title = av_dict_get(c->metadata, "title", nullptr, 0);
        movie.chapters.push_back({double(c->start) * av_q2d(c->time_base),
                                  double(c->end) * av_q2d(c->time_base),
                                  title != nullptr ? title->value : ""});
    }
    int video = -1;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVCodecParameters const* p = context->streams[i]->codecpar;
        if (p->codec_type == AVMEDIA_TYPE_VIDEO && video < 0) {
            video = int(i);
            unsigned const tag = p->codec_tag;
            movie.videoTag = ((tag & 0xFFu) << 24) | ((tag & 0xFF00u) << 8) |
                             ((tag >> 8) & 0xFF00u) | (tag >> 24);
            movie.videoProfile = p->profile;
            movie.videoPixelFormat = p->format;
        }
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(context, packet) >= 0) {
        AVStream const* stream = context->streams[packet->stream_index];
        if (stream->codecpar->codec_id == AV_CODEC_ID_EIA_608) {
            std::vector<std::uint8_t> pairs;
            for (int i = 0; i + 2 < packet->size; i += 3) {
                pairs.push_back(packet->data[i + 1]);
                pairs.push_back(packet->data[i + 2]);
            }
            movie.captionPairs.push_back(pairs);
            movie.captionTimes.push_back(double(packet->pts) * av_q2d(stream->time_base));
        } else if (packet->stream_index == video) {
            movie.videoPackets.emplace_back(packet->data, packet->data + packet->size);
            movie.videoKeyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
            movie.reorderedPackets += packet->pts != packet->dts;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&context);
    return movie;
}

Written ExportAndDemux(ex::ExportSettings settings, int frames, bool still) {
    ScratchDirectory dir;
    settings.mFilePath = dir.File("out.mov");
    ex::ExportService service;
    EXPECT_EQ(ExportFrames(service, settings, engine::MakeFourCC("BGRA"), frames, false, still), 0);
    return {Demux(settings.mFilePath), std::filesystem::file_size(settings.mFilePath)};
}

double PosterTime(std::string const& path) {
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    double seconds = -1;
    if (!server::exporting::detail::ReadPosterTime(fd, seconds)) {
        seconds = -1;
    }
    close(fd);
    return seconds;
}

}  // namespace vireo::test::exporting
