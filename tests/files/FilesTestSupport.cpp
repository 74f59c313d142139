#include "FilesTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/Movie.h"
#include "engine/PixelFormats.h"

namespace vireo::test::files {

TempFolder::TempFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vireo-files-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        mPath = pattern;
    }
    EXPECT_FALSE(mPath.empty()) << "no temporary folder";
}

TempFolder::~TempFolder() {
    if (!mPath.empty()) {
        std::error_code error;
        std::filesystem::permissions(mPath, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
        std::filesystem::remove_all(mPath, error);
    }
}

std::vector<std::string> TempFolder::Entries() const {
    std::vector<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(mPath)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

samples::SampleMovie TestMovie(std::string const& fileName, int rateNumerator, int rateDenominator,
                               int frames, std::string const& timecode) {
    samples::SampleMovie movie;
    movie.fileName = fileName;
    movie.container = "mov";
    samples::VideoTrack video;
    video.codec = samples::VideoCodec::H264;
    video.width = 160;
    video.height = 120;
    video.rateNumerator = rateNumerator;
    video.rateDenominator = rateDenominator;
    video.frames = frames;
    video.gop = 12;
    video.bFrames = 2;
    movie.video = video;
    samples::AudioTrack audio;
    audio.codec = samples::AudioCodec::PCM16;
    audio.sampleRate = 48000;
    audio.channels = 2;
    audio.samples = std::int64_t(frames) * 48000 * rateDenominator / rateNumerator;
    movie.audio = audio;
    movie.timecode = timecode;
    movie.reel = timecode.empty() ? "" : "REEL7";
    movie.creationTime = "2022-05-06T07:08:09.000000Z";
    return movie;
}

std::string WriteMovie(samples::SampleMovie const& movie, std::string const& folder) {
    std::string error;
    EXPECT_TRUE(samples::WriteSample(movie, folder, error)) << error;
    return folder + "/" + movie.fileName;
}

std::uint64_t FileChecksum(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return 0;
    }
    std::uint64_t hash = 1469598103934665603ull;
    char buffer[65536];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
        }
    }
    return hash;
}

DecodedMovie Decode(std::string const& path) {
    DecodedMovie decoded;
    engine::OpenOptions options;
    options.decoderThreads = 1;
    auto movie = engine::Movie::Open(path, options, decoded.error);
    if (!movie) {
        return decoded;
    }
    decoded.info = movie->Info();
    engine::VideoInfo const& video = decoded.info.video;
    if (video.present) {
        std::size_t const rowBytes = engine::MinimumRowBytes(engine::kFormatBGRA, video.width);
        for (std::int64_t i = 0; i < video.frameCount; ++i) {
            std::vector<std::uint8_t> frame(rowBytes * std::size_t(video.height));
            std::int32_t const result = movie->ReadVideoFrame(
                i * video.sampleSize, engine::kFormatBGRA, frame.data(), rowBytes, 0, 0);
            EXPECT_EQ(result, 0) << path << ": frame " << i;
            if (result != 0) {
                break;
            }
            decoded.frames.push_back(std::move(frame));
        }
    }
    if (decoded.info.audio.present) {
        std::vector<float> block(4096 * std::size_t(decoded.info.audio.channels));
        for (;;) {
            std::int64_t const got = movie->ReadAudio(block.data(), 4096);
            EXPECT_GE(got, 0) << path << ": audio";
            if (got <= 0) {
                break;
            }
            decoded.audio.insert(decoded.audio.end(), block.begin(),
                                 block.begin() + got * decoded.info.audio.channels);
        }
    }
    return decoded;
}

SourceMovie::SourceMovie(std::string const& timecode)
    : path(WriteMovie(TestMovie("source.mov", 25, 1, kSourceFrames, timecode), folder.Path())),
      decoded(Decode(path)),
      checksum(FileChecksum(path)) {
    EXPECT_EQ(decoded.error, 0);
    EXPECT_EQ(int(decoded.frames.size()), kSourceFrames);
    EXPECT_EQ(decoded.audio.size(), std::size_t(kSourceFrames * kSourceSamplesPerFrame * 2));
}

void ExpectRange(SourceMovie const& source, std::string const& path, int first, int count) {
    DecodedMovie const trimmed = Decode(path);
    ASSERT_EQ(trimmed.error, 0);
    EXPECT_EQ(trimmed.info.video.timeScale, 25);
    EXPECT_EQ(trimmed.info.video.sampleSize, 1);
    EXPECT_EQ(trimmed.info.video.duration, count);
    ASSERT_EQ(trimmed.info.video.frameCount, count);
    ASSERT_EQ(int(trimmed.frames.size()), count);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(trimmed.frames[std::size_t(i)] == source.decoded.frames[std::size_t(first + i)])
            << "frame " << i << " is not source frame " << first + i;
    }
    EXPECT_EQ(trimmed.info.audio.duration, count * kSourceSamplesPerFrame);
    ASSERT_EQ(trimmed.audio.size(), std::size_t(count * kSourceSamplesPerFrame * 2));
    auto const from =
        source.decoded.audio.begin() + std::ptrdiff_t(first * kSourceSamplesPerFrame * 2);
    EXPECT_TRUE(std::equal(trimmed.audio.begin(), trimmed.audio.end(), from))
        << "the audio is not the source's";
}

namespace {

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

Input OpenInput(std::string const& path) {
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << path << ": FFmpeg cannot open it";
        return nullptr;
    }
    avformat_find_stream_info(context, nullptr);
    return Input(context);
}

}  // namespace

std::vector<TimedText> ReadSubtitles(std::string const& path) {
    std::vector<TimedText> texts;
    Input input = OpenInput(path);
    if (!input) {
        return texts;
    }
    int const index = av_find_best_stream(input.get(), AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
    if (index < 0) {
        return texts;
    }
    AVRational const base = input->streams[index]->time_base;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input.get(), packet) >= 0) {
        if (packet->stream_index == index && packet->size >= 2) {
            // A QuickTime text sample: a 16-bit length, then the text.
            std::size_t const length = std::size_t((packet->data[0] << 8) | packet->data[1]);
            TimedText text;
            text.start = double(packet->pts) * av_q2d(base);
            text.end = double(packet->pts + packet->duration) * av_q2d(base);
            text.text.assign(reinterpret_cast<char const*>(packet->data) + 2,
                             std::min(length, std::size_t(packet->size - 2)));
            if (!text.text.empty()) {
                texts.push_back(text);
            }
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return texts;
}

std::vector<TimedText> ReadChapters(std::string const& path) {
    std::vector<TimedText> chapters;
    Input input = OpenInput(path);
    for (unsigned i = 0; input && i < input->nb_chapters; ++i) {
        AVChapter const* chapter = input->chapters[i];
        AVDictionaryEntry const* title = av_dict_get(chapter->metadata, "title", nullptr, 0);
        chapters.push_back({double(chapter->start) * av_q2d(chapter->time_base),
                            double(chapter->end) * av_q2d(chapter->time_base),
                            title != nullptr ? title->value : ""});
    }
    return chapters;
}

std::string ReadMetadata(std::string const& path, std::string const& key) {
    Input input = OpenInput(path);
    AVDictionaryEntry const* entry =
        input ? av_dict_get(input->metadata, key.c_str(), nullptr, 0) : nullptr;
    return entry != nullptr ? entry->value : "";
}

}  // namespace vireo::test::files
