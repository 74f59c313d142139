#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {

std::string SamplePath(std::string const& fileName) {
    return std::string(VIREO_ENGINE_SAMPLES_DIR) + "/" + fileName;
}

std::string TestName(std::string text) {
    for (char& c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return text;
}

std::unique_ptr<vireo::engine::Movie> OpenSample(std::string const& fileName) {
    std::int32_t error = -1;
    auto movie =
        vireo::engine::Movie::Open(SamplePath(fileName), vireo::engine::OpenOptions{}, error);
    EXPECT_EQ(error, vireo::engine::kOK) << fileName << ": " << vireo::engine::ErrorText(error);
    EXPECT_TRUE(movie) << fileName;
    return movie;
}

std::vector<std::string> VideoSampleNames() {
    std::vector<std::string> names;
    // The full HD movie is for benchmarks; tests that read every frame leave it out.
    for (auto const& written : samples::SampleMovies()) {
        if (written.video && !written.video->fast)
            names.push_back(written.fileName);
    }
    return names;
}

std::vector<std::string> AudioSampleNames() {
    std::vector<std::string> names;
    for (auto const& written : samples::SampleMovies()) {
        if (written.audio)
            names.push_back(written.fileName);
    }
    return names;
}

void WritePlaylist(std::string const& dir, std::string const& name,
                   std::vector<std::string> const& segments) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n";
    for (auto const& segment : segments)
        text += "#EXTINF:1.6,\n" + segment + "\n";
    std::ofstream(dir + "/" + name, std::ios::binary) << text << "#EXT-X-ENDLIST\n";
}

void WriteFanOut(std::string const& dir) {
    std::filesystem::copy_file(SamplePath("offset.ts"), dir + "/seg.ts");
    std::string fan = "#EXTM3U\n";
    for (int i = 0; i < 450; ++i) {
        std::string const variant = "variant" + std::to_string(i) + ".m3u8";
        WritePlaylist(dir, variant, {"seg.ts"});
        fan += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(1000 + i) + "\n" + variant + "\n";
    }
    std::ofstream(dir + "/fan.m3u8") << fan;
}

FrameBuffer::FrameBuffer(std::uint32_t fourcc, int width, int height)
    : rowBytes((vireo::engine::MinimumRowBytes(fourcc, width) + 63) / 64 * 64),
      bytes(rowBytes * std::size_t(height), 0xCD) {}

int FrameNumberAt(vireo::engine::Movie& movie, std::int64_t time) {
    auto const& info = movie.Info().video;
    FrameBuffer buffer(vireo::engine::kFormatBGRA, info.width, info.height);
    std::int32_t result = movie.ReadVideoFrame(time, vireo::engine::kFormatBGRA,
                                               buffer.bytes.data(), buffer.rowBytes, 0, 0);
    if (result != vireo::engine::kOK) {
        ADD_FAILURE() << "ReadVideoFrame(" << time << "): " << vireo::engine::ErrorText(result);
        return -1;
    }
    return samples::ReadFrameNumberBGRA(buffer.bytes.data(), buffer.rowBytes, info.width,
                                        info.height, int(info.frameCount));
}

std::int64_t TimeOfFrame(samples::VideoTrack const& video, vireo::engine::VideoInfo const& info,
                         int index) {
    return samples::FramePeriods(video, index) * info.sampleSize;
}

}  // namespace vireo::test::engine

namespace vireo::samples {
void PrintTo(SampleMovie const& written, std::ostream* out) {
    *out << written.fileName;
}
}  // namespace vireo::samples
