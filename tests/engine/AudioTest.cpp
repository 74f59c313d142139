// Audio comes out block after block, every sample exactly once (AAC close to the written sine),
// and starts over on Restart.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {
namespace {

// Reads the whole stream in blocks of half a second; returns every value read.
std::vector<float> ReadAll(vireo::engine::Movie& movie, std::int64_t* blocks = nullptr) {
    vireo::engine::AudioInfo const& info = movie.Info().audio;
    std::int64_t blockFrames = std::int64_t(info.sampleRate / 2);
    std::vector<float> all;
    std::vector<float> block(std::size_t(blockFrames * info.channels));
    for (int guard = 0; guard < 100000; ++guard) {
        std::int64_t got = movie.ReadAudio(block.data(), blockFrames);
        EXPECT_GE(got, 0) << vireo::engine::ErrorText(std::int32_t(got));
        if (got <= 0)
            break;
        EXPECT_LE(got, blockFrames);
        all.insert(all.end(), block.begin(), block.begin() + got * info.channels);
        if (blocks)
            ++*blocks;
    }
    return all;
}

class SampleAudio : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleAudio, EverySampleExactlyOnceThenAgainAfterRestart) {
    samples::SampleMovie const& written = samples::FindSample(GetParam());
    auto movie = OpenSample(written.fileName);
    ASSERT_TRUE(movie);
    vireo::engine::AudioInfo const& info = movie->Info().audio;
    int channels = written.audio->channels;

    std::vector<float> first = ReadAll(*movie);
    // Exactly the length the movie reports, and for PCM exactly what was written.
    EXPECT_EQ(std::int64_t(first.size()), info.duration * channels);
    EXPECT_EQ(movie->AudioPosition(), info.duration);
    if (written.audio->codec == samples::AudioCodec::AAC) {
        // AAC is lossy; the sine must still be recognisable well inside the stream.
        int const rate = written.audio->sampleRate;
        double error = 0;
        int count = 0;
        for (std::int64_t i = rate / 10; i < rate; i += 7) {
            for (int ch = 0; ch < channels; ++ch, ++count)
                error += std::abs(first[std::size_t(i * channels + ch)] -
                                  samples::SineSample(i, ch, rate));
        }
        EXPECT_LT(error / count, 0.02);
    } else {
        ASSERT_EQ(std::int64_t(first.size()), written.audio->samples * channels);
        for (std::int64_t i = 0; i < written.audio->samples; ++i) {
            for (int ch = 0; ch < channels; ++ch) {
                float expected = samples::RampSample(i, ch) / 32768.0f;
                ASSERT_EQ(first[std::size_t(i * channels + ch)], expected)
                    << "sample " << i << " channel " << ch;
            }
        }
    }
    float end = 0;
    EXPECT_EQ(movie->ReadAudio(&end, 1), 0) << "reading past the end gives nothing";

    movie->RestartAudio();
    EXPECT_EQ(movie->AudioPosition(), 0);
    std::vector<float> second = ReadAll(*movie);
    EXPECT_EQ(first, second);
}

std::string SafeName(::testing::TestParamInfo<std::string> const& param) {
    return TestName(param.param);
}

INSTANTIATE_TEST_SUITE_P(AllAudio, SampleAudio, ::testing::ValuesIn(AudioSampleNames()), SafeName);

TEST(Audio, SmallBlocksAndVideoReadsInBetweenKeepThePosition) {
    auto movie = OpenSample("mjpeg_pcm.avi");
    ASSERT_TRUE(movie);
    std::vector<float> block(333);
    std::int64_t total = 0;
    int frame = 0;
    vireo::engine::VideoInfo const& video = movie->Info().video;
    FrameBuffer pixels(vireo::engine::kFormatBGRA, video.width, video.height);
    for (;;) {
        std::int64_t got = movie->ReadAudio(block.data(), 333);
        ASSERT_GE(got, 0);
        if (got == 0)
            break;
        for (std::int64_t i = 0; i < got; ++i)
            ASSERT_EQ(block[std::size_t(i)], samples::RampSample(total + i, 0) / 32768.0f);
        total += got;
        // Seeking the video back and forth does not move the audio.
        int asked = (frame * 7) % 30;
        ++frame;
        ASSERT_EQ(movie->ReadVideoFrame(asked, vireo::engine::kFormatBGRA, pixels.bytes.data(),
                                        pixels.rowBytes, 0, 0),
                  vireo::engine::kOK);
    }
    EXPECT_EQ(total, 88200);
}

}  // namespace
}  // namespace vireo::test::engine
