// A damaged movie gives each request one answer, whatever was asked before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>

#include "EngineTestSupport.h"
#include "engine/Errors.h"
#include "engine/PixelFormats.h"
#include "samples/Pattern.h"

namespace vireo::test::engine {
namespace {

// The answer to one frame request: the code, and the frame number shown when it succeeded.
using FrameAnswer = std::pair<std::int32_t, int>;

FrameAnswer Ask(vireo::engine::Movie& movie, int frame) {
    auto const& info = movie.Info().video;
    FrameBuffer buffer(vireo::engine::kFormatBGRA, info.width, info.height);
    std::int32_t const code =
        movie.ReadVideoFrame(frame * std::int64_t(info.sampleSize), vireo::engine::kFormatBGRA,
                             buffer.bytes.data(), buffer.rowBytes, 0, 0);
    if (code != vireo::engine::kOK)
        return {code, -1};
    return {code, samples::ReadFrameNumberBGRA(buffer.bytes.data(), buffer.rowBytes, info.width,
                                               info.height, 45)};
}

TEST(DamagedMovie, EachFrameHasOneAnswerWhateverWasAskedBefore) {
    // The media data ends in frame 22. Frames before the damage are shown exactly; a frame whose
    // data is lost shows the last frame before it that decodes; frames after the end of the
    // data are missing.
    std::vector<int> forward(45);
    std::iota(forward.begin(), forward.end(), 0);
    std::vector<FrameAnswer> answers;
    {
        auto movie = OpenSample(samples::kCutDataFile);
        ASSERT_TRUE(movie);
        for (int frame : forward)
            answers.push_back(Ask(*movie, frame));
    }
    for (int frame = 0; frame < 45; ++frame) {
        FrameAnswer const& answer = answers[std::size_t(frame)];
        if (frame < 19) {
            EXPECT_EQ(answer, FrameAnswer(vireo::engine::kOK, frame)) << "frame " << frame;
        } else if (frame >= samples::kCutDataFrames) {
            EXPECT_EQ(answer.first, vireo::engine::kErrFrameUnavailable) << "frame " << frame;
        } else if (answer.first == vireo::engine::kOK) {
            EXPECT_LE(answer.second, frame);
        }
    }

    std::vector<int> backward(forward.rbegin(), forward.rend());
    std::vector<int> shuffled = forward;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (auto const* order : {&backward, &shuffled, &forward}) {
        auto movie = OpenSample(samples::kCutDataFile);
        ASSERT_TRUE(movie);
        for (int frame : *order) {
            EXPECT_EQ(Ask(*movie, frame), answers[std::size_t(frame)]) << "frame " << frame;
            EXPECT_EQ(Ask(*movie, frame), answers[std::size_t(frame)])
                << "frame " << frame << ", asked again";
        }
    }
}

TEST(DamagedMovie, AudioPutBackIsReadAgain) {
    auto movie = OpenSample("h264_aac_tc.mov");
    ASSERT_TRUE(movie);
    std::vector<float> first(2 * 1000), again(2 * 1000), next(2 * 1000);
    ASSERT_EQ(movie->ReadAudio(first.data(), 1000), 1000);
    movie->UnreadAudio(1000);
    EXPECT_EQ(movie->AudioPosition(), 0);
    ASSERT_EQ(movie->ReadAudio(again.data(), 1000), 1000);
    EXPECT_EQ(again, first);
    ASSERT_EQ(movie->ReadAudio(next.data(), 1000), 1000);
    EXPECT_NE(next, first);
    EXPECT_EQ(movie->AudioPosition(), 2000);
}

}  // namespace
}  // namespace vireo::test::engine
