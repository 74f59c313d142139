// Trimming copies a range of a movie frame for frame and sample for sample: the trimmed movie,
// decoded by the media engine, shows exactly the source's frames of the range and plays exactly
// its audio samples, whether the range starts on a key frame or between key frames.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "FilesTestSupport.h"
#include "TrimRequests.h"
#include "files/FileErrors.h"

namespace vireo::test::files {
namespace {

using server::files::TrimControl;
using server::files::TrimMovie;
using server::files::TrimRequest;

constexpr int kFrames = kSourceFrames;

class TrimTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sSource = new SourceMovie("10:00:00:00"); }
    static void TearDownTestSuite() { delete sSource; }
    void TearDown() override {
        EXPECT_EQ(FileChecksum(sSource->path), sSource->checksum) << "source changed";
    }

    static TrimRequest Frames(int first, int count, std::string const& destination) {
        return Range(sSource->path, destination, first, count, 25, 1);
    }
    static void ExpectRange(std::string const& path, int first, int count) {
        files::ExpectRange(*sSource, path, first, count);
    }

    static SourceMovie* sSource;
    TempFolder mOut;
};

SourceMovie* TrimTest::sSource = nullptr;

TEST_F(TrimTest, RangesOnAndBetweenKeyFramesKeepExactlyTheirFramesAudioAndTimecode) {
    // Key frames every 12 frames: 17 decodes from 12, and 17 + 20 crosses 24 and ends between
    // B-frames. Every trim replaces the one before it.
    struct Case {
        int first, count;
    };
    std::string const out = mOut.File("out.mov");
    for (Case const c : {Case{24, 18}, Case{17, 20}, Case{0, kFrames}, Case{0, 1}, Case{50, 10},
                         Case{kFrames - 1, 1}, Case{31, 1}}) {
        SCOPED_TRACE("frames " + std::to_string(c.first) + " + " + std::to_string(c.count));
        ASSERT_EQ(TrimMovie(Frames(c.first, c.count, out)), 0);
        ExpectRange(out, c.first, c.count);
        DecodedMovie const trimmed = Decode(out);
        auto const two = [](int n) { return (n < 10 ? "0" : "") + std::to_string(n); };
        EXPECT_EQ(trimmed.info.timecode.start,
                  "10:00:" + two(c.first / 25) + ":" + two(c.first % 25));
        EXPECT_EQ(trimmed.info.timecode.reel, "REEL7");
    }
    EXPECT_EQ(mOut.Entries(), std::vector<std::string>{"out.mov"});
}

TEST_F(TrimTest, RangeInOtherUnitsIsRoundedToWholeFramesBySampleSize) {
    // Milliseconds: 690 ms rounds to 680 (frame 17), 690 + 790 = 1480 ms is frame 37.
    ASSERT_EQ(TrimMovie(Range(sSource->path, mOut.File("ms.mov"), 690, 790, 1000, 40)), 0);
    ExpectRange(mOut.File("ms.mov"), 17, 20);
    // Without a sample size the range is taken as given: here it is whole frames already.
    ASSERT_EQ(TrimMovie(Range(sSource->path, mOut.File("exact.mov"), 680, 800, 1000)), 0);
    ExpectRange(mOut.File("exact.mov"), 17, 20);
}

TEST_F(TrimTest, DropFrameTimecodeCountsOnFromTheSource) {
    TempFolder folder;
    std::string const source =
        WriteMovie(TestMovie("ntsc.mov", 30000, 1001, 45, "01:00:00;00"), folder.Path());
    std::uint64_t const checksum = FileChecksum(source);
    std::string const cut = folder.File("ntsc-trimmed.mov");
    ASSERT_EQ(TrimMovie(Range(source, cut, 20 * 1001, 16 * 1001, 30000, 1001)), 0);
    DecodedMovie const original = Decode(source);
    DecodedMovie const trimmed = Decode(cut);
    ASSERT_EQ(trimmed.error, 0);
    EXPECT_EQ(trimmed.info.timecode.start, "01:00:00;20");
    EXPECT_TRUE(trimmed.info.timecode.dropFrame);
    EXPECT_EQ(trimmed.info.video.timeScale, 30000);
    EXPECT_EQ(trimmed.info.video.duration, 16 * 1001);
    ASSERT_EQ(trimmed.frames.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_TRUE(trimmed.frames[i] == original.frames[20 + i]) << "frame " << i;
    }
    // 29.97 fps frames are 1601.6 samples long: the audio starts at 20 * 1601.6 = 32032 and
    // lasts the range's exact 16016 / 30000 s, 25625.6 samples, which the reader rounds to
    // 25626.
    std::size_t const first = 32032 * 2;
    std::size_t const count = 25626 * 2;
    ASSERT_EQ(trimmed.audio.size(), count);
    EXPECT_TRUE(std::equal(trimmed.audio.begin(), trimmed.audio.end(),
                           original.audio.begin() + std::ptrdiff_t(first)));
    EXPECT_EQ(FileChecksum(source), checksum);
}

TEST_F(TrimTest, ProgressRisesToOneWhenTheMovieIsInPlace) {
    std::vector<double> reports;
    TrimControl control;
    std::string const out = mOut.File("progress.mov");
    control.progress = [&](double fraction) {
        reports.push_back(fraction);
        if (fraction == 1.0) {
            EXPECT_GT(FileChecksum(out), 0u) << "1 reported before the movie is in place";
        }
    };
    ASSERT_EQ(TrimMovie(Frames(5, 50, out), control), 0);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front(), 0.0);
    EXPECT_EQ(reports.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
}

}  // namespace
}  // namespace vireo::test::files
