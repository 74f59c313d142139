// Properties reported for each sample match what was written into it.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

#include "EngineTestSupport.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {
namespace {

// Sizes, rates, durations, codecs, timecode and creation date are compared with what was written
// as the library sees them (tests/library/ImportTest.cpp); what follows is what the wire does
// not show it: frame counts, field order, depth, drop-frame timecode, the order of the offered
// formats, channel labels and sample types.
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
        EXPECT_EQ(std::tie(video.timeScale, video.sampleSize),
                  std::make_tuple(v.rateNumerator / g, v.rateDenominator / g));
        EXPECT_EQ(video.frameCount, samples::FramePeriods(v, v.frames));
        EXPECT_EQ(video.duration, video.frameCount * video.sampleSize);
        EXPECT_EQ(video.fieldType, v.interlacedTopFirst ? vireo::engine::kFieldsUpperFirst
                                                        : vireo::engine::kFieldsNone);
        EXPECT_EQ(video.bitsPerComponent, v.codec == samples::VideoCodec::ProRes422 ? 10 : 8);
        ASSERT_EQ(video.supportedFormats.size(), 3u);
        // Deep sources offer the deep format first.
        EXPECT_EQ(video.supportedFormats[0].fourcc,
                  v.codec == samples::VideoCodec::ProRes422 ? vireo::engine::kFormatB64a
                  : v.codec == samples::VideoCodec::PNG     ? vireo::engine::kFormatBGRA
                                                            : vireo::engine::kFormat2vuy);
    }

    if (!written.timecode.empty()) {
        vireo::engine::TimecodeInfo const& tc = info.timecode;
        EXPECT_EQ(tc.dropFrame, written.timecode.find(';') != std::string::npos);
        EXPECT_EQ(std::tie(tc.timeScale, tc.sampleSize),
                  std::tie(info.video.timeScale, info.video.sampleSize));
    }

    ASSERT_EQ(info.audio.present, written.audio.has_value());
    if (written.audio) {
        samples::AudioTrack const& a = *written.audio;
        vireo::engine::AudioInfo const& audio = info.audio;
        EXPECT_EQ(audio.trackCount, 1);
        // Left and right, or mono.
        std::vector<std::uint32_t> const labels =
            a.channels == 1 ? std::vector<std::uint32_t>{42} : std::vector<std::uint32_t>{1, 2};
        EXPECT_EQ(audio.channelLayout, labels);
        EXPECT_EQ(audio.sampleType,
                  a.codec == samples::AudioCodec::AAC     ? vireo::engine::kSampleTypeCompressed
                  : a.codec == samples::AudioCodec::PCM16 ? vireo::engine::kSampleTypeInt16
                                                          : vireo::engine::kSampleTypeInt24);
    }
}

INSTANTIATE_TEST_SUITE_P(AllSamples, SampleProperties, ::testing::ValuesIn(samples::SampleMovies()),
                         [](auto const& param) { return TestName(param.param.fileName); });

}  // namespace
}  // namespace vireo::test::engine
