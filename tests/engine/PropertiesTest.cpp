// Properties reported for each sample match what was written into it.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>
#include <utility>

#include "EngineTestSupport.h"
#include "engine/FourCC.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {
namespace {

class SampleProperties : public ::testing::TestWithParam<samples::SampleMovie> {};

TEST_P(SampleProperties, MatchWhatWasWritten) {
    samples::SampleMovie const& written = GetParam();
    auto movie = OpenSample(written.fileName);
    ASSERT_TRUE(movie);
    vireo::engine::MovieInfo const& info = movie->Info();

    ASSERT_EQ(info.video.present, written.video.has_value());
    if (written.video) {
        samples::VideoTrack const& v = *written.video;
        vireo::engine::VideoInfo const& video = info.video;
        int g = std::gcd(v.rateNumerator, v.rateDenominator);
        EXPECT_EQ(video.timeScale, v.rateNumerator / g);
        EXPECT_EQ(video.sampleSize, v.rateDenominator / g);
        std::int64_t periods = samples::FramePeriods(v, v.frames);
        EXPECT_EQ(video.duration, periods * video.sampleSize);
        EXPECT_EQ(video.frameCount, periods);
        EXPECT_EQ(std::tie(video.width, video.height), std::tie(v.width, v.height));
        EXPECT_EQ(std::make_pair(video.parNumerator, video.parDenominator),
                  std::make_pair(std::uint32_t(v.sarNumerator), std::uint32_t(v.sarDenominator)));
        EXPECT_EQ(video.fieldType, v.interlacedTopFirst ? vireo::engine::kFieldsUpperFirst
                                                        : vireo::engine::kFieldsNone);
        EXPECT_EQ(vireo::engine::FourCCToString(video.codecFourCC), written.expectedCodecFourCC);
        EXPECT_EQ(video.bitsPerComponent, v.codec == samples::VideoCodec::ProRes422 ? 10 : 8);
        ASSERT_EQ(video.supportedFormats.size(), 3u);
        // Deep sources offer the deep format first.
        EXPECT_EQ(video.supportedFormats[0].fourcc,
                  v.codec == samples::VideoCodec::ProRes422 ? vireo::engine::kFormatB64a
                  : v.codec == samples::VideoCodec::PNG     ? vireo::engine::kFormatBGRA
                                                            : vireo::engine::kFormat2vuy);
    }

    ASSERT_EQ(info.audio.present, written.audio.has_value());
    if (written.audio) {
        samples::AudioTrack const& a = *written.audio;
        vireo::engine::AudioInfo const& audio = info.audio;
        EXPECT_EQ(audio.trackCount, 1);
        EXPECT_EQ(audio.channels, a.channels);
        EXPECT_EQ(audio.sampleRate, a.sampleRate);
        EXPECT_EQ(vireo::engine::FourCCToString(audio.formatID), written.expectedAudioFormat);
        std::vector<std::uint32_t> labels = {1, 2};  // left, right
        if (a.channels == 1)
            labels = {42};  // mono
        EXPECT_EQ(audio.channelLayout, labels);
        if (a.codec == samples::AudioCodec::AAC) {
            // The encoder's padding makes the stored length differ slightly from the input.
            EXPECT_NEAR(double(audio.duration), double(a.samples), 1024.0);
            EXPECT_EQ(audio.sampleType, vireo::engine::kSampleTypeCompressed);
        } else {
            EXPECT_EQ(audio.duration, a.samples);
            EXPECT_EQ(audio.sampleType, a.codec == samples::AudioCodec::PCM16
                                            ? vireo::engine::kSampleTypeInt16
                                            : vireo::engine::kSampleTypeInt24);
        }
    }

    EXPECT_EQ(info.timecode.present, !written.timecode.empty());
    EXPECT_EQ(info.creation.present, !written.creationTime.empty());
}

INSTANTIATE_TEST_SUITE_P(AllSamples, SampleProperties, ::testing::ValuesIn(samples::SampleMovies()),
                         [](auto const& param) { return TestName(param.param.fileName); });

TEST(MovieProperties, TimecodeTrackAndCreationDate) {
    auto movie = OpenSample("h264_aac_tc.mov");
    ASSERT_TRUE(movie);
    vireo::engine::TimecodeInfo const& tc = movie->Info().timecode;
    EXPECT_EQ(tc.start, "01:00:00;00");
    EXPECT_TRUE(tc.dropFrame);
    EXPECT_EQ(std::tie(tc.timeScale, tc.sampleSize), std::make_tuple(30000, 1001));
    EXPECT_EQ(tc.reel, "TAPE042");

    vireo::engine::CreationTime const& c = movie->Info().creation;
    EXPECT_EQ(std::tie(c.year, c.month, c.day, c.hours, c.minutes, c.seconds),
              std::make_tuple(2021, 3, 4, 5, 6, 7));
}

}  // namespace
}  // namespace vireo::test::engine
