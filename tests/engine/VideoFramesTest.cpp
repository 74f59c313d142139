// Frames come back exactly: the right frame for every time, in any order, in every format.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "EngineTestSupport.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {
namespace {

class SampleFrames : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleFrames, EveryFrameInOrderWithoutSeekingThenAnyOrderAndTimesBetween) {
    samples::SampleMovie const& written = samples::FindSample(GetParam());
    auto movie = OpenSample(GetParam());
    ASSERT_TRUE(movie);
    auto const& video = *written.video;
    vireo::engine::VideoInfo const& info = movie->Info().video;
    for (int i = 0; i < video.frames; ++i) {
        EXPECT_EQ(FrameNumberAt(*movie, TimeOfFrame(video, info, i)), i) << "frame " << i;
        // Asking again for the frame just read decodes nothing.
        if (i == video.frames / 2) {
            auto before = movie->VideoStats().framesDecoded;
            EXPECT_EQ(FrameNumberAt(*movie, TimeOfFrame(video, info, i)), i);
            EXPECT_EQ(movie->VideoStats().framesDecoded, before);
        }
    }
    // Each frame decoded once, the decoder never repositioned.
    EXPECT_EQ(movie->VideoStats().seeks, 0);
    EXPECT_EQ(movie->VideoStats().framesDecoded, video.frames);

    std::vector<int> order(std::size_t(video.frames));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(1234));
    // Some frames twice in a row, and back to the start at the end.
    order.insert(order.begin() + std::ptrdiff_t(order.size() / 2), order[order.size() / 2]);
    order.push_back(0);
    for (int i : order)
        EXPECT_EQ(FrameNumberAt(*movie, TimeOfFrame(video, info, i)), i) << "frame " << i;
    // Backwards, each at the last unit before the next frame starts.
    for (int i = video.frames - 1; i >= 0; --i) {
        std::int64_t next = samples::FramePeriods(video, i + 1) * info.sampleSize;
        EXPECT_EQ(FrameNumberAt(*movie, next - 1), i) << "frame " << i << ", at its end";
    }
}

std::string SafeName(::testing::TestParamInfo<std::string> const& param) {
    return TestName(param.param);
}

INSTANTIATE_TEST_SUITE_P(AllVideo, SampleFrames, ::testing::ValuesIn(VideoSampleNames()), SafeName);

TEST(VideoFrames, ScaledOutputKeepsThePictureAndStaysInsideItsRows) {
    auto movie = OpenSample("h264_aac_tc.mov");
    ASSERT_TRUE(movie);
    const int width = 160, height = 120;
    std::size_t rowBytes = vireo::engine::MinimumRowBytes(vireo::engine::kFormatBGRA, width) + 16;
    std::vector<std::uint8_t> bytes(rowBytes * height, 0xCD);
    ASSERT_EQ(movie->ReadVideoFrame(17 * 1001, vireo::engine::kFormatBGRA, bytes.data(), rowBytes,
                                    width, height),
              vireo::engine::kOK);
    EXPECT_EQ(samples::ReadFrameNumberBGRA(bytes.data(), rowBytes, width, height, 45), 17);
}

TEST(VideoFrames, RequestsOutsideTheMovieOrWithBadBuffersOrWithoutTheTrackFail) {
    auto movie = OpenSample("h264_aac_tc.mov");
    ASSERT_TRUE(movie);
    vireo::engine::VideoInfo const& info = movie->Info().video;
    FrameBuffer buffer(vireo::engine::kFormatBGRA, info.width, info.height);
    auto read = [&](std::int64_t time, std::uint32_t fourcc, void* data, std::size_t rowBytes,
                    int w,
                    int h) { return movie->ReadVideoFrame(time, fourcc, data, rowBytes, w, h); };
    std::uint8_t* data = buffer.bytes.data();
    EXPECT_EQ(read(-1, vireo::engine::kFormatBGRA, data, buffer.rowBytes, 0, 0),
              vireo::engine::kErrTimeOutOfRange);
    EXPECT_EQ(read(info.duration, vireo::engine::kFormatBGRA, data, buffer.rowBytes, 0, 0),
              vireo::engine::kErrTimeOutOfRange);
    EXPECT_EQ(read(info.duration - 1, vireo::engine::kFormatBGRA, data, buffer.rowBytes, 0, 0),
              vireo::engine::kOK);
    EXPECT_EQ(read(0, vireo::engine::MakeFourCC("v210"), data, buffer.rowBytes, 0, 0),
              vireo::engine::kErrUnsupportedPixelFormat);
    EXPECT_EQ(read(0, vireo::engine::kFormatBGRA, nullptr, buffer.rowBytes, 0, 0),
              vireo::engine::kErrBadDestination);
    EXPECT_EQ(read(0, vireo::engine::kFormatBGRA, data, std::size_t(info.width) * 4 - 1, 0, 0),
              vireo::engine::kErrBadDestination);
    EXPECT_EQ(read(0, vireo::engine::kFormatBGRA, data, buffer.rowBytes, -5, 0),
              vireo::engine::kErrBadDestination);
    EXPECT_EQ(read(0, vireo::engine::kFormatBGRA, data, buffer.rowBytes * 100, 100000, 2),
              vireo::engine::kErrBadDestination);

    auto audioOnly = OpenSample("audio.wav");
    ASSERT_TRUE(audioOnly);
    EXPECT_EQ(audioOnly->ReadVideoFrame(0, vireo::engine::kFormatBGRA, data, buffer.rowBytes, 0, 0),
              vireo::engine::kErrNoVideo);
    // Audio: none in the movie, or nowhere to put it.
    float sample = 0;
    auto silent = OpenSample("one_frame.mov");
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->ReadAudio(&sample, 1), vireo::engine::kErrNoAudio);
    EXPECT_EQ(audioOnly->ReadAudio(nullptr, 10), vireo::engine::kErrBadDestination);
    EXPECT_EQ(audioOnly->ReadAudio(&sample, 0), vireo::engine::kErrBadDestination);
    EXPECT_EQ(audioOnly->AudioPosition(), 0);
}

TEST(VideoFrames, ReleasedResourcesComeBackOnTheNextRead) {
    auto movie = OpenSample("offset.ts");
    ASSERT_TRUE(movie);
    EXPECT_EQ(FrameNumberAt(*movie, 30), 30);
    movie->ReleaseVideoResources();
    EXPECT_EQ(FrameNumberAt(*movie, 7), 7);
    EXPECT_EQ(movie->DecodeAhead(3), vireo::engine::kOK);
    EXPECT_EQ(FrameNumberAt(*movie, 8), 8);
    movie->ReleaseVideoResources();
    EXPECT_EQ(movie->DecodeAhead(2), vireo::engine::kOK);
    EXPECT_EQ(FrameNumberAt(*movie, 39), 39);
}

}  // namespace
}  // namespace vireo::test::engine
